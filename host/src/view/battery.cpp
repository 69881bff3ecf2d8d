// The battery engine: energy and charge counters, discharge records, the
// state of charge, the autonomy estimate and the battery test.
//
// The site file's "battery" member of a device (ParseBatterySettings reads
// the member's value; every member is optional unless said):
//
//   "battery": {
//     "strings": [{                        required, at least one
//       "name": "String 1",
//       "current": {"unit": 102, "list": "m", "index": 0},   required
//       "discharge": "negative",           required: the reading's sign while discharging
//       "capacity_ah": 200,                required, at rate_h
//       "rate_h": 10,                      default 10 (C10)
//       "end_v": 44.0,                     required, 20..60 V of the bus
//       "peukert": 1.15}],                 default 1.0, 1.0..1.6
//     "temperatures": [{"unit": 102, "list": "user", "index": 3}],
//     "discharge_threshold_a": 2, "discharge_rounds": 3,
//     "autonomy_alarm_min": 60, "temp_coeff": 0.006,
//     "test": {"allowed": true,
//              "start": {"code": 110, "byte": 225}, "stop": {"code": 110, "byte": 0},
//              "max_s": 3600, "max_ah": 0, "end_v": 0, "pass_ratio": 0.8,
//              "schedule": "monthly 1 03:00"}}
//
// Value references name a DC unit of the device and its "m" (2 values) or
// "user" (27 values) list, index from 0. Control codes and bytes are checked
// by the same rules as every control request.
//
// Figures the engine keeps (documented here once):
// - State of charge: Ah counted against the temperature-corrected capacity.
//   Discharge is counted as Peukert-equivalent Ah: a string delivering I for
//   a time uses I × (I/Ir)^(k−1) of its capacity, Ir = capacity/rate_h (the
//   ratio no lower than 0.2, below which Peukert's law over-promises). Charge
//   is counted back at kChargeEfficiency. The state returns to 1.0 after
//   kFloatHoldMs of live rounds with mains present, no discharge and every
//   string's current within kFloatTailPerAh × its capacity.
// - Temperature: the capacity is multiplied by 1 − temp_coeff × (25 − T) for
//   the lowest temperature role T below 25 °C; no credit above 25 °C (IEEE
//   485 practice), never below kMinTempFactor.
// - Autonomy: t = SoC × C(T) / Σ Peukert-equivalent drain of the strings at
//   the present current. During a discharge it is blended with the bus
//   voltage trend (least-squares slope over the last kTrendWindowMs of live
//   rounds at a steady current, from kTrendSkipMs after the start): time to
//   the end voltage = (v − end_v)/(−slope). A lead-acid voltage steepens
//   toward the end of the discharge, so that straight line over-promises:
//   it only ever shortens the estimate (an aged or cold string that falls
//   early), never lengthens it. Its weight grows with the share of the
//   charge delivered (kVoltageWeightMax at kVoltageWeightAt and beyond). The band spans both
//   methods and at least ±kBandCharge (charge only) or ±kBandBlend around the estimate,
//   ±kBandNoTemp more without a temperature.
// - A test's expected Ah: the mean current I of the test times the shorter
//   of its planned duration (max_s) and the time the temperature-corrected,
//   Peukert-corrected capacity promises at I (capped at max_ah when set). It
//   passes when the strings delivered at least pass_ratio × that.
// - The schedule: a slot is due from its minute for kScheduleWindowMs; a
//   slot missed by more (the service was stopped) is skipped, and a due slot
//   that cannot start is not retried.
#include "view/battery.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <tuple>

#include "input/checked_json.h"
#include "units/dc/tele_c_k417t_dc.h"
#include "view/control_rules.h"
#include "view/site_view.h"

namespace qmx::view {

namespace {

constexpr double kChargeEfficiency = 0.95;
constexpr double kFloatTailPerAh = 0.005;  // A per Ah of capacity
constexpr int64_t kFloatHoldMs = 30 * 60 * 1000;
constexpr double kMinPeukertRatio = 0.2;
constexpr double kMinTempFactor = 0.2;
constexpr int64_t kTrendWindowMs = 10 * 60 * 1000;
constexpr int64_t kTrendMinSpanMs = 3 * 60 * 1000;
constexpr size_t kTrendMinPoints = 5;
constexpr int64_t kTrendSkipMs = 2 * 60 * 1000;
constexpr double kTrendCurrentStep = 0.10;  // a load change this big restarts the trend
constexpr double kVoltageWeightMax = 0.75;
constexpr double kVoltageWeightFrom = 0.10;
constexpr double kVoltageWeightAt = 0.60;
constexpr double kBandCharge = 0.15, kBandBlend = 0.10, kBandNoTemp = 0.10;
constexpr double kAlarmHysteresis = 1.10;
constexpr int64_t kScheduleWindowMs = 60 * 60 * 1000;
constexpr double kMinCurrentA = 0.05;

using Dc = tele_c_k417t_dc;

bool Finite(const std::optional<double>& v) { return v && std::isfinite(*v); }
std::optional<double> Clean(const std::optional<double>& v) { return Finite(v) ? v : std::nullopt; }

// --- The site file

bool OnlyMembers(const Json::Value& v, const std::string& where,
                 std::initializer_list<const char*> known, std::string* error) {
  for (const std::string& m : v.getMemberNames()) {
    bool ok = false;
    for (const char* k : known) ok = ok || m == k;
    if (!ok) {
      *error = where + " has an unknown member \"" + SafeText(m) + "\"";
      return false;
    }
  }
  return true;
}

// A number in (lo, hi] (above_lo) or [lo, hi]; absent leaves *out.
bool ReadNumber(const Json::Value& parent, const char* key, const std::string& where, double lo,
                double hi, bool above_lo, bool required, double* out, std::string* error) {
  const Json::Value& v = json::Member(parent, key);
  const std::string path = where + "." + key;
  if (v.isNull()) {
    if (!required) return true;
    *error = path + ": is required";
    return false;
  }
  double d = 0;
  if (!json::ToDouble(v, d) || (above_lo ? !(d > lo) : !(d >= lo)) || !(d <= hi)) {
    *error = above_lo ? fmt::format("{}: must be a number above {} and at most {}", path, lo, hi)
                      : fmt::format("{}: must be a number from {} to {}", path, lo, hi);
    return false;
  }
  *out = d;
  return true;
}

bool ReadRef(const Json::Value& v, const std::string& where,
             const std::vector<unsigned int>& dc_units, ValueRef* out, std::string* error) {
  if (!v.isObject()) {
    *error = where + ": must be an object {\"unit\", \"list\", \"index\"}";
    return false;
  }
  if (!OnlyMembers(v, where, {"unit", "list", "index"}, error)) return false;
  uint32_t unit = 0;
  if (!json::ToUInt32(json::Member(v, "unit"), unit) ||
      std::find(dc_units.begin(), dc_units.end(), unit) == dc_units.end()) {
    std::string units;
    for (unsigned int u : dc_units) units += (units.empty() ? "" : ", ") + std::to_string(u);
    *error = where + ".unit: must be one of the device's DC units (" +
             (units.empty() ? std::string("none") : units) + ")";
    return false;
  }
  std::string list = "m";
  const Json::Value& l = json::Member(v, "list");
  if (!l.isNull() && (!json::ToString(l, list) || (list != "m" && list != "user"))) {
    *error = where + ".list: must be \"m\" or \"user\"";
    return false;
  }
  const int64_t size = list == "m" ? Dc::M_SIZE() : Dc::P_SIZE();
  int64_t index = 0;
  if (!json::ToIntIn(json::Member(v, "index"), 0, size - 1, index)) {
    *error = fmt::format("{}.index: must be an integer from 0 to {} (the {} list)", where, size - 1,
                         list);
    return false;
  }
  out->unit = unit;
  out->list = list;
  out->index = static_cast<unsigned int>(index);
  return true;
}

bool ReadCommand(const Json::Value& v, const std::string& where, int* code, int* byte,
                 std::string* error) {
  if (!v.isObject()) {
    *error = where + ": must be an object {\"code\", \"byte\"}";
    return false;
  }
  if (!OnlyMembers(v, where, {"code", "byte"}, error)) return false;
  std::string reason;
  if (!ControlFromJson(v, *code, *byte, reason)) {
    *error = where + ": " + reason;
    return false;
  }
  return true;
}

}  // namespace

// --- The schedule

namespace {

struct Schedule {
  enum class Kind { kNone, kDaily, kWeekly, kMonthly } kind = Kind::kNone;
  int weekday = 0;  // 0 = Monday
  int dom = 1;
  int minute = 0;  // since midnight
};

bool ParseClock(const std::string& s, int* minute) {
  const size_t colon = s.find(':');
  if (colon == std::string::npos || colon < 1 || colon > 2 || s.size() != colon + 3) return false;
  for (size_t i = 0; i < s.size(); ++i)
    if (i != colon && !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  const int h = std::stoi(s.substr(0, colon)), m = std::stoi(s.substr(colon + 1));
  if (h > 23 || m > 59) return false;
  *minute = h * 60 + m;
  return true;
}

bool ParseSchedule(const std::string& text, Schedule* out) {
  std::vector<std::string> w;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    size_t j = i;
    while (j < text.size() && text[j] != ' ') ++j;
    if (j > i) w.push_back(text.substr(i, j - i));
    i = j;
  }
  Schedule s;
  if (w.size() == 2 && w[0] == "daily") {
    s.kind = Schedule::Kind::kDaily;
    if (!ParseClock(w[1], &s.minute)) return false;
  } else if (w.size() == 3 && w[0] == "weekly") {
    static const char* const kDays[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
    s.kind = Schedule::Kind::kWeekly;
    s.weekday = -1;
    for (int d = 0; d < 7; ++d)
      if (w[1] == kDays[d]) s.weekday = d;
    if (s.weekday < 0 || !ParseClock(w[2], &s.minute)) return false;
  } else if (w.size() == 3 && w[0] == "monthly") {
    s.kind = Schedule::Kind::kMonthly;
    if (w[1].empty() || w[1].size() > 2 ||
        !std::all_of(w[1].begin(), w[1].end(), [](char c) { return c >= '0' && c <= '9'; }))
      return false;
    s.dom = std::stoi(w[1]);
    if (s.dom < 1 || s.dom > 28 || !ParseClock(w[2], &s.minute)) return false;
  } else {
    return false;
  }
  *out = s;
  return true;
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 30;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Minutes since the most recent slot at or before the round's local time;
// -1 when it cannot be said.
int64_t MinutesSinceSlot(const Schedule& s, const RoundInputs& in) {
  const int64_t minute = in.local_minute;
  switch (s.kind) {
    case Schedule::Kind::kNone:
      return -1;
    case Schedule::Kind::kDaily:
      return ((minute - s.minute) % 1440 + 1440) % 1440;
    case Schedule::Kind::kWeekly:
      return (((in.local_weekday - s.weekday) * 1440 + minute - s.minute) % 10080 + 10080) % 10080;
    case Schedule::Kind::kMonthly: {
      if (in.local_day <= 0) return -1;
      const int dom = in.local_day % 100, month = in.local_day / 100 % 100,
                year = in.local_day / 10000;
      if (dom > s.dom || (dom == s.dom && minute >= s.minute))
        return (dom - s.dom) * 1440 + minute - s.minute;
      const int prev_days = month == 1 ? 31 : DaysInMonth(year, month - 1);
      return (prev_days - s.dom + dom) * 1440 + minute - s.minute;
    }
  }
  return -1;
}

// Minutes until the next slot at or after the round's local time.
int64_t MinutesToSlot(const Schedule& s, const RoundInputs& in) {
  const int64_t minute = in.local_minute;
  switch (s.kind) {
    case Schedule::Kind::kNone:
      return -1;
    case Schedule::Kind::kDaily:
      return ((s.minute - minute) % 1440 + 1440) % 1440;
    case Schedule::Kind::kWeekly:
      return (((s.weekday - in.local_weekday) * 1440 + s.minute - minute) % 10080 + 10080) % 10080;
    case Schedule::Kind::kMonthly: {
      if (in.local_day <= 0) return -1;
      const int dom = in.local_day % 100, month = in.local_day / 100 % 100,
                year = in.local_day / 10000;
      if (dom < s.dom || (dom == s.dom && minute <= s.minute))
        return (s.dom - dom) * 1440 + s.minute - minute;
      return (DaysInMonth(year, month) - dom + s.dom) * 1440 + s.minute - minute;
    }
  }
  return -1;
}

int64_t FloorMinute(int64_t ms) { return ms - ((ms % 60000) + 60000) % 60000; }

}  // namespace

bool ParseBatterySettings(const Json::Value& v, const std::vector<unsigned int>& dc_units,
                          BatterySettings* out, std::string* error) {
  if (v.isNull()) return true;
  const std::string w = "battery";
  if (!v.isObject()) {
    *error = w + ": must be an object {\"strings\", ...}";
    return false;
  }
  if (!OnlyMembers(v, w,
                   {"strings", "temperatures", "discharge_threshold_a", "discharge_rounds",
                    "autonomy_alarm_min", "temp_coeff", "test"},
                   error))
    return false;
  BatterySettings s;
  std::vector<ValueRef> used;
  auto unique = [&](const ValueRef& r, const std::string& where) {
    if (std::find(used.begin(), used.end(), r) != used.end()) {
      *error = fmt::format("{}: unit {} {}[{}] is already given another battery role", where,
                           r.unit, r.list, r.index);
      return false;
    }
    used.push_back(r);
    return true;
  };

  const Json::Value& strings = json::Member(v, "strings");
  if (!strings.isArray() || strings.empty() || strings.size() > 16) {
    *error = w + ".strings: must be an array of 1 to 16 battery strings";
    return false;
  }
  for (Json::ArrayIndex i = 0; i < strings.size(); ++i) {
    const Json::Value& e = strings[i];
    const std::string p = fmt::format("{}.strings[{}]", w, i);
    if (!e.isObject()) {
      *error = p + ": must be an object {\"current\", \"discharge\", \"capacity_ah\", ...}";
      return false;
    }
    if (!OnlyMembers(e, p,
                     {"name", "current", "discharge", "capacity_ah", "rate_h", "end_v", "peukert"},
                     error))
      return false;
    BatteryString b;
    b.name = fmt::format("String {}", i + 1);
    const Json::Value& name = json::Member(e, "name");
    if (!name.isNull() && (!json::ToString(name, b.name) || b.name.empty() || b.name.size() > 64)) {
      *error = p + ".name: must be a non-empty string of at most 64 characters";
      return false;
    }
    if (json::Member(e, "current").isNull()) {
      *error = p + ".current: is required";
      return false;
    }
    if (!ReadRef(json::Member(e, "current"), p + ".current", dc_units, &b.current, error) ||
        !unique(b.current, p + ".current"))
      return false;
    std::string sign;
    if (!json::ToString(json::Member(e, "discharge"), sign) ||
        (sign != "negative" && sign != "positive")) {
      *error = p +
               ".discharge: must be \"negative\" or \"positive\" (the reading's sign while the "
               "string discharges)";
      return false;
    }
    b.discharge_negative = sign == "negative";
    if (!ReadNumber(e, "capacity_ah", p, 0, 100000, true, true, &b.capacity_ah, error) ||
        !ReadNumber(e, "rate_h", p, 0, 100, true, false, &b.rate_h, error) ||
        !ReadNumber(e, "end_v", p, 20, 60, false, true, &b.end_v, error) ||
        !ReadNumber(e, "peukert", p, 1.0, 1.6, false, false, &b.peukert, error))
      return false;
    s.strings.push_back(b);
  }

  const Json::Value& temps = json::Member(v, "temperatures");
  if (!temps.isNull()) {
    if (!temps.isArray() || temps.size() > 16) {
      *error = w + ".temperatures: must be an array of at most 16 values";
      return false;
    }
    for (Json::ArrayIndex i = 0; i < temps.size(); ++i) {
      ValueRef r;
      const std::string p = fmt::format("{}.temperatures[{}]", w, i);
      if (!ReadRef(temps[i], p, dc_units, &r, error) || !unique(r, p)) return false;
      s.temperatures.push_back(r);
    }
  }

  if (!ReadNumber(v, "discharge_threshold_a", w, 0, 1000, true, false, &s.discharge_threshold_a,
                  error))
    return false;
  const Json::Value& rounds = json::Member(v, "discharge_rounds");
  int64_t r = 0;
  if (!rounds.isNull()) {
    if (!json::ToIntIn(rounds, 1, 100, r)) {
      *error = w + ".discharge_rounds: must be an integer from 1 to 100";
      return false;
    }
    s.discharge_rounds = static_cast<unsigned int>(r);
  }
  if (!ReadNumber(v, "autonomy_alarm_min", w, 0, 100000, false, false, &s.autonomy_alarm_min,
                  error) ||
      !ReadNumber(v, "temp_coeff", w, 0, 0.05, false, false, &s.temp_coeff, error))
    return false;

  const Json::Value& t = json::Member(v, "test");
  if (!t.isNull()) {
    const std::string p = w + ".test";
    if (!t.isObject()) {
      *error = p + ": must be an object {\"allowed\", \"start\", \"stop\", ...}";
      return false;
    }
    if (!OnlyMembers(
            t, p,
            {"allowed", "start", "stop", "max_s", "max_ah", "end_v", "pass_ratio", "schedule"},
            error))
      return false;
    BatteryTestSettings& ts = s.test;
    const Json::Value& allowed = json::Member(t, "allowed");
    if (!allowed.isNull() && !json::ToBool(allowed, ts.allowed)) {
      *error = p + ".allowed: must be true or false";
      return false;
    }
    for (auto [key, code, byte] : {std::make_tuple("start", &ts.start_code, &ts.start_byte),
                                   std::make_tuple("stop", &ts.stop_code, &ts.stop_byte)}) {
      const Json::Value& c = json::Member(t, key);
      if (c.isNull()) {
        if (ts.allowed) {
          *error = fmt::format("{}.{}: is required when tests are allowed", p, key);
          return false;
        }
        continue;
      }
      if (!ReadCommand(c, p + "." + key, code, byte, error)) return false;
    }
    const Json::Value& max_s = json::Member(t, "max_s");
    int64_t secs = 0;
    if (!max_s.isNull()) {
      if (!json::ToIntIn(max_s, 60, 86400, secs)) {
        *error = p + ".max_s: must be an integer from 60 to 86400 seconds";
        return false;
      }
      ts.max_s = secs;
    }
    if (!ReadNumber(t, "max_ah", p, 0, 100000, false, false, &ts.max_ah, error) ||
        !ReadNumber(t, "pass_ratio", p, 0, 1, true, false, &ts.pass_ratio, error))
      return false;
    const Json::Value& end_v = json::Member(t, "end_v");
    double ev = 0;
    if (!end_v.isNull()) {
      if (!json::ToDouble(end_v, ev) || !(ev == 0 || (ev >= 20 && ev <= 60))) {
        *error = p + ".end_v: must be 0 (the strings' end voltage) or a number from 20 to 60";
        return false;
      }
      ts.end_v = ev;
    }
    const Json::Value& sched = json::Member(t, "schedule");
    if (!sched.isNull()) {
      Schedule parsed;
      if (!json::ToString(sched, ts.schedule) ||
          (!ts.schedule.empty() && !ParseSchedule(ts.schedule, &parsed))) {
        *error = p +
                 ".schedule: must be \"daily HH:MM\", \"weekly DAY HH:MM\" (DAY mon..sun) or "
                 "\"monthly D HH:MM\" (D 1..28)";
        return false;
      }
      if (!ts.schedule.empty() && !ts.allowed) {
        *error = p + ".schedule: needs \"allowed\": true";
        return false;
      }
    }
  }
  *out = std::move(s);
  return true;
}

// --- The engine

struct BatteryEngine::Impl {
  Schedule schedule;
  bool have_prev = false;
  RoundInputs prev;  // the previous round, live or not
  bool have_live = false;
  RoundInputs last_live;
  EnergyCounters day_start, month_start;
  int day = 0;

  std::optional<DischargeRecord> open;
  double base_ah = 0, base_kwh = 0;  // counters the open record counts from
  double soc_at_open = 1;
  std::optional<double> last_discharging_v;
  unsigned int above = 0;  // live rounds in a row beyond the threshold
  int64_t first_above_ms = 0;
  EnergyCounters first_above_base;
  bool mains_seen = false;
  std::optional<double> run_min_v, run_min_t;
  unsigned int over = 0;  // live rounds in a row saying it is over

  struct Sample {
    int64_t t;
    double v, i;
  };
  std::deque<Sample> trend;
  int64_t float_since = -1;
  bool autonomy_low = false;

  bool test_running = false;
  int64_t test_started_ms = 0;
  std::string test_by;
  std::string last_result;
  int64_t last_test_ms = 0;
  int64_t refused_slot_ms = -1;
  bool restored_test = false;  // a test was going on when the service stopped
  std::optional<DischargeRecord> pending_started, pending_ended;
};

namespace {

double Min(const std::optional<double>& a, double b) { return a ? std::min(*a, b) : b; }

}  // namespace

BatteryEngine::BatteryEngine(unsigned int device, BatterySettings settings)
    : device_(device), settings_(std::move(settings)), impl_(std::make_shared<Impl>()) {
  if (settings_.test.allowed) ParseSchedule(settings_.test.schedule, &impl_->schedule);
  if (settings_.discharge_rounds == 0) settings_.discharge_rounds = 1;
}

namespace {

struct Bank {
  double capacity = 0;  // Σ rated
  double end_v = 0;     // the highest of the strings' (0: none)
};

Bank BankOf(const BatterySettings& s) {
  Bank b;
  for (const BatteryString& st : s.strings) {
    b.capacity += st.capacity_ah;
    b.end_v = std::max(b.end_v, st.end_v);
  }
  return b;
}

double TempFactor(const BatterySettings& s, const std::optional<double>& t) {
  if (!t) return 1.0;
  return std::max(kMinTempFactor, 1.0 - s.temp_coeff * std::max(0.0, 25.0 - *t));
}

// A string's Peukert-equivalent drain (Ah per hour of its capacity) at I.
double Drain(const BatteryString& st, double i) {
  if (!(i > 0) || !(st.capacity_ah > 0) || !(st.rate_h > 0)) return 0;
  const double ir = st.capacity_ah / st.rate_h;
  return i * std::pow(std::max(i / ir, kMinPeukertRatio), st.peukert - 1.0);
}

std::optional<double> Lowest(const std::vector<std::optional<double>>& v) {
  std::optional<double> low;
  for (const auto& x : v)
    if (Finite(x)) low = low ? std::min(*low, *x) : *x;
  return low;
}

RoundInputs Cleaned(const RoundInputs& in) {
  RoundInputs r = in;
  r.bus_v = Clean(r.bus_v);
  r.load_a = Clean(r.load_a);
  r.rectifier_a = Clean(r.rectifier_a);
  r.rectifier_v = Clean(r.rectifier_v);
  for (auto& x : r.string_a) x = Clean(x);
  for (auto& x : r.temps_c) x = Clean(x);
  return r;
}

EnergyCounters Minus(const EnergyCounters& a, const EnergyCounters& b) {
  EnergyCounters d;
  d.load_kwh = a.load_kwh - b.load_kwh;
  d.rectifier_kwh = a.rectifier_kwh - b.rectifier_kwh;
  d.charge_ah = a.charge_ah - b.charge_ah;
  d.discharge_ah = a.discharge_ah - b.discharge_ah;
  d.charge_kwh = a.charge_kwh - b.charge_kwh;
  d.discharge_kwh = a.discharge_kwh - b.discharge_kwh;
  d.time_ms = a.time_ms;
  return d;
}

}  // namespace

void BatteryEngine::Restore(const BatteryMemory& m) {
  Impl& s = *impl_;
  auto up = [](double& to, double from) {
    if (std::isfinite(from) && from > to) to = from;
  };
  up(counters_.load_kwh, m.counters.load_kwh);
  up(counters_.rectifier_kwh, m.counters.rectifier_kwh);
  up(counters_.charge_ah, m.counters.charge_ah);
  up(counters_.discharge_ah, m.counters.discharge_ah);
  up(counters_.charge_kwh, m.counters.charge_kwh);
  up(counters_.discharge_kwh, m.counters.discharge_kwh);
  counters_.time_ms = std::max(counters_.time_ms, m.counters.time_ms);
  s.day = m.day;
  s.day_start = m.day_start;
  s.month_start = m.month_start;
  if (m.soc && std::isfinite(*m.soc)) soc_ = std::clamp(*m.soc, 0.0, 1.0);
  s.last_test_ms = std::max(s.last_test_ms, m.last_test_ms);
  if (m.open && !s.open) {
    s.open = m.open;
    s.open->device = device_;
    s.open->end_ms = 0;
    s.base_ah = counters_.discharge_ah - s.open->ah;
    s.base_kwh = counters_.discharge_kwh - s.open->kwh;
    s.soc_at_open = std::max(soc_, 0.01);
    s.last_discharging_v = s.open->end_v;
    s.over = 0;
    // A test cannot go on across a restart (who started it and its ends
    // are gone): the first round ends it and returns the rectifiers to float.
    s.restored_test = s.open->cause == "test";
  }
}

BatteryMemory BatteryEngine::Memory() const {
  const Impl& s = *impl_;
  BatteryMemory m;
  m.counters = counters_;
  m.day_start = s.day_start;
  m.month_start = s.month_start;
  m.day = s.day;
  m.soc = soc_;
  m.open = s.open;
  m.last_test_ms = s.last_test_ms;
  return m;
}

BatteryEngine::Step BatteryEngine::Round(const RoundInputs& raw) {
  Impl& s = *impl_;
  Step st;
  const RoundInputs in = Cleaned(raw);
  const EnergyCounters before = counters_;
  const size_t n = settings_.strings.size();
  const Bank bank = BankOf(settings_);

  if (s.pending_started) st.started = std::move(s.pending_started);
  if (s.pending_ended) st.ended = std::move(s.pending_ended);
  s.pending_started.reset();
  s.pending_ended.reset();

  // Counters: the trapezoid between two live rounds close enough together.
  if (s.have_prev && s.prev.live && in.live && in.time_ms > s.prev.time_ms &&
      in.time_ms - s.prev.time_ms <= kMaxGapMs) {
    const RoundInputs& a = s.prev;
    const double h = static_cast<double>(in.time_ms - a.time_ms) / 3.6e6;
    auto add = [](double& to, double inc) {
      if (inc > 0) to += inc;
    };
    if (a.bus_v && in.bus_v && a.load_a && in.load_a)
      add(counters_.load_kwh, (*a.bus_v * *a.load_a + *in.bus_v * *in.load_a) / 2 * h / 1000);
    // The rectifiers' output voltage; the bus voltage where the group does
    // not report one.
    const bool rv = a.rectifier_v && in.rectifier_v;
    const std::optional<double> v0 = rv ? a.rectifier_v : a.bus_v;
    const std::optional<double> v1 = rv ? in.rectifier_v : in.bus_v;
    if (v0 && v1 && a.rectifier_a && in.rectifier_a)
      add(counters_.rectifier_kwh, (*v0 * *a.rectifier_a + *v1 * *in.rectifier_a) / 2 * h / 1000);
    double used = 0, charged = 0;
    for (size_t i = 0; i < n && i < a.string_a.size() && i < in.string_a.size(); ++i) {
      if (!a.string_a[i] || !in.string_a[i]) continue;
      const double i0 = *a.string_a[i], i1 = *in.string_a[i];
      const double d0 = std::max(i0, 0.0), d1 = std::max(i1, 0.0);
      const double c0 = std::max(-i0, 0.0), c1 = std::max(-i1, 0.0);
      add(counters_.discharge_ah, (d0 + d1) / 2 * h);
      add(counters_.charge_ah, (c0 + c1) / 2 * h);
      if (a.bus_v && in.bus_v) {
        add(counters_.discharge_kwh, (*a.bus_v * d0 + *in.bus_v * d1) / 2 * h / 1000);
        add(counters_.charge_kwh, (*a.bus_v * c0 + *in.bus_v * c1) / 2 * h / 1000);
      }
      const BatteryString& bs = settings_.strings[i];
      used += (Drain(bs, d0) + Drain(bs, d1)) / 2 * h;
      charged += (c0 + c1) / 2 * h;
    }
    const double cap = bank.capacity * TempFactor(settings_, Lowest(in.temps_c));
    if (cap > 0) soc_ = std::clamp(soc_ - used / cap + kChargeEfficiency * charged / cap, 0.0, 1.0);
  }
  if (in.live && in.time_ms > counters_.time_ms) {
    counters_.time_ms = in.time_ms;
    st.counters_changed = true;
  }

  // Today and this month start at the first round of the day and the month.
  if (in.local_day > 0 && in.local_day != s.day) {
    if (s.day == 0 || in.local_day / 100 != s.day / 100) s.month_start = counters_;
    s.day_start = counters_;
    s.day = in.local_day;
  }

  s.have_prev = true;
  s.prev = in;
  if (in.live) {
    s.have_live = true;
    s.last_live = in;
  }

  auto close = [&](DischargeRecord rec) {
    s.open.reset();
    s.trend.clear();
    s.above = 0;
    s.over = 0;
    st.ended = std::move(rec);
  };
  auto finish_test = [&](int64_t at, const std::string& reason, bool aborted) {
    DischargeRecord rec = *s.open;
    rec.end_ms = at;
    rec.ah = std::max(0.0, counters_.discharge_ah - s.base_ah);
    rec.kwh = std::max(0.0, counters_.discharge_kwh - s.base_kwh);
    if (s.last_discharging_v) rec.end_v = s.last_discharging_v;
    const double hours = static_cast<double>(at - rec.start_ms) / 3.6e6;
    const double mean = hours > 0 ? rec.ah / hours : 0;
    if (mean > kMinCurrentA && bank.capacity > 0) {
      double drain = 0;
      for (const BatteryString& bs : settings_.strings)
        drain += Drain(bs, mean * bs.capacity_ah / bank.capacity);
      const double promise_h = bank.capacity * TempFactor(settings_, rec.min_temp_c) / drain;
      rec.expected_ah =
          mean * std::min(static_cast<double>(settings_.test.max_s) / 3600.0, promise_h);
      if (settings_.test.max_ah > 0)
        rec.expected_ah = std::min(rec.expected_ah, settings_.test.max_ah);
    }
    if (aborted)
      rec.result = "aborted: " + reason;
    else if (!(mean > kMinCurrentA))
      rec.result = "aborted: the strings delivered no current";
    else
      rec.result = rec.ah >= settings_.test.pass_ratio * rec.expected_ah ? "pass" : "fail";
    s.last_result = rec.result;
    s.test_running = false;
    if (settings_.test.stop_code >= 0)
      st.commands.push_back({settings_.test.stop_code, settings_.test.stop_byte,
                             (aborted ? "battery test abort: " : "battery test end: ") + reason});
    close(rec);
  };

  if (s.restored_test) {
    s.restored_test = false;
    if (s.open && s.open->cause == "test") finish_test(in.time_ms, "service restarted", true);
  }

  // Discharges.
  double total = 0;
  bool any = false;
  for (size_t i = 0; i < n && i < in.string_a.size(); ++i)
    if (in.string_a[i]) {
      total += *in.string_a[i];
      any = true;
    }
  const double thr = settings_.discharge_threshold_a;
  const std::optional<double> temp = Lowest(in.temps_c);
  if (in.live && any && n > 0) {
    if (!s.open) {
      if (total > thr) {
        if (s.above == 0) {
          s.first_above_ms = in.time_ms;
          s.first_above_base = before;
          s.mains_seen = false;
          s.run_min_v.reset();
          s.run_min_t.reset();
        }
        ++s.above;
        s.mains_seen = s.mains_seen || in.mains_lost;
        if (in.bus_v) s.run_min_v = Min(s.run_min_v, *in.bus_v);
        if (temp) s.run_min_t = Min(s.run_min_t, *temp);
        if (s.above >= settings_.discharge_rounds || in.mains_lost) {
          DischargeRecord rec;
          rec.device = device_;
          rec.start_ms = s.first_above_ms;
          rec.cause = s.mains_seen ? "mains loss" : "rectifier shortfall";
          s.base_ah = s.first_above_base.discharge_ah;
          s.base_kwh = s.first_above_base.discharge_kwh;
          rec.ah = counters_.discharge_ah - s.base_ah;
          rec.kwh = counters_.discharge_kwh - s.base_kwh;
          rec.min_v = s.run_min_v;
          rec.end_v = in.bus_v;
          rec.min_temp_c = s.run_min_t;
          s.last_discharging_v = in.bus_v;
          s.soc_at_open = std::max(soc_, 0.01);
          s.trend.clear();
          s.over = 0;
          s.open = rec;
          st.started = rec;
        }
      } else {
        s.above = 0;
      }
    } else {
      DischargeRecord& rec = *s.open;
      const bool over = !s.test_running && (total < -thr || (total <= thr && !in.mains_lost));
      if (!over) {
        s.over = 0;
        rec.end_ms = 0;
        rec.ah = counters_.discharge_ah - s.base_ah;
        rec.kwh = counters_.discharge_kwh - s.base_kwh;
        if (in.bus_v) {
          rec.min_v = Min(rec.min_v, *in.bus_v);
          rec.end_v = in.bus_v;
          s.last_discharging_v = in.bus_v;
        }
        if (temp) rec.min_temp_c = Min(rec.min_temp_c, *temp);
        // The voltage trend: steady current, past the first minutes.
        if (in.bus_v && total > thr && in.time_ms - rec.start_ms >= kTrendSkipMs) {
          if (!s.trend.empty() && std::fabs(total - s.trend.front().i) >
                                      kTrendCurrentStep * std::max(total, s.trend.front().i))
            s.trend.clear();
          s.trend.push_back({in.time_ms, *in.bus_v, total});
          while (!s.trend.empty() && in.time_ms - s.trend.front().t > kTrendWindowMs)
            s.trend.pop_front();
        }
      } else {
        if (++s.over == 1) {
          rec.end_ms = in.time_ms;
          rec.ah = counters_.discharge_ah - s.base_ah;
          rec.kwh = counters_.discharge_kwh - s.base_kwh;
        }
        if (s.over >= settings_.discharge_rounds) {
          DischargeRecord done = rec;
          done.end_v = s.last_discharging_v;
          close(done);
        }
      }
    }
  }

  // A full string on float: the count starts again from full.
  bool floating = in.live && !s.open && !in.mains_lost && n > 0 && in.string_a.size() >= n;
  for (size_t i = 0; floating && i < n; ++i)
    floating = in.string_a[i] &&
               std::fabs(*in.string_a[i]) <= kFloatTailPerAh * settings_.strings[i].capacity_ah;
  if (!floating) {
    s.float_since = -1;
  } else {
    if (s.float_since < 0) s.float_since = in.time_ms;
    if (in.time_ms - s.float_since >= kFloatHoldMs) soc_ = 1.0;
  }

  // The test's interlocks and ends.
  const AutonomyEstimate est = Autonomy();
  const double min = settings_.autonomy_alarm_min;
  if (s.test_running && s.open) {
    std::string abort, end;
    if (!in.live)
      abort = "controller lost";
    else if (in.mains_lost)
      abort = "mains lost";
    else if (in.mains_or_rectifier_alarm)
      abort = "mains or rectifier alarm";
    else if (min > 0 && est.valid && est.minutes < min)
      abort = fmt::format("autonomy {:.0f} min below the minimum {:.0f} min", est.minutes, min);
    else if (in.time_ms - s.test_started_ms >= settings_.test.max_s * 1000)
      end = fmt::format("{} s", settings_.test.max_s);
    else if (settings_.test.max_ah > 0 &&
             counters_.discharge_ah - s.base_ah >= settings_.test.max_ah)
      end = fmt::format("{:g} Ah", settings_.test.max_ah);
    else {
      const double ev = settings_.test.end_v > 0 ? settings_.test.end_v : bank.end_v;
      if (ev > 0 && in.bus_v && *in.bus_v <= ev)
        end = fmt::format("end voltage {:.2f} V", *in.bus_v);
    }
    if (!abort.empty())
      finish_test(in.time_ms, abort, true);
    else if (!end.empty())
      finish_test(in.time_ms, end, false);
  } else if (s.test_running) {
    s.test_running = false;  // its record is gone (cannot happen)
  }

  // The schedule.
  if (settings_.test.allowed && !s.test_running) {
    const int64_t since = MinutesSinceSlot(s.schedule, in);
    if (since >= 0 && since * 60000 < kScheduleWindowMs) {
      const int64_t slot = FloorMinute(in.time_ms) - since * 60000;
      if (slot > s.last_test_ms && slot != s.refused_slot_ms) {
        Step::Command start;
        const std::string why = StartTest(in.time_ms, "schedule", &start);
        if (why.empty()) {
          st.commands.push_back(start);
          if (s.pending_started) st.started = std::move(s.pending_started);
          s.pending_started.reset();
        } else {
          st.test_refused = why;
          s.refused_slot_ms = slot;
        }
      }
    }
  }

  // The autonomy alarm (held over rounds without readings).
  if (in.live) {
    const AutonomyEstimate now = Autonomy();
    if (!(min > 0) || !settings_.configured() || !now.valid)
      s.autonomy_low = false;
    else if (now.minutes < min)
      s.autonomy_low = true;
    else if (now.minutes > min * kAlarmHysteresis)
      s.autonomy_low = false;
  }
  st.autonomy_low = s.autonomy_low;
  return st;
}

std::string BatteryEngine::StartTest(int64_t now_ms, const std::string& who, Step::Command* start) {
  Impl& s = *impl_;
  const BatteryTestSettings& t = settings_.test;
  if (!t.allowed || !settings_.configured() || t.start_code < 0 || t.stop_code < 0)
    return "battery tests are not allowed on this device";
  if (s.test_running) return "a battery test is already running";
  if (!s.have_prev || !s.prev.live) return "the controller is not answering";
  if (s.prev.mains_lost) return "mains is lost";
  if (s.prev.mains_or_rectifier_alarm) return "mains or rectifier alarms are active";
  if (s.open) return "a battery discharge is going on";
  const AutonomyEstimate a = Autonomy();
  if (!a.valid) return "the autonomy is unknown: " + a.why;
  if (settings_.autonomy_alarm_min > 0 && a.minutes < settings_.autonomy_alarm_min)
    return fmt::format("the autonomy ({:.0f} min) is below the site's minimum ({:.0f} min)",
                       a.minutes, settings_.autonomy_alarm_min);
  s.test_running = true;
  s.test_started_ms = now_ms;
  s.test_by = who;
  s.last_test_ms = std::max(s.last_test_ms, now_ms);
  DischargeRecord rec;
  rec.device = device_;
  rec.start_ms = now_ms;
  rec.cause = "test";
  rec.end_v = s.prev.bus_v;
  rec.min_v = s.prev.bus_v;
  rec.min_temp_c = Lowest(s.prev.temps_c);
  s.base_ah = counters_.discharge_ah;
  s.base_kwh = counters_.discharge_kwh;
  s.soc_at_open = std::max(soc_, 0.01);
  s.last_discharging_v = s.prev.bus_v;
  s.trend.clear();
  s.above = 0;
  s.over = 0;
  s.open = rec;
  s.pending_started = rec;
  if (start != nullptr)
    *start = {t.start_code, t.start_byte, "battery test start (by " + who + ")"};
  return "";
}

bool BatteryEngine::AbortTest(int64_t now_ms, const std::string& reason, Step::Command* stop) {
  Impl& s = *impl_;
  if (!s.test_running || !s.open) return false;
  DischargeRecord rec = *s.open;
  rec.end_ms = now_ms;
  rec.ah = std::max(0.0, counters_.discharge_ah - s.base_ah);
  rec.kwh = std::max(0.0, counters_.discharge_kwh - s.base_kwh);
  if (s.last_discharging_v) rec.end_v = s.last_discharging_v;
  rec.result = "aborted: " + reason;
  s.last_result = rec.result;
  s.test_running = false;
  s.open.reset();
  s.trend.clear();
  s.above = 0;
  s.over = 0;
  s.pending_started.reset();
  s.pending_ended = rec;
  if (stop != nullptr)
    *stop = {settings_.test.stop_code, settings_.test.stop_byte, "battery test abort: " + reason};
  return true;
}

EnergyCounters BatteryEngine::Today() const {
  return impl_->day == 0 ? EnergyCounters{} : Minus(counters_, impl_->day_start);
}
EnergyCounters BatteryEngine::ThisMonth() const {
  return impl_->day == 0 ? EnergyCounters{} : Minus(counters_, impl_->month_start);
}

std::optional<double> BatteryEngine::PowerW() const {
  const Impl& s = *impl_;
  if (!s.have_live || !s.last_live.bus_v || !s.last_live.load_a) return std::nullopt;
  return *s.last_live.bus_v * *s.last_live.load_a;
}

AutonomyEstimate BatteryEngine::Autonomy() const {
  const Impl& s = *impl_;
  AutonomyEstimate a;
  a.soc = soc_;
  a.discharging = s.open.has_value();
  const Bank bank = BankOf(settings_);
  if (!settings_.configured() || !(bank.capacity > 0)) {
    a.why = "no battery strings in the site file";
    return a;
  }
  if (!s.have_prev || !s.prev.live) {
    a.why = "no current readings (the controller is not answering)";
    return a;
  }
  const RoundInputs& r = s.prev;
  a.temp_c = Lowest(r.temps_c);
  if (!r.bus_v) {
    a.why = "no bus voltage reading";
    return a;
  }
  const size_t n = settings_.strings.size();
  double drain = 0, current = 0;
  bool measured = false;
  if (a.discharging) {
    for (size_t i = 0; i < n && i < r.string_a.size(); ++i) {
      if (!r.string_a[i]) continue;
      measured = true;
      const double x = std::max(0.0, *r.string_a[i]);
      current += x;
      drain += Drain(settings_.strings[i], x);
    }
    if (!measured) {
      a.why = "no battery string current reading";
      return a;
    }
  }
  if (!(current > kMinCurrentA)) {
    // On mains (or the strings idle): the present load, shared by capacity.
    const std::optional<double> load = r.load_a ? r.load_a : r.rectifier_a;
    if (!load) {
      a.why = "no load current reading";
      return a;
    }
    current = std::max(0.0, *load);
    drain = 0;
    for (const BatteryString& bs : settings_.strings)
      drain += Drain(bs, current * bs.capacity_ah / bank.capacity);
  }
  if (!(current > kMinCurrentA) || !(drain > 0)) {
    a.why = "no load to project";
    return a;
  }
  a.load_a = current;
  const double cap = bank.capacity * TempFactor(settings_, a.temp_c);
  const double by_charge = soc_ * cap / drain * 60.0;

  double minutes = by_charge, weight = 0;
  std::optional<double> by_voltage;
  if (a.discharging && bank.end_v > 0 && s.trend.size() >= kTrendMinPoints &&
      s.trend.back().t - s.trend.front().t >= kTrendMinSpanMs) {
    // Least squares over the window, time in minutes from its last sample.
    const double t_end = static_cast<double>(s.trend.back().t);
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const Impl::Sample& p : s.trend) {
      const double x = (static_cast<double>(p.t) - t_end) / 60000.0;
      sx += x;
      sy += p.v;
      sxx += x * x;
      sxy += x * p.v;
    }
    const double k = static_cast<double>(s.trend.size());
    const double den = k * sxx - sx * sx;
    if (den > 0) {
      const double slope = (k * sxy - sx * sy) / den;  // V per minute
      const double v_now = (sy - slope * sx) / k;      // the fit at the last sample
      if (v_now <= bank.end_v)
        by_voltage = 0.0;
      else if (slope < 0)
        by_voltage = (v_now - bank.end_v) / -slope;
    }
    if (by_voltage) {
      const double progress = std::clamp((s.soc_at_open - soc_) / s.soc_at_open, 0.0, 1.0);
      weight = kVoltageWeightMax *
               std::clamp((progress - kVoltageWeightFrom) / (kVoltageWeightAt - kVoltageWeightFrom),
                          0.0, 1.0);
      // A falling voltage steepens toward the end, so its straight line
      // promises too much: it can only shorten the estimate.
      if (*by_voltage >= by_charge) weight = 0;
      if (weight > 0) minutes = (1 - weight) * by_charge + weight * *by_voltage;
    }
  }
  if (*r.bus_v <= bank.end_v && a.discharging) minutes = 0;
  double band = weight > 0 ? kBandBlend : kBandCharge;
  if (!a.temp_c) band += kBandNoTemp;
  a.valid = true;
  a.minutes = minutes;
  a.low_min = minutes * (1 - band);
  a.high_min = minutes * (1 + band);
  if (weight > 0) {
    a.low_min = std::min({a.low_min, by_charge, *by_voltage});
    a.high_min = std::max({a.high_min, by_charge, *by_voltage});
  }
  a.basis = weight > 0 ? "charge+voltage" : "charge";
  return a;
}

std::optional<DischargeRecord> BatteryEngine::Discharging() const { return impl_->open; }

BatteryTestState BatteryEngine::Test() const {
  const Impl& s = *impl_;
  BatteryTestState t;
  if (s.test_running) {
    t.phase = BatteryTestState::Phase::kRunning;
    t.started_ms = s.test_started_ms;
    t.started_by = s.test_by;
  }
  t.last_result = s.last_result;
  if (settings_.test.allowed && s.have_prev) {
    const int64_t to = MinutesToSlot(s.schedule, s.prev);
    if (to >= 0) {
      int64_t next = FloorMinute(s.prev.time_ms) + to * 60000;
      // This minute's slot, once taken or refused, is the next period's.
      if (to == 0 && (next <= s.last_test_ms || next == s.refused_slot_ms)) {
        RoundInputs later = s.prev;
        later.local_minute = (later.local_minute + 1) % 1440;
        if (later.local_minute == 0) later.local_weekday = (later.local_weekday + 1) % 7;
        const int64_t again = MinutesToSlot(s.schedule, later);
        next += (again + 1) * 60000;
      }
      t.next_scheduled_ms = next;
    }
  }
  return t;
}

// --- The JSON forms

namespace {

Json::Value Seconds(int64_t ms) {
  if (ms == 0) return Json::nullValue;
  return Json::Int64(ms / 1000);
}
Json::Value Maybe(const std::optional<double>& v) {
  return Finite(v) ? Json::Value(*v) : Json::Value(Json::nullValue);
}

bool ReadSeconds(const Json::Value& v, int64_t* ms) {
  if (v.isNull()) {
    *ms = 0;
    return true;
  }
  int64_t s = 0;
  if (!json::ToIntIn(v, 0, int64_t{1} << 40, s)) return false;
  *ms = s * 1000;
  return true;
}
bool ReadMaybe(const Json::Value& v, std::optional<double>* out) {
  if (v.isNull()) {
    out->reset();
    return true;
  }
  double d = 0;
  if (!json::ToDouble(v, d)) return false;
  *out = d;
  return true;
}
bool ReadAmount(const Json::Value& v, double* out) { return json::ToDouble(v, *out) && *out >= 0; }

bool ParseCounters(const Json::Value& v, EnergyCounters* out) {
  if (!v.isObject()) return false;
  EnergyCounters c;
  return ReadAmount(json::Member(v, "load_kwh"), &c.load_kwh) &&
         ReadAmount(json::Member(v, "rectifier_kwh"), &c.rectifier_kwh) &&
         ReadAmount(json::Member(v, "charge_ah"), &c.charge_ah) &&
         ReadAmount(json::Member(v, "discharge_ah"), &c.discharge_ah) &&
         ReadAmount(json::Member(v, "charge_kwh"), &c.charge_kwh) &&
         ReadAmount(json::Member(v, "discharge_kwh"), &c.discharge_kwh) &&
         ReadSeconds(json::Member(v, "time"), &c.time_ms) && (*out = c, true);
}

bool ParseDischarge(const Json::Value& v, DischargeRecord* out) {
  if (!v.isObject()) return false;
  DischargeRecord r;
  int64_t id = 0;
  uint32_t device = 0;
  if (!json::ToIntIn(json::Member(v, "id"), 0, INT64_MAX, id) ||
      !json::ToUInt32(json::Member(v, "device"), device) ||
      !ReadSeconds(json::Member(v, "start"), &r.start_ms) ||
      !ReadSeconds(json::Member(v, "end"), &r.end_ms) ||
      !json::ToString(json::Member(v, "cause"), r.cause) ||
      !ReadAmount(json::Member(v, "ah"), &r.ah) || !ReadAmount(json::Member(v, "kwh"), &r.kwh) ||
      !ReadMaybe(json::Member(v, "min_v"), &r.min_v) ||
      !ReadMaybe(json::Member(v, "end_v"), &r.end_v) ||
      !ReadMaybe(json::Member(v, "min_temp_c"), &r.min_temp_c) ||
      !json::ToString(json::Member(v, "result"), r.result) ||
      !ReadAmount(json::Member(v, "expected_ah"), &r.expected_ah) || r.start_ms == 0)
    return false;
  r.id = id;
  r.device = device;
  *out = r;
  return true;
}

}  // namespace

Json::Value CountersJson(const EnergyCounters& c) {
  Json::Value j(Json::objectValue);
  j["load_kwh"] = c.load_kwh;
  j["rectifier_kwh"] = c.rectifier_kwh;
  j["charge_ah"] = c.charge_ah;
  j["discharge_ah"] = c.discharge_ah;
  j["charge_kwh"] = c.charge_kwh;
  j["discharge_kwh"] = c.discharge_kwh;
  j["time"] = Seconds(c.time_ms);
  return j;
}

Json::Value DischargeJson(const DischargeRecord& r) {
  Json::Value j(Json::objectValue);
  j["id"] = Json::Int64(r.id);
  j["device"] = r.device;
  j["start"] = Seconds(r.start_ms);
  j["end"] = Seconds(r.end_ms);
  j["cause"] = r.cause;
  j["ah"] = r.ah;
  j["kwh"] = r.kwh;
  j["min_v"] = Maybe(r.min_v);
  j["end_v"] = Maybe(r.end_v);
  j["min_temp_c"] = Maybe(r.min_temp_c);
  j["result"] = r.result;
  j["expected_ah"] = r.expected_ah;
  return j;
}

Json::Value AutonomyJson(const AutonomyEstimate& a) {
  Json::Value j(Json::objectValue);
  j["valid"] = a.valid;
  j["discharging"] = a.discharging;
  j["minutes"] = a.valid ? Json::Value(a.minutes) : Json::Value(Json::nullValue);
  j["low_min"] = a.valid ? Json::Value(a.low_min) : Json::Value(Json::nullValue);
  j["high_min"] = a.valid ? Json::Value(a.high_min) : Json::Value(Json::nullValue);
  j["soc"] = a.soc;
  j["load_a"] = a.valid ? Json::Value(a.load_a) : Json::Value(Json::nullValue);
  j["temp_c"] = Maybe(a.temp_c);
  j["basis"] = a.basis;
  j["why"] = a.why;
  return j;
}

// {"counters","day_start","month_start","day","soc","open","last_test"}
Json::Value BatteryMemoryJson(const BatteryMemory& m) {
  Json::Value j(Json::objectValue);
  j["counters"] = CountersJson(m.counters);
  j["day_start"] = CountersJson(m.day_start);
  j["month_start"] = CountersJson(m.month_start);
  j["day"] = m.day;
  j["soc"] = Maybe(m.soc);
  j["open"] = m.open ? DischargeJson(*m.open) : Json::Value(Json::nullValue);
  j["last_test"] = Seconds(m.last_test_ms);
  return j;
}

bool ParseBatteryMemory(const Json::Value& v, BatteryMemory* out) {
  if (!v.isObject()) return false;
  BatteryMemory m;
  int64_t day = 0;
  if (!ParseCounters(json::Member(v, "counters"), &m.counters) ||
      !ParseCounters(json::Member(v, "day_start"), &m.day_start) ||
      !ParseCounters(json::Member(v, "month_start"), &m.month_start) ||
      !json::ToIntIn(json::Member(v, "day"), 0, 99991231, day) ||
      !ReadMaybe(json::Member(v, "soc"), &m.soc) ||
      !ReadSeconds(json::Member(v, "last_test"), &m.last_test_ms))
    return false;
  if (m.soc && !(*m.soc >= 0 && *m.soc <= 1)) return false;
  m.day = static_cast<int>(day);
  const Json::Value& open = json::Member(v, "open");
  if (!open.isNull()) {
    DischargeRecord r;
    if (!ParseDischarge(open, &r)) return false;
    m.open = r;
  }
  *out = m;
  return true;
}

}  // namespace qmx::view
