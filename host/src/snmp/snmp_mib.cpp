#include "snmp/snmp_mib.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <iterator>
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
  kAlarmList = 13,
  kKpi = 14,
  kBattery = 15,
};

// The alarm board's columns, the same in k417tAlarmTable and
// k417tAlarmListTable.
enum BoardColumn : uint32_t {
  kState = 9,
  kAckBy = 10,
  kAckAt = 11,
  kShelvedUntil = 12,
  kNameEn = 13,
  kPlaceEn = 14,
  kSuppressedBy = 15,
  kAnnunciated = 16,
  kId = 17,
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

using Taken = std::set<std::pair<uint32_t, uint32_t>>;  // (unit, point)

// Points for the alarms whose entry in `points` is 0 (see kCommAlarmPoint):
// their own number where that is free in their unit, so a row stays where
// it is while other alarms come and go, else the lowest free one above.
void FreePoints(const std::vector<const store::ActiveAlarm*>& alarms, std::vector<uint32_t>& points,
                Taken& taken) {
  for (size_t k = 0; k < alarms.size(); ++k) {
    if (points[k] != 0) continue;
    const store::ActiveAlarm& a = *alarms[k];
    const uint32_t own = a.key == kCommAlarmKey ? kCommAlarmPoint : a.seq;
    if (own != 0 && taken.insert({a.data_id, own}).second) points[k] = own;
  }
  for (size_t k = 0; k < alarms.size(); ++k) {
    if (points[k] != 0) continue;
    // At most as many points are taken as there are alarms of the device,
    // so this ends well below 2^32.
    uint32_t p = kCommAlarmPoint + 1;
    while (!taken.insert({alarms[k]->data_id, p}).second) ++p;
    points[k] = p;
  }
}

// The point of each active alarm in k417tAlarmTable.
std::vector<uint32_t> AlarmPoints(const std::vector<store::ActiveAlarm>& alarms, Taken& taken) {
  std::vector<const store::ActiveAlarm*> list;
  for (const store::ActiveAlarm& a : alarms) list.push_back(&a);
  std::vector<uint32_t> points(alarms.size(), 0);
  FreePoints(list, points, taken);
  return points;
}

bool SamePoint(const store::ActiveAlarm& a, const store::ActiveAlarm& b) {
  return a.data_id == b.data_id && a.key == b.key && a.seq == b.seq;
}

// The point of each listed alarm in k417tAlarmListTable: an active alarm's
// point in k417tAlarmTable, the others a free one beside those.
std::vector<uint32_t> ListPoints(const std::vector<store::ActiveAlarm>& active,
                                 const std::vector<uint32_t>& active_points,
                                 const std::vector<view::AlarmState>& listed, Taken& taken) {
  std::vector<const store::ActiveAlarm*> list;
  std::vector<uint32_t> points(listed.size(), 0);
  for (size_t k = 0; k < listed.size(); ++k) {
    list.push_back(&listed[k].point);
    for (size_t j = 0; j < active.size(); ++j)
      if (SamePoint(active[j], listed[k].point)) points[k] = active_points[j];
  }
  FreePoints(list, points, taken);
  return points;
}

// The board's columns of an alarm (kState ... kId) in `table`.
void BoardColumns(Builder& b, uint32_t table, const std::vector<uint32_t>& idx,
                  const view::AlarmState& s) {
  const int state = BoardStateNumber(s.state);
  if (state != 0) b.Put(table, kState, idx, Int(state));
  b.Put(table, kAckBy, idx, Text(s.ack ? s.ack->who : std::string()));
  b.Put(table, kAckAt, idx, Text(DateAndTime(s.ack ? s.ack->time : 0)));
  b.Put(table, kShelvedUntil, idx, Text(DateAndTime(s.shelf ? s.shelf->until : 0)));
  b.Put(table, kNameEn, idx, Text(s.name_en));
  b.Put(table, kPlaceEn, idx, Text(s.place_en));
  b.Put(table, kSuppressedBy, idx, Text(s.suppressed_by));
  b.Put(table, kAnnunciated, idx, Truth(s.annunciated));
  b.Put(table, kId, idx, Text(view::AlarmIdText(s.point.data_id, s.point.key, s.point.seq)));
}

// A total in thousandths (Wh of kWh, mAh of Ah) as a Counter64: rounded
// down so that it never runs ahead of the total; nothing negative or not a
// number (the totals only grow from 0).
Var Thousandths(double v) {
  const double t = std::floor(v * 1000.0);
  return C64(std::isfinite(t) && t > 0 ? (t < 1.8e19 ? static_cast<uint64_t>(t) : UINT64_MAX) : 0);
}

// A non-negative figure rounded to a Gauge32.
Var RoundGauge(double v) {
  return Gauge(std::isfinite(v) && v > 0 ? static_cast<uint64_t>(std::min(std::round(v), 4.3e9))
                                         : 0);
}

// k417tBatteryTable's row of a device: the totals for every device, the
// power while the values are live, the battery's columns where the site
// names strings.
void AddBattery(Builder& b, const view::DeviceView& d) {
  const std::vector<uint32_t> di = {d.id};
  const view::BatteryView& bat = d.battery;
  b.Put(kBattery, 1, di, Thousandths(bat.total.load_kwh));
  b.Put(kBattery, 2, di, Thousandths(bat.total.rectifier_kwh));
  b.Put(kBattery, 3, di, Thousandths(bat.total.charge_ah));
  b.Put(kBattery, 4, di, Thousandths(bat.total.discharge_ah));
  b.Put(kBattery, 5, di, Thousandths(bat.total.charge_kwh));
  b.Put(kBattery, 6, di, Thousandths(bat.total.discharge_kwh));
  ValueStatus power = ValueStatus::kNoValue;
  if (view::ValuesLive(d) && bat.power_w && std::isfinite(*bat.power_w)) {
    const double w = std::round(*bat.power_w);
    if (w >= -2147483648.0 && w <= 2147483647.0) {
      power = ValueStatus::kValid;
      b.Put(kBattery, 7, di, Int(static_cast<int64_t>(w)));
    } else {
      power = ValueStatus::kOutOfRange;
    }
  }
  b.Put(kBattery, 8, di, Int(static_cast<int>(power)));
  b.Put(kBattery, 9, di, Truth(bat.configured));
  if (!bat.configured) return;
  b.Put(kBattery, 10, di,
        Gauge(static_cast<uint64_t>(
            std::clamp(std::isfinite(bat.soc) ? std::round(bat.soc * 100) : 0.0, 0.0, 100.0))));
  const view::AutonomyEstimate& a = bat.autonomy;
  if (a.valid) {
    b.Put(kBattery, 11, di, RoundGauge(a.minutes));
    b.Put(kBattery, 12, di, RoundGauge(a.low_min));
    b.Put(kBattery, 13, di, RoundGauge(a.high_min));
  }
  b.Put(kBattery, 14, di,
        Int(static_cast<int>(a.valid ? ValueStatus::kValid : ValueStatus::kNoValue)));
  b.Put(kBattery, 15, di, Truth(bat.discharging.has_value()));
  b.Put(kBattery, 16, di, Truth(bat.test.phase == view::BatteryTestState::Phase::kRunning));
  if (bat.last) {
    b.Put(kBattery, 17, di, Text(DateAndTime(bat.last->start_ms / 1000)));
    b.Put(kBattery, 18, di, Text(DateAndTime(bat.last->end_ms / 1000)));
    b.Put(kBattery, 19, di, Text(bat.last->cause));
    b.Put(kBattery, 20, di, RoundGauge(bat.last->ah * 1000));
  }
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

int BoardStateNumber(const std::string& state) {
  static const char* const kWords[] = {"active_unacknowledged",
                                       "active_acknowledged",
                                       "cleared_unacknowledged",
                                       "shelved",
                                       "out_of_service",
                                       "suppressed",
                                       "unknown",
                                       "chattering",
                                       "delayed"};
  for (size_t k = 0; k < std::size(kWords); ++k)
    if (state == kWords[k]) return static_cast<int>(k) + 1;
  return 0;
}

MibSnapshot::MibSnapshot(const Oid& root, const std::vector<view::DeviceView>& devices,
                         uint64_t dropped, const view::AlarmKpis* kpis) {
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
    b.Put(kDevices, 23, di, Truth(d.maintenance.has_value()));
    b.Put(kDevices, 24, di, Text(DateAndTime(d.maintenance ? d.maintenance->until : 0)));
    b.Put(kDevices, 25, di, Text(d.maintenance ? d.maintenance->who : std::string()));
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
    Taken taken;
    const std::vector<uint32_t> points = AlarmPoints(d.alarms, taken);
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
      for (const view::AlarmState& st : d.alarm_states)
        if (SamePoint(st.point, a)) {
          BoardColumns(b, kAlarms, ai, st);
          break;
        }
    }
    const std::vector<uint32_t> listed = ListPoints(d.alarms, points, d.alarm_states, taken);
    for (size_t k = 0; k < d.alarm_states.size(); ++k) {
      const view::AlarmState& st = d.alarm_states[k];
      const store::ActiveAlarm& a = st.point;
      const std::vector<uint32_t> li = {d.id, a.data_id, listed[k]};
      b.Put(kAlarmList, 2, li, Uns(a.data_id));
      b.Put(kAlarmList, 3, li, Text(a.key));
      b.Put(kAlarmList, 4, li, Int(static_cast<int>(view::SeverityOf(a.level))));
      b.Put(kAlarmList, 5, li, Text(a.code));
      b.Put(kAlarmList, 6, li, Text(a.name));
      b.Put(kAlarmList, 7, li, Text(a.text));
      b.Put(kAlarmList, 8, li, Text(DateAndTime(a.since)));
      BoardColumns(b, kAlarmList, li, st);
      b.Put(kAlarmList, 18, li, Truth(st.active));
      b.Put(kAlarmList, 19, li, Text(DateAndTime(st.active ? 0 : st.cleared)));
      b.Put(kAlarmList, 20, li, Uns(a.seq));
    }
    AddBattery(b, d);
  }
  if (kpis != nullptr) {
    auto scalar = [&](uint32_t k, Var v) {
      Oid o = root;
      o.insert(o.end(), {1, kKpi, k, 0});
      vars_[std::move(o)] = std::move(v);
    };
    scalar(1, Gauge(kpis->annunciated_10min));
    scalar(2, Truth(kpis->flood));
    scalar(3, Gauge(kpis->standing));
    scalar(4, Gauge(kpis->stale));
    scalar(5, Gauge(kpis->unacknowledged));
    scalar(6, Gauge(kpis->chattering));
    scalar(7, Gauge(kpis->shelved));
    scalar(8, Gauge(kpis->unknown));
    scalar(9, Gauge(kpis->suppressed));
    scalar(10, Gauge(kpis->devices_in_maintenance));
    scalar(11, C64(kpis->annunciated_total));
    scalar(12, C64(kpis->transitions_total));
  }
  Oid o = root;
  o.insert(o.end(), {1, kDropped, 0});
  vars_[o] = Var{Var::Type::kCounter32, static_cast<int64_t>(dropped & 0xFFFFFFFFu), {}, {}};
}

void MibSnapshot::Merge(std::map<Oid, Var> more) {
  for (auto& [o, v] : more) vars_[o] = std::move(v);
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

std::optional<Notification> NotificationOf(const Oid& root, const view::AlarmNotice& n) {
  if (n.kind == "raised" || n.kind == "cleared") {
    if (n.key.empty()) return std::nullopt;
    store::AlarmEvent e;
    e.data_id = n.data_id;
    e.key = n.key;
    e.seq = n.seq;
    e.level = n.level;
    e.code = n.code;
    e.name = n.name;
    e.text = n.text;
    e.raised = n.kind == "raised";
    e.time = n.time;
    return NotificationOf(root, n.device, n.device_name, e);
  }
  // k417tNotifications' arc of each kind; alarm kinds first.
  static const std::pair<const char*, uint32_t> kAlarmKinds[] = {
      {"acknowledged", 5}, {"shelved", 6}, {"unshelved", 7}, {"chattering", 8}, {"settled", 9}};
  static const std::pair<const char*, uint32_t> kDeviceKinds[] = {
      {"maintenance", 10}, {"maintenance_end", 11}, {"unknown", 12}, {"known", 13}};
  uint32_t arc = 0;
  bool alarm = false;
  for (const auto& [kind, a] : kAlarmKinds)
    if (n.kind == kind) arc = a, alarm = true;
  for (const auto& [kind, a] : kDeviceKinds)
    if (n.kind == kind) arc = a;
  if (arc == 0 || (alarm && n.key.empty())) return std::nullopt;
  Notification out;
  out.trap = root;
  out.trap.insert(out.trap.end(), {0, arc});
  auto event = [&](uint32_t k, Var v) {
    Oid o = root;
    o.insert(o.end(), {1, kEvent, k, 0});
    out.vars.emplace_back(std::move(o), std::move(v));
  };
  Oid dn = root;
  dn.insert(dn.end(), {1, kDevices, 1, 2, n.device});
  out.vars.emplace_back(std::move(dn), Text(n.device_name));
  if (!alarm) {
    event(8, Text(DateAndTime(n.time)));
    event(11, Text(n.who));
    event(12, Text(n.comment));
    event(13, Text(DateAndTime(n.until)));
    return out;
  }
  event(1, Uns(n.data_id));
  event(2, Text(n.key));
  event(3, Uns(n.seq));
  event(4, Int(static_cast<int>(view::SeverityOf(n.level))));
  event(5, Text(n.code));
  event(6, Text(n.name));
  event(7, Text(n.text));
  event(8, Text(DateAndTime(n.time)));
  event(9, Text(n.id()));
  const int state = BoardStateNumber(n.state);
  // A state word the board does not have: the MIB's enumeration has no
  // value for it, so the notification goes without it rather than lie.
  if (state != 0) event(10, Int(state));
  event(11, Text(n.who));
  event(12, Text(n.comment));
  event(13, Text(DateAndTime(n.until)));
  event(14, Text(n.name_en));
  event(15, Text(n.place_en));
  return out;
}

}  // namespace qmx::snmp
