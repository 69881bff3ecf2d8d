// The console's round output with the device's energy and battery figures:
// JSON lines carry them as the API's shape, the table as one line, and a
// round without them is printed as before.
#include "report.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "input/checked_json.h"

namespace {

using qmx::view::BatteryView;

// What `Output` writes, read back.
struct Captured {
  FILE* f = std::tmpfile();
  ~Captured() {
    if (f != nullptr) std::fclose(f);
  }
  std::string Text() {
    std::fflush(f);
    std::rewind(f);
    std::string out;
    char buf[512];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    return out;
  }
};

qmx::view::RoundView Round() {
  qmx::view::RoundView r;
  r.report.device_id = 100;
  r.report.round = 7;
  r.report.time = 1700000000;
  r.info.name = "power-1";
  return r;
}

BatteryView Battery() {
  BatteryView b;
  b.configured = true;
  b.total.load_kwh = 12.5;
  b.total.rectifier_kwh = 13.25;
  b.total.charge_ah = 4;
  b.total.discharge_ah = 30.5;
  b.total.time_ms = 1700000000000;
  b.power_w = 2675;
  b.soc = 0.625;
  b.autonomy.valid = true;
  b.autonomy.discharging = true;
  b.autonomy.minutes = 95.5;
  b.autonomy.low_min = 80;
  b.autonomy.high_min = 110;
  b.autonomy_low = true;
  qmx::view::DischargeRecord d;
  d.cause = "mains loss";
  b.discharging = d;
  return b;
}

Json::Value Parse(const std::string& line) {
  Json::Value v;
  std::string errors;
  std::istringstream in(line);
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, &errors)) << line;
  return v;
}

}  // namespace

TEST(ConsoleRound, JsonLinesCarryTheBatteryAsTheApiShapesIt) {
  Captured with, without;
  ASSERT_NE(with.f, nullptr);
  ASSERT_NE(without.f, nullptr);
  k417t_run::Output(with.f, true, false).Round(Round(), Battery());
  k417t_run::Output(without.f, true, false).Round(Round());
  const Json::Value a = Parse(with.Text());
  const Json::Value b = Parse(without.Text());
  ASSERT_TRUE(a.isMember("battery"));
  EXPECT_EQ(qmx::json::Compact(a["battery"]),
            qmx::json::Compact(qmx::view::BatteryJson(Battery())));
  // Otherwise the same line.
  Json::Value rest = a;
  rest.removeMember("battery");
  EXPECT_EQ(qmx::json::Compact(rest), qmx::json::Compact(b));
  EXPECT_FALSE(b.isMember("battery"));
}

TEST(ConsoleRound, TableShowsTheFiguresWhereThereAreSome) {
  Captured full, counters, nothing;
  k417t_run::Output(full.f, false, false).Round(Round(), Battery());
  const std::string text = full.Text();
  for (const char* want :
       {"energy: load 12.50 kWh, rectifiers 13.25 kWh, power 2675 W; battery: charge 62 %, in 4.0 "
        "Ah, out 30.5 Ah, autonomy estimate 96 min (80-110), AUTONOMY LOW, discharging (mains "
        "loss)\n"})
    EXPECT_NE(text.find(want), std::string::npos) << text;

  // No strings named: the counters and the power alone.
  BatteryView plain = Battery();
  plain.configured = false;
  k417t_run::Output(counters.f, false, false).Round(Round(), plain);
  const std::string c = counters.Text();
  EXPECT_NE(c.find("  energy: load 12.50 kWh, rectifiers 13.25 kWh, power 2675 W\n"),
            std::string::npos)
      << c;
  EXPECT_EQ(c.find("battery:"), std::string::npos) << c;

  // Nothing counted yet and no strings: no line at all.
  k417t_run::Output(nothing.f, false, false).Round(Round(), BatteryView{});
  EXPECT_EQ(nothing.Text().find("energy"), std::string::npos);
}
