// The battery engine: the site file's battery member, the energy counters,
// discharge records, the state of charge and autonomy, and the battery test
// with its interlocks and schedule.
#include "view/battery.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "input/checked_json.h"

namespace {

using qmx::view::BatteryEngine;
using qmx::view::BatteryMemory;
using qmx::view::BatterySettings;
using qmx::view::RoundInputs;

Json::Value Doc(const std::string& text) {
  Json::Value v;
  std::string error;
  EXPECT_TRUE(qmx::json::Parse(text, "test", v, error)) << error;
  return v;
}

const char* kGood = R"({
  "strings": [{"name": "A", "current": {"unit": 102, "list": "m", "index": 0},
               "discharge": "negative", "capacity_ah": 200, "rate_h": 10, "end_v": 44.0,
               "peukert": 1.15}],
  "temperatures": [{"unit": 102, "list": "user", "index": 3}],
  "discharge_threshold_a": 2, "discharge_rounds": 3, "autonomy_alarm_min": 60,
  "temp_coeff": 0.006,
  "test": {"allowed": true, "start": {"code": 110, "byte": 225}, "stop": {"code": 110, "byte": 0},
           "max_s": 3600, "max_ah": 0, "end_v": 0, "pass_ratio": 0.8,
           "schedule": "monthly 1 03:00"}})";

std::string Parse(const std::string& text, BatterySettings* out = nullptr) {
  BatterySettings s;
  std::string error;
  const bool ok = qmx::view::ParseBatterySettings(Doc(text), {102, 103}, &s, &error);
  if (ok && out != nullptr) *out = s;
  return ok ? "" : error;
}

// kGood with one member of a string, of the battery or of the test replaced.
std::string With(const std::string& from, const std::string& to) {
  std::string t = kGood;
  const size_t at = t.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return t.replace(at, from.size(), to);
}

TEST(BatterySettings, ReadsEveryMember) {
  BatterySettings s;
  ASSERT_EQ(Parse(kGood, &s), "");
  ASSERT_EQ(s.strings.size(), 1u);
  EXPECT_EQ(s.strings[0].name, "A");
  EXPECT_EQ(s.strings[0].current, (qmx::view::ValueRef{102, "m", 0}));
  EXPECT_TRUE(s.strings[0].discharge_negative);
  EXPECT_DOUBLE_EQ(s.strings[0].capacity_ah, 200);
  EXPECT_DOUBLE_EQ(s.strings[0].end_v, 44);
  EXPECT_DOUBLE_EQ(s.strings[0].peukert, 1.15);
  ASSERT_EQ(s.temperatures.size(), 1u);
  EXPECT_EQ(s.temperatures[0], (qmx::view::ValueRef{102, "user", 3}));
  EXPECT_DOUBLE_EQ(s.autonomy_alarm_min, 60);
  EXPECT_TRUE(s.test.allowed);
  EXPECT_EQ(s.test.start_code, 110);
  EXPECT_EQ(s.test.start_byte, 225);
  EXPECT_EQ(s.test.stop_byte, 0);
  EXPECT_EQ(s.test.schedule, "monthly 1 03:00");
  // Absent: the defaults; a minimal string.
  BatterySettings d;
  ASSERT_EQ(Parse(R"({"strings": [{"current": {"unit": 103, "list": "m", "index": 1},
      "discharge": "positive", "capacity_ah": 100, "end_v": 42}]})",
                  &d),
            "");
  EXPECT_EQ(d.strings[0].name, "String 1");
  EXPECT_FALSE(d.strings[0].discharge_negative);
  EXPECT_DOUBLE_EQ(d.strings[0].rate_h, 10);
  EXPECT_DOUBLE_EQ(d.strings[0].peukert, 1.0);
  EXPECT_FALSE(d.test.allowed);
  // No battery member at all: not configured.
  BatterySettings none;
  std::string error;
  EXPECT_TRUE(qmx::view::ParseBatterySettings(Json::Value(), {102}, &none, &error));
  EXPECT_FALSE(none.configured());
}

TEST(BatterySettings, EachErrorNamesItsMember) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {With("\"capacity_ah\": 200", "\"capacity_ah\": 0"), "battery.strings[0].capacity_ah:"},
      {With("\"capacity_ah\": 200", "\"capacity_ah\": \"200\""), "battery.strings[0].capacity_ah:"},
      {With("\"capacity_ah\": 200, ", ""), "battery.strings[0].capacity_ah: is required"},
      {With("\"peukert\": 1.15", "\"peukert\": 1.7"), "battery.strings[0].peukert:"},
      {With("\"peukert\": 1.15", "\"peukert\": 0.9"), "battery.strings[0].peukert:"},
      {With("\"end_v\": 44.0", "\"end_v\": 4.4"), "battery.strings[0].end_v:"},
      {With("\"rate_h\": 10", "\"rate_h\": -1"), "battery.strings[0].rate_h:"},
      {With("\"discharge\": \"negative\"", "\"discharge\": \"down\""),
       "battery.strings[0].discharge:"},
      {With("\"unit\": 102, \"list\": \"m\"", "\"unit\": 104, \"list\": \"m\""),
       "battery.strings[0].current.unit:"},
      {With("\"list\": \"m\", \"index\": 0", "\"list\": \"m\", \"index\": 2"),
       "battery.strings[0].current.index:"},
      {With("\"list\": \"m\", \"index\": 0", "\"list\": \"n\", \"index\": 0"),
       "battery.strings[0].current.list:"},
      {With("\"list\": \"user\", \"index\": 3", "\"list\": \"user\", \"index\": 27"),
       "battery.temperatures[0].index:"},
      {With("\"list\": \"user\", \"index\": 3", "\"list\": \"m\", \"index\": 0"),
       "battery.temperatures[0]: unit 102 m[0] is already given another battery role"},
      {With("\"name\": \"A\"", "\"name\": \"A\", \"colour\": 1"),
       "battery.strings[0] has an unknown member \"colour\""},
      {With("\"temp_coeff\": 0.006", "\"temp_coef\": 0.006"),
       "battery has an unknown member \"temp_coef\""},
      {With("\"discharge_rounds\": 3", "\"discharge_rounds\": 0"), "battery.discharge_rounds:"},
      {With("\"discharge_threshold_a\": 2", "\"discharge_threshold_a\": 0"),
       "battery.discharge_threshold_a:"},
      {With("\"autonomy_alarm_min\": 60", "\"autonomy_alarm_min\": -1"),
       "battery.autonomy_alarm_min:"},
      {With("\"start\": {\"code\": 110, \"byte\": 225}, ", ""),
       "battery.test.start: is required when tests are allowed"},
      {With("\"start\": {\"code\": 110, \"byte\": 225}", "\"start\": {\"code\": 111}"),
       "battery.test.start: code 111 is not a control command"},
      {With("\"stop\": {\"code\": 110, \"byte\": 0}", "\"stop\": {\"code\": 110, \"byte\": 256}"),
       "battery.test.stop:"},
      {With("\"stop\": {\"code\": 110, \"byte\": 0}", "\"stop\": {\"code\": 100, \"byte\": 1}"),
       "battery.test.stop: code 100 takes no byte"},
      {With("\"max_s\": 3600", "\"max_s\": 10"), "battery.test.max_s:"},
      {With("\"pass_ratio\": 0.8", "\"pass_ratio\": 1.5"), "battery.test.pass_ratio:"},
      {With("\"end_v\": 0,", "\"end_v\": 5,"), "battery.test.end_v:"},
      {With("\"monthly 1 03:00\"", "\"monthly 29 03:00\""), "battery.test.schedule:"},
      {With("\"monthly 1 03:00\"", "\"weekly funday 03:00\""), "battery.test.schedule:"},
      {With("\"monthly 1 03:00\"", "\"daily 24:00\""), "battery.test.schedule:"},
      {With("\"monthly 1 03:00\"", "\"hourly\""), "battery.test.schedule:"},
      {With("\"allowed\": true", "\"allowed\": false"), "battery.test.schedule: needs"},
      {R"({"strings": []})", "battery.strings:"},
      {R"([1])", "battery: must be an object"},
  };
  for (const auto& [text, want] : cases) {
    const std::string error = Parse(text);
    EXPECT_EQ(error.rfind(want, 0), 0u) << "got \"" << error << "\" want \"" << want << "\"";
  }
  // Each schedule form is taken.
  for (const char* ok : {"\"daily 3:30\"", "\"weekly sun 23:59\"", "\"monthly 28 00:00\""})
    EXPECT_EQ(Parse(With("\"monthly 1 03:00\"", ok)), "") << ok;
}

// --- The engine, driven round by round.

BatterySettings OneString(double capacity = 200, double peukert = 1.0) {
  BatterySettings s;
  qmx::view::BatteryString b;
  b.name = "A";
  b.capacity_ah = capacity;
  b.rate_h = 10;
  b.end_v = 42;
  b.peukert = peukert;
  s.strings.push_back(b);
  s.discharge_threshold_a = 2;
  s.discharge_rounds = 3;
  return s;
}

struct Rig {
  BatteryEngine engine;
  int64_t t = 1'760'000'000'000;
  std::vector<BatteryEngine::Step> steps;
  explicit Rig(BatterySettings s) : engine(1, std::move(s)) {}
  // A live round `dt_ms` after the last one.
  RoundInputs Base(int64_t dt_ms = 2000) {
    t += dt_ms;
    RoundInputs in;
    in.time_ms = t;
    in.live = true;
    in.bus_v = 53.5;
    in.load_a = 20;
    in.rectifier_a = 20;
    in.rectifier_v = 53.5;
    in.local_day = 20251010;
    in.local_minute = 600;
    in.string_a = {0.0};
    in.temps_c = {25.0};
    return in;
  }
  BatteryEngine::Step Run(const RoundInputs& in) {
    steps.push_back(engine.Round(in));
    return steps.back();
  }
};

TEST(BatteryCounters, TrapezoidMatchesTheExactIntegralOfARamp) {
  Rig r(OneString());
  // Load current ramps 10 → 40 A over an hour at a fixed 50 V; rounds at
  // uneven times. The exact energy: 50 V × 25 A mean × 1 h = 1.25 kWh; the
  // trapezoid is exact on a straight line whatever the spacing.
  const int64_t t0 = r.t + 2000;
  int k = 0;
  for (int64_t dt = 2000; r.t - t0 < 3'600'000;
       dt = std::min<int64_t>(1000 + (k++ % 7) * 900, 3'600'000 - (r.t - t0))) {
    RoundInputs in = r.Base(dt);
    const double f = static_cast<double>(r.t - t0) / 3.6e6;
    in.bus_v = 50;
    in.load_a = 10 + 30 * f;
    in.rectifier_v = 50;
    in.rectifier_a = *in.load_a;
    r.Run(in);
  }
  EXPECT_NEAR(r.engine.counters().load_kwh, 1.25, 1e-9);
  EXPECT_NEAR(r.engine.counters().rectifier_kwh, 1.25, 1e-9);
  EXPECT_EQ(r.engine.counters().time_ms, t0 + 3'600'000);
  ASSERT_TRUE(r.engine.PowerW());
  EXPECT_NEAR(*r.engine.PowerW(), 50 * 40, 1e-9);
}

TEST(BatteryCounters, GapsAndLostRoundsAreNotBridged) {
  Rig r(OneString());
  r.Run(r.Base());
  r.Run(r.Base(10'000));  // 10 s at 53.5 V × 20 A
  const double ten_s = 53.5 * 20 * 10 / 3.6e6;
  EXPECT_NEAR(r.engine.counters().load_kwh, ten_s, 1e-12);
  r.Run(r.Base(qmx::view::kMaxGapMs + 1));  // a stopped service: nothing counted
  EXPECT_NEAR(r.engine.counters().load_kwh, ten_s, 1e-12);
  RoundInputs lost = r.Base(10'000);
  lost.live = false;
  r.Run(lost);
  r.Run(r.Base(10'000));  // both intervals touch the lost round
  EXPECT_NEAR(r.engine.counters().load_kwh, ten_s, 1e-12);
  RoundInputs missing = r.Base(10'000);
  missing.load_a.reset();
  missing.string_a = {std::nullopt};
  r.Run(missing);
  RoundInputs bad = r.Base(10'000);
  bad.bus_v = NAN;
  r.Run(bad);
  r.Run(r.Base(10'000));
  EXPECT_NEAR(r.engine.counters().load_kwh, ten_s, 1e-12);
  // A clock stepping back counts nothing and spoils nothing.
  r.Run(r.Base(-5'000));
  r.Run(r.Base(10'000));
  EXPECT_NEAR(r.engine.counters().load_kwh, 2 * ten_s, 1e-12);
}

TEST(BatteryCounters, ChargeAndDischargeAreCountedApartAndOnlyGrow) {
  Rig r(OneString());
  RoundInputs a = r.Base();
  a.string_a = {-10.0};
  r.Run(a);
  RoundInputs b = r.Base(36'000);  // -10 → +10 A over 36 s: 0.05 Ah each way
  b.string_a = {10.0};
  r.Run(b);
  const auto& c = r.engine.counters();
  // The positive parts' trapezoids: (10 + 0)/2 × 0.01 h each.
  EXPECT_NEAR(c.charge_ah, 0.05, 1e-12);
  EXPECT_NEAR(c.discharge_ah, 0.05, 1e-12);
  EXPECT_NEAR(c.discharge_kwh, 0.05 * 53.5 / 1000, 1e-12);
  double last = 0;
  for (int i = 0; i < 20; ++i) {
    RoundInputs in = r.Base();
    in.load_a = i % 2 ? -5.0 : 5.0;  // a negative reading is no negative energy
    r.Run(in);
    EXPECT_GE(r.engine.counters().load_kwh, last);
    last = r.engine.counters().load_kwh;
  }
}

TEST(BatteryCounters, SurviveAPowerCutAndCountTodayAndThisMonth) {
  BatteryMemory saved;
  double before = 0;
  {
    Rig r(OneString());
    RoundInputs in = r.Base();
    in.local_day = 20251031;
    r.Run(in);
    in = r.Base(30'000);
    in.local_day = 20251031;
    r.Run(in);
    in = r.Base(30'000);  // the first round of a new day and month
    in.local_day = 20251101;
    r.Run(in);
    before = r.engine.counters().load_kwh;
    in = r.Base(30'000);
    in.local_day = 20251101;
    r.Run(in);
    EXPECT_NEAR(r.engine.Today().load_kwh, before / 2, 1e-12);
    EXPECT_NEAR(r.engine.ThisMonth().load_kwh, before / 2, 1e-12);
    // Memory goes through its JSON form, as the history keeps it.
    BatteryMemory m = r.engine.Memory();
    ASSERT_TRUE(qmx::view::ParseBatteryMemory(
        Doc(qmx::json::Compact(qmx::view::BatteryMemoryJson(m))), &saved));
    before = r.engine.counters().load_kwh;
  }
  Rig again(OneString());
  again.engine.Restore(saved);
  EXPECT_DOUBLE_EQ(again.engine.counters().load_kwh, before);
  again.t += 3'600'000;  // an hour without power: not counted
  RoundInputs in = again.Base();
  in.local_day = 20251101;
  again.Run(in);
  EXPECT_DOUBLE_EQ(again.engine.counters().load_kwh, before);
  in = again.Base(30'000);
  in.local_day = 20251101;
  again.Run(in);
  EXPECT_NEAR(again.engine.counters().load_kwh, before + 53.5 * 20 * 30 / 3.6e6, 1e-12);
  EXPECT_NEAR(again.engine.Today().load_kwh, 2 * before / 3, 1e-12);
  // Restoring an older memory never takes a counter back.
  const double now = again.engine.counters().load_kwh;
  again.engine.Restore(saved);
  EXPECT_DOUBLE_EQ(again.engine.counters().load_kwh, now);
}

TEST(BatteryMemoryJson, MalformedMemoryIsRefusedWithoutThrowing) {
  Rig r(OneString());
  r.Run(r.Base());
  BatteryMemory good = r.engine.Memory();
  const Json::Value j = qmx::view::BatteryMemoryJson(good);
  BatteryMemory out;
  ASSERT_TRUE(qmx::view::ParseBatteryMemory(j, &out));
  out.counters.load_kwh = 123;
  const BatteryMemory kept = out;
  std::vector<Json::Value> bad;
  bad.push_back(Json::Value(Json::arrayValue));
  bad.push_back(Json::Value("memory"));
  Json::Value x = j;
  x["counters"]["load_kwh"] = -1;
  bad.push_back(x);
  x = j;
  x["counters"]["charge_ah"] = "many";
  bad.push_back(x);
  x = j;
  x["counters"] = Json::Value(Json::arrayValue);
  bad.push_back(x);
  x = j;
  x["soc"] = 1.5;
  bad.push_back(x);
  x = j;
  x["day"] = 1e30;
  bad.push_back(x);
  x = j;
  x["last_test"] = -4;
  bad.push_back(x);
  x = j;
  x["open"] = Json::Value(Json::objectValue);
  bad.push_back(x);
  x = j;
  x.removeMember("counters");
  bad.push_back(x);
  for (const Json::Value& v : bad) {
    EXPECT_FALSE(qmx::view::ParseBatteryMemory(v, &out)) << qmx::json::Compact(v);
    EXPECT_EQ(out.counters.load_kwh, kept.counters.load_kwh);
  }
}

// --- Discharges

TEST(BatteryDischarge, StartsAndEndsAfterTheDebounceWithItsCause) {
  Rig r(OneString());
  r.Run(r.Base());
  // Two rounds beyond the threshold: a blip, no record.
  for (int i = 0; i < 2; ++i) {
    RoundInputs in = r.Base();
    in.string_a = {5.0};
    EXPECT_FALSE(r.Run(in).started);
  }
  RoundInputs calm = r.Base();
  r.Run(calm);
  // Three in a row with mains present: a rectifier shortfall, from the first.
  const int64_t first = r.t + 2000;
  for (int i = 0; i < 3; ++i) {
    RoundInputs in = r.Base();
    in.string_a = {10.0};
    in.bus_v = 50.0 - i;
    in.temps_c = {20.0 + i};
    const auto st = r.Run(in);
    EXPECT_EQ(st.started.has_value(), i == 2);
    if (st.started) {
      EXPECT_EQ(st.started->cause, "rectifier shortfall");
      EXPECT_EQ(st.started->start_ms, first);
    }
  }
  ASSERT_TRUE(r.engine.Discharging());
  // More discharge, then charging: ends after three rounds of charge.
  RoundInputs deep = r.Base();
  deep.string_a = {10.0};
  deep.bus_v = 46.0;
  r.Run(deep);
  const int64_t end = r.t + 2000;
  for (int i = 0; i < 3; ++i) {
    RoundInputs in = r.Base();
    in.string_a = {-20.0};
    in.bus_v = 53.0;
    const auto st = r.Run(in);
    EXPECT_EQ(st.ended.has_value(), i == 2);
    if (st.ended) {
      EXPECT_EQ(st.ended->end_ms, end);
      ASSERT_TRUE(st.ended->min_v && st.ended->end_v && st.ended->min_temp_c);
      EXPECT_DOUBLE_EQ(*st.ended->min_v, 46.0);
      EXPECT_DOUBLE_EQ(*st.ended->end_v, 46.0);  // the last voltage while discharging
      EXPECT_DOUBLE_EQ(*st.ended->min_temp_c, 20.0);
      // 0 → 10 A, 10 A for 3 intervals, 10 → 0 A (the discharge part of
      // the step to −20 A), 2 s each.
      EXPECT_NEAR(st.ended->ah, (5 + 3 * 10 + 5) * 2 / 3600.0, 1e-9);
    }
  }
  EXPECT_FALSE(r.engine.Discharging());
}

TEST(BatteryDischarge, MainsLossStartsAtOnceAndLastsWhileMainsIsOut) {
  Rig r(OneString());
  r.Run(r.Base());
  RoundInputs in = r.Base();
  in.mains_lost = true;
  in.string_a = {30.0};
  auto st = r.Run(in);
  ASSERT_TRUE(st.started);
  EXPECT_EQ(st.started->cause, "mains loss");
  // A small current while mains is still out does not end it.
  for (int i = 0; i < 5; ++i) {
    RoundInputs low = r.Base();
    low.mains_lost = true;
    low.string_a = {1.0};
    EXPECT_FALSE(r.Run(low).ended);
  }
  // Lost rounds say nothing either way.
  for (int i = 0; i < 5; ++i) {
    RoundInputs lost = r.Base();
    lost.live = false;
    lost.string_a = {-50.0};
    EXPECT_FALSE(r.Run(lost).ended);
  }
  // Mains back, idle strings: over.
  int ended = 0;
  for (int i = 0; i < 3; ++i) ended += r.Run(r.Base()).ended.has_value();
  EXPECT_EQ(ended, 1);

  // Mains lost during the debounce makes the cause a mains loss.
  Rig d(OneString());
  d.Run(d.Base());
  RoundInputs x = d.Base();
  x.string_a = {10.0};
  d.Run(x);
  x = d.Base();
  x.string_a = {0.5};  // under the threshold: the run starts again
  d.Run(x);
  x = d.Base();
  x.string_a = {10.0};
  d.Run(x);
  x = d.Base();
  x.string_a = {10.0};
  x.mains_lost = true;
  st = d.Run(x);
  ASSERT_TRUE(st.started);
  EXPECT_EQ(st.started->cause, "mains loss");
}

TEST(BatteryDischarge, AnOpenDischargeGoesOnAcrossARestart) {
  BatteryMemory m;
  {
    Rig r(OneString());
    r.Run(r.Base());
    for (int i = 0; i < 10; ++i) {
      RoundInputs in = r.Base();
      in.mains_lost = true;
      in.string_a = {36.0};
      in.bus_v = 48.0;
      r.Run(in);
    }
    m = r.engine.Memory();
  }
  ASSERT_TRUE(m.open);
  const double ah = m.open->ah;
  EXPECT_NEAR(ah, (18 + 9 * 36) * 2 / 3600.0, 1e-9);
  Rig r(OneString());
  r.engine.Restore(m);
  ASSERT_TRUE(r.engine.Discharging());
  RoundInputs in = r.Base(3000);
  in.mains_lost = true;
  in.string_a = {36.0};
  EXPECT_FALSE(r.Run(in).started);
  in = r.Base(3600);
  in.mains_lost = true;
  in.string_a = {36.0};
  r.Run(in);
  EXPECT_NEAR(r.engine.Discharging()->ah, ah + 36 * 3600 / 3.6e6, 1e-9);
}

// --- State of charge and autonomy

TEST(BatteryAutonomy, PeukertAndTemperatureShortenTheTime) {
  // On mains, projected at the load: 200 Ah C10 at 20 A is 10 h at 25 °C.
  Rig r(OneString(200, 1.0));
  r.Run(r.Base());
  auto a = r.engine.Autonomy();
  ASSERT_TRUE(a.valid) << a.why;
  EXPECT_FALSE(a.discharging);
  EXPECT_EQ(a.basis, "charge");
  EXPECT_NEAR(a.minutes, 600, 1e-6);
  EXPECT_LE(a.low_min, a.minutes);
  EXPECT_GE(a.high_min, a.minutes);
  // Peukert 1.2 at twice the rated current: 10 × 0.5^1.2 h.
  Rig p(OneString(200, 1.2));
  RoundInputs in = p.Base();
  in.load_a = 40;
  p.Run(in);
  EXPECT_NEAR(p.engine.Autonomy().minutes, 600 * std::pow(0.5, 1.2), 1e-6);
  // 15 °C: 6 % less capacity; no credit above 25 °C.
  Rig c(OneString(200, 1.0));
  in = c.Base();
  in.temps_c = {15.0, 30.0};
  c.Run(in);
  EXPECT_NEAR(c.engine.Autonomy().minutes, 600 * 0.94, 1e-6);
  ASSERT_TRUE(c.engine.Autonomy().temp_c);
  EXPECT_DOUBLE_EQ(*c.engine.Autonomy().temp_c, 15.0);
  Rig w(OneString(200, 1.0));
  in = w.Base();
  in.temps_c = {35.0};
  w.Run(in);
  EXPECT_NEAR(w.engine.Autonomy().minutes, 600, 1e-6);
}

TEST(BatteryAutonomy, CountsChargeOutAndBackAndSaysWhatIsMissing) {
  Rig r(OneString(100, 1.0));
  r.Run(r.Base());
  // 50 Ah out at 10 A (the rated current): half the charge.
  for (int i = 0; i < 5 * 3600 / 10; ++i) {
    RoundInputs in = r.Base(10'000);
    in.string_a = {10.0};
    in.mains_lost = true;
    r.Run(in);
  }
  EXPECT_NEAR(r.engine.soc(), 0.5, 1e-3);
  auto a = r.engine.Autonomy();
  ASSERT_TRUE(a.valid);
  EXPECT_TRUE(a.discharging);
  EXPECT_NEAR(a.load_a, 10, 1e-9);
  // 20 Ah back at 95 %: 19 Ah.
  for (int i = 0; i < 3600 / 10; ++i) {
    RoundInputs in = r.Base(10'000);
    in.string_a = {-20.0};
    r.Run(in);
  }
  EXPECT_NEAR(r.engine.soc(), 0.69, 2e-3);
  // Half an hour on float with mains: full again.
  for (int i = 0; i <= 1800 / 10; ++i) {
    RoundInputs in = r.Base(10'000);
    in.string_a = {-0.2};
    r.Run(in);
  }
  EXPECT_DOUBLE_EQ(r.engine.soc(), 1.0);

  RoundInputs in = r.Base();
  in.bus_v.reset();
  r.Run(in);
  EXPECT_FALSE(r.engine.Autonomy().valid);
  EXPECT_EQ(r.engine.Autonomy().why, "no bus voltage reading");
  in = r.Base();
  in.load_a.reset();
  in.rectifier_a.reset();
  r.Run(in);
  EXPECT_EQ(r.engine.Autonomy().why, "no load current reading");
  in = r.Base();
  in.live = false;
  r.Run(in);
  EXPECT_FALSE(r.engine.Autonomy().valid);
  const Json::Value j = qmx::view::AutonomyJson(r.engine.Autonomy());
  EXPECT_TRUE(j["minutes"].isNull());
  EXPECT_FALSE(j["why"].asString().empty());
  BatteryEngine none(1, BatterySettings{});
  EXPECT_FALSE(none.Autonomy().valid);
}

TEST(BatteryAutonomy, AlarmBelowTheMinimumWithHysteresis) {
  BatterySettings s = OneString(200, 1.0);
  s.autonomy_alarm_min = 300;
  Rig r(s);
  auto at = [&](double load) {
    RoundInputs in = r.Base();
    in.load_a = load;
    return r.Run(in).autonomy_low;
  };
  EXPECT_FALSE(at(20));  // 600 min
  EXPECT_TRUE(at(41));   // 292 min
  EXPECT_TRUE(at(39));   // 307 min: under 330, still on
  EXPECT_FALSE(at(36));  // 333 min: off
  EXPECT_TRUE(at(41));
  RoundInputs lost = r.Base();
  lost.live = false;
  EXPECT_TRUE(r.Run(lost).autonomy_low);  // held while the controller is lost
  RoundInputs blind = r.Base();
  blind.load_a.reset();
  blind.rectifier_a.reset();
  EXPECT_FALSE(r.Run(blind).autonomy_low);  // no estimate, no alarm
}

// --- The battery test

BatterySettings Testable() {
  BatterySettings s = OneString(200, 1.0);
  s.autonomy_alarm_min = 60;
  s.test.allowed = true;
  s.test.start_code = 110;
  s.test.start_byte = 225;
  s.test.stop_code = 110;
  s.test.stop_byte = 0;
  s.test.max_s = 600;
  return s;
}

TEST(BatteryTest, EachInterlockRefusesTheStart) {
  BatteryEngine::Step::Command cmd;
  {
    BatterySettings s = Testable();
    s.test.allowed = false;
    Rig r(s);
    r.Run(r.Base());
    EXPECT_EQ(r.engine.StartTest(r.t, "ann", &cmd), "battery tests are not allowed on this device");
  }
  Rig r(Testable());
  EXPECT_EQ(r.engine.StartTest(r.t, "ann", &cmd), "the controller is not answering");
  RoundInputs in = r.Base();
  in.live = false;
  r.Run(in);
  EXPECT_EQ(r.engine.StartTest(r.t, "ann", &cmd), "the controller is not answering");
  in = r.Base();
  in.mains_or_rectifier_alarm = true;
  r.Run(in);
  EXPECT_EQ(r.engine.StartTest(r.t, "ann", &cmd), "mains or rectifier alarms are active");
  in = r.Base();
  in.mains_lost = true;
  r.Run(in);
  EXPECT_EQ(r.engine.StartTest(r.t, "ann", &cmd), "mains is lost");
  for (int i = 0; i < 3; ++i) {
    in = r.Base();
    in.string_a = {10.0};
    r.Run(in);
  }
  EXPECT_EQ(r.engine.StartTest(r.t, "ann", &cmd), "a battery discharge is going on");
  for (int i = 0; i < 3; ++i) r.Run(r.Base());
  in = r.Base();
  in.load_a = 250;  // 48 min at this load
  r.Run(in);
  EXPECT_EQ(r.engine.StartTest(r.t, "ann", &cmd).rfind("the autonomy (48 min) is below", 0), 0u);
  in = r.Base();
  in.load_a.reset();
  in.rectifier_a.reset();
  r.Run(in);
  EXPECT_EQ(r.engine.StartTest(r.t, "ann", &cmd),
            "the autonomy is unknown: no load current reading");
  EXPECT_EQ(r.engine.Test().phase, qmx::view::BatteryTestState::Phase::kIdle);
  r.Run(r.Base());
  EXPECT_EQ(r.engine.StartTest(r.t, "ann", &cmd), "");
  EXPECT_EQ(cmd.code, 110);
  EXPECT_EQ(cmd.byte, 225);
  EXPECT_EQ(r.engine.StartTest(r.t, "bob", &cmd), "a battery test is already running");
  const auto t = r.engine.Test();
  EXPECT_EQ(t.phase, qmx::view::BatteryTestState::Phase::kRunning);
  EXPECT_EQ(t.started_by, "ann");
  // The test's record opens at once and comes with the next round.
  auto st = r.Run(r.Base());
  ASSERT_TRUE(st.started);
  EXPECT_EQ(st.started->cause, "test");
}

// A test started on a healthy plant, then one round with `spoil` applied.
std::optional<qmx::view::DischargeRecord> AbortBy(void (*spoil)(RoundInputs&), std::string* why) {
  Rig r(Testable());
  r.Run(r.Base());
  BatteryEngine::Step::Command cmd;
  EXPECT_EQ(r.engine.StartTest(r.t, "ann", &cmd), "");
  RoundInputs in = r.Base();
  in.string_a = {20.0};
  r.Run(in);
  in = r.Base();
  in.string_a = {20.0};
  spoil(in);
  const auto st = r.Run(in);
  EXPECT_EQ(st.commands.size(), 1u);
  if (!st.commands.empty()) {
    EXPECT_EQ(st.commands[0].byte, 0);
    *why = st.commands[0].why;
  }
  EXPECT_EQ(r.engine.Test().phase, qmx::view::BatteryTestState::Phase::kIdle);
  return st.ended;
}

TEST(BatteryTest, EachInterlockAbortsARunningTest) {
  std::string why;
  auto rec = AbortBy([](RoundInputs& in) { in.live = false; }, &why);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->result, "aborted: controller lost");
  EXPECT_EQ(rec->cause, "test");
  EXPECT_EQ(why, "battery test abort: controller lost");
  rec = AbortBy([](RoundInputs& in) { in.mains_lost = true; }, &why);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->result, "aborted: mains lost");
  rec = AbortBy([](RoundInputs& in) { in.mains_or_rectifier_alarm = true; }, &why);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->result, "aborted: mains or rectifier alarm");
  rec = AbortBy([](RoundInputs& in) { in.string_a = {250.0}; }, &why);  // 48 min left
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->result.rfind("aborted: autonomy 48 min below the minimum 60 min", 0), 0u);
  // On demand.
  Rig r(Testable());
  r.Run(r.Base());
  BatteryEngine::Step::Command cmd;
  EXPECT_FALSE(r.engine.AbortTest(r.t, "operator", &cmd));
  ASSERT_EQ(r.engine.StartTest(r.t, "ann", &cmd), "");
  ASSERT_TRUE(r.engine.AbortTest(r.t + 500, "operator", &cmd));
  EXPECT_EQ(cmd.why, "battery test abort: operator");
  const auto st = r.Run(r.Base());
  ASSERT_TRUE(st.ended);
  EXPECT_EQ(st.ended->result, "aborted: operator");
}

// A test at `current` A until it ends; its record.
qmx::view::DischargeRecord RunTest(BatterySettings s, double current, double v_drop_per_round) {
  Rig r(std::move(s));
  r.Run(r.Base());
  BatteryEngine::Step::Command cmd;
  EXPECT_EQ(r.engine.StartTest(r.t, "ann", &cmd), "");
  double v = 50;
  for (int i = 0; i < 100000; ++i) {
    RoundInputs in = r.Base(10'000);
    in.string_a = {current};
    in.bus_v = v;
    v -= v_drop_per_round;
    const auto st = r.Run(in);
    if (st.ended) {
      EXPECT_EQ(st.commands.size(), 1u);
      return *st.ended;
    }
  }
  ADD_FAILURE() << "the test never ended";
  return {};
}

TEST(BatteryTest, EndsOnTimeAhOrVoltageAndJudgesAgainstTheCapacity) {
  // Duration: 600 s at 20 A, 3.33 Ah expected and delivered: pass.
  auto rec = RunTest(Testable(), 20, 0);
  EXPECT_EQ(rec.result, "pass");
  EXPECT_NEAR(rec.expected_ah, 20 * 600 / 3600.0, 0.2);
  // Ah: 2 Ah.
  BatterySettings s = Testable();
  s.test.max_ah = 2;
  rec = RunTest(s, 20, 0);
  EXPECT_EQ(rec.result, "pass");
  EXPECT_NEAR(rec.ah, 2, 20 * 10 / 3600.0 + 1e-9);
  // End voltage reached after 100 s of a planned 600: 1/6 of the promise.
  s = Testable();
  s.test.end_v = 45;
  rec = RunTest(s, 20, 0.5);
  EXPECT_EQ(rec.result, "fail");
  ASSERT_TRUE(rec.end_v);
  EXPECT_LE(*rec.end_v, 45);
  EXPECT_NEAR(rec.expected_ah, 20 * 600 / 3600.0, 0.2);
  // A test the rectifiers ignored (no current): not judged a pass.
  rec = RunTest(Testable(), 0, 0);
  EXPECT_EQ(rec.result, "aborted: the strings delivered no current");
}

TEST(BatteryTest, ATestGoingOnAtARestartIsEndedAndTheRectifiersReturnToFloat) {
  BatteryMemory m;
  {
    Rig r(Testable());
    r.Run(r.Base());
    BatteryEngine::Step::Command cmd;
    ASSERT_EQ(r.engine.StartTest(r.t, "ann", &cmd), "");
    r.Run(r.Base());
    m = r.engine.Memory();
  }
  ASSERT_TRUE(m.open);
  Rig r(Testable());
  r.engine.Restore(m);
  const auto st = r.Run(r.Base());
  ASSERT_TRUE(st.ended);
  EXPECT_EQ(st.ended->result, "aborted: service restarted");
  ASSERT_EQ(st.commands.size(), 1u);
  EXPECT_EQ(st.commands[0].byte, 0);
}

TEST(BatteryTest, TheScheduleStartsOncePerSlotAndDoesNotRetryARefusal) {
  BatterySettings s = Testable();
  s.test.schedule = "weekly wed 03:00";
  Rig r(s);
  // Tuesday 23:58 onward, a round a minute.
  r.t = 1'760'000'000'000 - 1'760'000'000'000 % 60000;
  int weekday = 1, minute = 23 * 60 + 58;
  auto tick = [&](bool alarm) {
    RoundInputs in = r.Base(60'000);
    if (++minute == 1440) {
      minute = 0;
      weekday = (weekday + 1) % 7;
    }
    in.local_minute = minute;
    in.local_weekday = weekday;
    in.mains_or_rectifier_alarm = alarm;
    return r.Run(in);
  };
  int starts = 0;
  // 03:00 Wednesday comes with an alarm: refused, not retried at 03:01.
  for (int i = 0; i < 3 * 60 + 10; ++i) {
    const bool at_slot = weekday == 2 && minute + 1 == 180;
    const auto st = tick(at_slot);
    starts += st.commands.size();
    if (weekday == 2 && minute == 180)
      EXPECT_EQ(st.test_refused, "mains or rectifier alarms are active");
  }
  EXPECT_EQ(starts, 0);
  EXPECT_EQ(r.engine.Test().phase, qmx::view::BatteryTestState::Phase::kIdle);
  // The next slot is a week later (the last round was at 03:08).
  EXPECT_EQ(r.engine.Test().next_scheduled_ms, r.t - 8 * 60'000 + 7 * 24 * 3'600'000);
  // A week on: it starts at 03:00 once, by the schedule.
  while (!(weekday == 2 && minute == 179)) tick(false);
  auto st = tick(false);
  ASSERT_EQ(st.commands.size(), 1u);
  EXPECT_EQ(st.commands[0].byte, 225);
  ASSERT_TRUE(st.started);
  EXPECT_EQ(r.engine.Test().started_by, "schedule");
  // It ends on its 600 s with one stop command, and does not start again
  // in the slot's hour.
  std::vector<BatteryEngine::Step::Command> sent;
  for (int i = 0; i < 90; ++i)
    for (const auto& c : tick(false).commands) sent.push_back(c);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].why, "battery test end: 600 s");
  EXPECT_EQ(r.engine.Test().phase, qmx::view::BatteryTestState::Phase::kIdle);
  // The strings never discharged in these rounds: the test is not judged.
  EXPECT_EQ(r.engine.Test().last_result, "aborted: the strings delivered no current");
}

TEST(BatteryJson, FormsSayNullForNoValueAndTimesInSeconds) {
  qmx::view::DischargeRecord r;
  r.device = 3;
  r.start_ms = 1'760'000'000'500;
  r.cause = "mains loss";
  r.ah = 12.5;
  const Json::Value j = qmx::view::DischargeJson(r);
  EXPECT_EQ(j["start"].asInt64(), 1'760'000'000);
  EXPECT_TRUE(j["end"].isNull());
  EXPECT_TRUE(j["min_v"].isNull());
  EXPECT_EQ(j["cause"].asString(), "mains loss");
  EXPECT_EQ(j.getMemberNames().size(), 12u);
  qmx::view::EnergyCounters c;
  EXPECT_TRUE(qmx::view::CountersJson(c)["time"].isNull());
  EXPECT_EQ(qmx::view::CountersJson(c).getMemberNames().size(), 7u);
  EXPECT_EQ(qmx::view::AutonomyJson({}).getMemberNames().size(), 10u);
}

}  // namespace
