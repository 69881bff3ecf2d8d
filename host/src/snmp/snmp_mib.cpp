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

std::string Word(const view::UnitValues& u, const std::string& key) {
  const view::Value* v = u.Find(key);
  return v != nullptr ? v->word : "";
}

int WordIn(const std::string& word, std::initializer_list<const char*> words) {
  int n = 1;
  for (const char* w : words) {
    if (word == w) return n;
    ++n;
  }
  return n;  // other
}

void AddAc(Builder& b, const std::vector<uint32_t>& du, const view::UnitValues& u) {
  for (uint32_t k = 0; k < 255; ++k) {
    const std::string c = "channel_" + std::to_string(k) + "_";
    if (u.Find(c + "a") == nullptr) break;
    std::vector<uint32_t> idx = du;
    idx.push_back(k + 1);
    b.Reading(kAcInputs, 2, 3, idx, u.Find(c + "a"));
    b.Reading(kAcInputs, 4, 5, idx, u.Find(c + "b"));
    b.Reading(kAcInputs, 6, 7, idx, u.Find(c + "c"));
    b.Reading(kAcInputs, 8, 9, idx, u.Find(c + "f"));
    b.Put(kAcInputs, 10, idx, Int(LevelState(Word(u, c + "a_alert"))));
    b.Put(kAcInputs, 11, idx, Int(LevelState(Word(u, c + "b_alert"))));
    b.Put(kAcInputs, 12, idx, Int(LevelState(Word(u, c + "c_alert"))));
    b.Put(kAcInputs, 13, idx, Int(LevelState(Word(u, c + "f_alert"))));
  }
  const char* phases[] = {"a", "b", "c"};
  for (uint32_t p = 0; p < 3; ++p) {
    const std::string key = std::string("i") + phases[p];
    if (u.Find(key) == nullptr) continue;
    std::vector<uint32_t> idx = du;
    idx.push_back(p + 1);
    b.Reading(kAcPhases, 2, 3, idx, u.Find(key));
    b.Put(kAcPhases, 4, idx, Int(LevelState(Word(u, key + "_alert"))));
  }
}

void AddRectifier(Builder& b, const std::vector<uint32_t>& du, const view::UnitValues& u) {
  b.Reading(kRectGroups, 1, 2, du, u.Find("rc_value"));
  b.Reading(kRectGroups, 3, 4, du, u.Find("total_current"));
  const view::Value* count = u.Find("module_count");
  b.Put(kRectGroups, 5, du,
        Gauge(count != nullptr && count->number ? static_cast<uint64_t>(*count->number) : 0));
  for (uint32_t k = 0; k < 255; ++k) {
    const std::string m = "module_" + std::to_string(k) + "_";
    if (u.Find(m + "current") == nullptr) break;
    std::vector<uint32_t> idx = du;
    idx.push_back(k + 1);
    b.Reading(kRectModules, 2, 3, idx, u.Find(m + "current"));
    b.Put(kRectModules, 4, idx, Int(WordIn(Word(u, m + "state"), {"on", "off"})));
    b.Put(kRectModules, 5, idx, Int(WordIn(Word(u, m + "limit"), {"limiting", "not limiting"})));
    b.Put(kRectModules, 6, idx, Int(WordIn(Word(u, m + "charge"), {"float", "equalize", "test"})));
    b.Put(kRectModules, 7, idx, Int(Word(u, m + "fault") == "fault" ? 2 : 1));
  }
}

void AddDc(Builder& b, const std::vector<uint32_t>& du, const view::UnitValues& u) {
  b.Reading(kDcUnits, 1, 2, du, u.Find("v"));
  b.Reading(kDcUnits, 3, 4, du, u.Find("i"));
  b.Put(kDcUnits, 5, du, Int(LevelState(Word(u, "v_state"))));
  for (uint32_t k = 0; k < 255; ++k) {
    const std::string key = "fuse_" + std::to_string(k);
    if (u.Find(key) == nullptr) break;
    std::vector<uint32_t> idx = du;
    idx.push_back(k + 1);
    b.Put(kFuses, 2, idx, Int(Word(u, key) == "fault" ? 2 : 1));
  }
  const std::pair<const char*, uint32_t> lists[] = {{"m_", 1}, {"user_", 2}};
  for (const auto& [prefix, list] : lists) {
    for (uint32_t k = 0; k < 255; ++k) {
      const view::Value* v = u.Find(prefix + std::to_string(k));
      if (v == nullptr) break;
      std::vector<uint32_t> idx = du;
      idx.insert(idx.end(), {list, k + 1});
      b.Put(kDcValues, 3, idx, Text(v->field.label));
      b.Put(kDcValues, 4, idx, Text(v->field.unit));
      b.Reading(kDcValues, 5, 6, idx, v);
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

int LevelState(const std::string& word) {
  return WordIn(word, {"normal", "low", "high", "missing", "phase missing"});
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
      if (!u.error.empty()) continue;
      if (kind == 1) AddAc(b, du, u);
      if (kind == 2) AddRectifier(b, du, u);
      if (kind == 3) AddDc(b, du, u);
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
