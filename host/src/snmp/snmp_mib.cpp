#include "snmp/snmp_mib.h"

#include <cmath>
#include <ctime>
#include <set>

#include "view/severity.h"

namespace qmx::snmp {
namespace {

// Under k417tObjects (root.1).
enum Table : uint32_t {
  kDevices = 1,
  kUnits = 2,
  kAcInputs = 3,
  kAcPhases = 4,
  kRectGroups = 5,
  kRectModules = 6,
  kDcUnits = 7,
  kFuses = 8,
  kDcValues = 9,
  kAlarms = 10,
  kEvent = 11,
  kDropped = 12,
};

Var Int(int64_t v) { return Var{Var::Type::kInteger, v, {}, {}}; }
Var Uns(uint64_t v) {
  return Var{Var::Type::kUnsigned, static_cast<int64_t>(v & 0xFFFFFFFFu), {}, {}};
}
Var Gauge(uint64_t v) {
  return Var{Var::Type::kGauge, static_cast<int64_t>(std::min<uint64_t>(v, 0xFFFFFFFFu)), {}, {}};
}
Var C64(uint64_t v) { return Var{Var::Type::kCounter64, static_cast<int64_t>(v), {}, {}}; }
Var Text(const std::string& s) { return Var{Var::Type::kOctets, 0, Utf8Cut(s), {}}; }
Var Truth(bool b) { return Int(b ? 1 : 2); }

class Builder {
 public:
  Builder(const Oid& root, std::map<Oid, Var>& vars) : root_(root), vars_(vars) {}
  // root.1.table.1.column.index...
  void Put(uint32_t table, uint32_t column, const std::vector<uint32_t>& index, Var v) {
    Oid o = root_;
    o.insert(o.end(), {1, table, 1, column});
    o.insert(o.end(), index.begin(), index.end());
    vars_[std::move(o)] = std::move(v);
  }
  // A reading and its status column (the reading only when valid).
  void Reading(uint32_t table, uint32_t value_col, uint32_t status_col,
               const std::vector<uint32_t>& index, const view::Value* v) {
    const Scaled s = Hundredths(v != nullptr ? v->number : std::nullopt);
    if (s.status == ValueStatus::kValid) Put(table, value_col, index, Int(s.hundredths));
    Put(table, status_col, index, Int(static_cast<int>(s.status)));
  }

 private:
  const Oid& root_;
  std::map<Oid, Var>& vars_;
};

// A unit's values where their rows place them: readings as hundredths with
// a status column, states as the number their row gives them, counts as
// gauges, DC values with their label and unit beside them.
void AddUnit(Builder& b, const std::vector<uint32_t>& du, const view::UnitValues& u) {
  for (const view::Value& v : u.values) {
    if (v.field.row == nullptr) continue;
    const view::SnmpPlace& p = v.field.row->snmp;
    if (p.as == view::SnmpPlace::As::kNone) continue;
    std::vector<uint32_t> idx = du;
    if (p.list != 0) idx.push_back(p.list);
    if (v.field.instance != 0) idx.push_back(v.field.instance);
    if (p.fixed != 0) idx.push_back(p.fixed);
    if (p.name_column != 0) b.Put(p.table, p.name_column, idx, Text(v.field.label));
    if (p.unit_column != 0) b.Put(p.table, p.unit_column, idx, Text(v.field.unit));
    switch (p.as) {
      case view::SnmpPlace::As::kReading:
        b.Reading(p.table, p.column, p.status_column, idx, &v);
        break;
      case view::SnmpPlace::As::kState:
        b.Put(p.table, p.column, idx, Int(v.state_number));
        break;
      case view::SnmpPlace::As::kGauge:
        b.Put(p.table, p.column, idx,
              Gauge(v.number && *v.number > 0 ? static_cast<uint64_t>(*v.number) : 0));
        break;
      case view::SnmpPlace::As::kNone:
        break;
    }
  }
}

// The point of each alarm in the alarm table (see kCommAlarmPoint): its own
// number where that is free in its unit, so a row stays where it is while
// other alarms come and go.
std::vector<uint32_t> AlarmPoints(const std::vector<store::ActiveAlarm>& alarms) {
  std::set<std::pair<uint32_t, uint32_t>> taken;  // (unit, point)
  std::vector<uint32_t> points(alarms.size(), 0);
  for (size_t k = 0; k < alarms.size(); ++k) {
    const store::ActiveAlarm& a = alarms[k];
    const uint32_t own = a.key == kCommAlarmKey ? kCommAlarmPoint : a.seq;
    if (own != 0 && taken.insert({a.data_id, own}).second) points[k] = own;
  }
  for (size_t k = 0; k < alarms.size(); ++k) {
    if (points[k] != 0) continue;
    // At most alarms.size() points are taken, so this ends well below 2^32.
    uint32_t p = kCommAlarmPoint + 1;
    while (!taken.insert({alarms[k].data_id, p}).second) ++p;
    points[k] = p;
  }
  return points;
}

}  // namespace

Scaled Hundredths(const std::optional<double>& v) {
  Scaled s;
  if (!v || !std::isfinite(*v)) return s;
  const double h = std::round(*v * 100.0);
  if (!(h >= -2147483648.0 && h <= 2147483647.0)) {
    s.status = ValueStatus::kOutOfRange;
    return s;
  }
  s.status = ValueStatus::kValid;
  s.hundredths = static_cast<int32_t>(h);
  return s;
}

std::string DateAndTime(int64_t epoch) {
  if (epoch <= 0) return "";
  const time_t t = static_cast<time_t>(epoch);
  struct tm tm {};
  if (gmtime_r(&t, &tm) == nullptr) return "";
  const int year = tm.tm_year + 1900;
  if (year < 0 || year > 65535) return "";
  const char out[11] = {static_cast<char>(year >> 8),
                        static_cast<char>(year & 0xFF),
                        static_cast<char>(tm.tm_mon + 1),
                        static_cast<char>(tm.tm_mday),
                        static_cast<char>(tm.tm_hour),
                        static_cast<char>(tm.tm_min),
                        static_cast<char>(std::min(tm.tm_sec, 60)),
                        0,
                        '+',
                        0,
                        0};
  return std::string(out, sizeof out);
}

std::string Utf8Cut(const std::string& s, size_t max) {
  if (s.size() <= max) return s;
  size_t n = max;
  // Back to the start of the sequence the cut would split.
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

MibSnapshot::MibSnapshot(const Oid& root, const std::vector<view::DeviceView>& devices,
                         uint64_t dropped) {
  Builder b(root, vars_);
  for (const view::DeviceView& d : devices) {
    const std::vector<uint32_t> di = {d.id};
    b.Put(kDevices, 2, di, Text(d.name));
    b.Put(kDevices, 3, di, Text(d.line));
    b.Put(kDevices, 4, di, Truth(d.answering));
    b.Put(kDevices, 5, di, Truth(d.stale));
    b.Put(kDevices, 6, di, Text(DateAndTime(d.last_round)));
    b.Put(kDevices, 7, di, Uns(static_cast<uint64_t>(std::max(0.0, std::round(d.round.last_ms)))));
    b.Put(kDevices, 8, di,
          Uns(static_cast<uint64_t>(std::max(0.0, std::round(d.round.ratio() * 100)))));
    b.Put(kDevices, 9, di, Text(d.model));
    b.Put(kDevices, 10, di, Text(d.version));
    const line::LineStats& s = d.line_stats;
    const uint64_t counters[] = {d.rounds, s.requests, s.answers,   s.timeouts, s.late,
                                 s.echoes, s.dropped,  s.bytes_out, s.bytes_in};
    for (uint32_t k = 0; k < 9; ++k) b.Put(kDevices, 11 + k, di, C64(counters[k]));
    b.Put(kDevices, 20, di, Int(static_cast<int>(d.health) + 1));
    b.Put(kDevices, 21, di, Int(static_cast<int>(d.worst)));
    b.Put(kDevices, 22, di, Gauge(d.alarms.size()));
    for (const view::UnitValues& u : d.units) {
      const std::vector<uint32_t> du = {d.id, u.data_id};
      const int kind = u.type == view::kAcType          ? 1
                       : u.type == view::kRectifierType ? 2
                       : u.type == view::kDcType        ? 3
                                                        : 4;
      b.Put(kUnits, 2, du, Int(kind));
      b.Put(kUnits, 3, du, Text(u.error));
      if (u.error.empty()) AddUnit(b, du, u);
    }
    const std::vector<uint32_t> points = AlarmPoints(d.alarms);
    for (size_t k = 0; k < d.alarms.size(); ++k) {
      const store::ActiveAlarm& a = d.alarms[k];
      const std::vector<uint32_t> ai = {d.id, a.data_id, points[k]};
      b.Put(kAlarms, 2, ai, Uns(a.data_id));
      b.Put(kAlarms, 3, ai, Text(a.key));
      b.Put(kAlarms, 4, ai, Int(static_cast<int>(view::SeverityOf(a.level))));
      b.Put(kAlarms, 5, ai, Text(a.code));
      b.Put(kAlarms, 6, ai, Text(a.name));
      b.Put(kAlarms, 7, ai, Text(a.text));
      b.Put(kAlarms, 8, ai, Text(DateAndTime(a.since)));
    }
  }
  Oid o = root;
  o.insert(o.end(), {1, kDropped, 0});
  vars_[o] = Var{Var::Type::kCounter32, static_cast<int64_t>(dropped & 0xFFFFFFFFu), {}, {}};
}

const Var* MibSnapshot::Get(const Oid& name) const {
  auto it = vars_.find(name);
  return it == vars_.end() ? nullptr : &it->second;
}

const std::pair<const Oid, Var>* MibSnapshot::Next(const Oid& name) const {
  auto it = vars_.upper_bound(name);
  return it == vars_.end() ? nullptr : &*it;
}

Notification NotificationOf(const Oid& root, unsigned device, const std::string& name,
                            const store::AlarmEvent& e) {
  Notification n;
  const bool comm = e.key == kCommAlarmKey;
  n.trap = root;
  n.trap.insert(n.trap.end(), {0, comm ? (e.raised ? 3u : 4u) : (e.raised ? 1u : 2u)});
  auto event = [&](uint32_t k, Var v) {
    Oid o = root;
    o.insert(o.end(), {1, kEvent, k, 0});
    n.vars.emplace_back(std::move(o), std::move(v));
  };
  Oid dn = root;
  dn.insert(dn.end(), {1, kDevices, 1, 2, device});
  n.vars.emplace_back(std::move(dn), Text(name));
  event(1, Uns(e.data_id));
  event(2, Text(e.key));
  event(3, Uns(e.seq));
  // A clear says so in its severity; the raise carried the alarm's.
  event(4, Int(e.raised ? static_cast<int>(view::SeverityOf(e.level)) : kSeverityCleared));
  event(5, Text(e.code));
  event(6, Text(e.name));
  event(7, Text(e.text));
  event(8, Text(DateAndTime(e.time)));
  return n;
}

}  // namespace qmx::snmp
