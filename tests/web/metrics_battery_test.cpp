// /metrics' energy and battery families from devices built by hand: which
// device has which sample, counters typed as counters, and the text as
// Prometheus' own linter reads it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "web/metrics.h"

namespace {

using qmx::view::BatteryTestState;
using qmx::view::DeviceView;

DeviceView Device(unsigned int id, bool answering) {
  DeviceView d;
  d.id = id;
  d.name = "dev-" + std::to_string(id);
  d.line = "/dev/ttyS" + std::to_string(id);
  d.answering = answering;
  d.stale = !answering;
  d.battery.total.load_kwh = 12.5;
  d.battery.total.rectifier_kwh = 13.25;
  d.battery.total.charge_ah = 4;
  d.battery.total.discharge_ah = 30.5;
  d.battery.total.charge_kwh = 0.2;
  d.battery.total.discharge_kwh = 1.5;
  d.battery.power_w = 2675;
  return d;
}

// Samples by series (name and labels) and the TYPE of each family.
struct Scrape {
  std::map<std::string, std::string> samples;
  std::map<std::string, std::string> types;
};

Scrape Read(const std::string& text) {
  Scrape s;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("# TYPE ", 0) == 0) {
      std::istringstream w(line.substr(7));
      std::string name, type;
      w >> name >> type;
      s.types[name] = type;
    } else if (!line.empty() && line[0] != '#') {
      const size_t sp = line.rfind(' ');
      s.samples[line.substr(0, sp)] = line.substr(sp + 1);
    }
  }
  return s;
}

// Where scripts/install-deps.sh unpacks it, else on the PATH.
std::string Promtool() {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(std::string(K417T_BUILD_TOOLS) + ":" + (path != nullptr ? path : ""));
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && std::filesystem::exists(dir + "/promtool")) return dir + "/promtool";
  return "";
}

}  // namespace

// Three devices: one with battery strings discharging under a test, its
// autonomy estimated; one with strings and no estimate; one with none, lost.
TEST(MetricsBattery, CountersForEveryDeviceBatteryFiguresOnlyWhereThereAreSome) {
  DeviceView a = Device(1, true);
  a.battery.configured = true;
  a.battery.soc = 0.625;
  a.battery.autonomy.valid = true;
  a.battery.autonomy.minutes = 95.5;
  a.battery.autonomy.low_min = 80;
  a.battery.autonomy.high_min = 110;
  a.battery.discharging = qmx::view::DischargeRecord{};
  a.battery.test.phase = BatteryTestState::Phase::kRunning;
  DeviceView b = Device(2, true);
  b.battery.configured = true;
  b.battery.soc = 1;
  b.battery.power_w.reset();  // no bus voltage this round
  DeviceView c = Device(3, false);

  const std::string text = qmx::web::MetricsText({a, b, c}, nullptr);
  const Scrape s = Read(text);
  for (const char* family :
       {"k417t_dc_load_energy_kwh_total", "k417t_rectifier_energy_kwh_total",
        "k417t_battery_charge_ah_total", "k417t_battery_discharge_ah_total",
        "k417t_battery_charge_kwh_total", "k417t_battery_discharge_kwh_total"}) {
    ASSERT_EQ(s.types.count(family), 1u) << family;
    EXPECT_EQ(s.types.at(family), "counter") << family;
    // Totals: the lost device's too.
    for (const char* dev : {"1", "2", "3"})
      EXPECT_EQ(s.samples.count(std::string(family) + "{device=\"" + dev + "\"}"), 1u)
          << family << " of " << dev;
  }
  for (const char* family : {"k417t_dc_load_power_watts", "k417t_battery_state_of_charge_ratio",
                             "k417t_battery_autonomy_seconds", "k417t_battery_discharging",
                             "k417t_battery_test_running"}) {
    ASSERT_EQ(s.types.count(family), 1u) << family;
    EXPECT_EQ(s.types.at(family), "gauge") << family;
  }
  const std::map<std::string, std::string> want = {
      {"k417t_dc_load_energy_kwh_total{device=\"1\"}", "12.5"},
      {"k417t_rectifier_energy_kwh_total{device=\"1\"}", "13.25"},
      {"k417t_battery_charge_ah_total{device=\"1\"}", "4"},
      {"k417t_battery_discharge_ah_total{device=\"1\"}", "30.5"},
      {"k417t_battery_charge_kwh_total{device=\"1\"}", "0.2"},
      {"k417t_battery_discharge_kwh_total{device=\"3\"}", "1.5"},
      {"k417t_dc_load_power_watts{device=\"1\"}", "2675"},
      {"k417t_battery_state_of_charge_ratio{device=\"1\"}", "0.625"},
      {"k417t_battery_state_of_charge_ratio{device=\"2\"}", "1"},
      {"k417t_battery_autonomy_seconds{device=\"1\",bound=\"estimate\"}", "5730"},
      {"k417t_battery_autonomy_seconds{device=\"1\",bound=\"low\"}", "4800"},
      {"k417t_battery_autonomy_seconds{device=\"1\",bound=\"high\"}", "6600"},
      {"k417t_battery_discharging{device=\"1\"}", "1"},
      {"k417t_battery_discharging{device=\"2\"}", "0"},
      {"k417t_battery_test_running{device=\"1\"}", "1"},
      {"k417t_battery_test_running{device=\"2\"}", "0"},
  };
  for (const auto& [series, value] : want) {
    auto it = s.samples.find(series);
    ASSERT_NE(it, s.samples.end()) << series << "\n" << text;
    EXPECT_EQ(it->second, value) << series;
  }
  // No value, no sample: device 2 has no power and no estimate; device 3
  // names no strings and its readings are not live (its power is the last
  // one read).
  for (const char* none :
       {"k417t_dc_load_power_watts{device=\"2\"}", "k417t_dc_load_power_watts{device=\"3\"}",
        "k417t_battery_autonomy_seconds{device=\"2\",bound=\"estimate\"}",
        "k417t_battery_state_of_charge_ratio{device=\"3\"}",
        "k417t_battery_autonomy_seconds{device=\"3\",bound=\"estimate\"}",
        "k417t_battery_discharging{device=\"3\"}", "k417t_battery_test_running{device=\"3\"}"})
    EXPECT_EQ(s.samples.count(none), 0u) << none;

  const std::string tool = Promtool();
  if (tool.empty()) GTEST_SKIP() << "promtool not found (Debian's prometheus package)";
  const std::string file =
      (std::filesystem::temp_directory_path() / ("k417t-metrics-" + std::to_string(getpid())))
          .string();
  std::ofstream(file) << text;
  const std::string cmd = tool + " check metrics < " + file + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[256];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int rc = pclose(p);
  if (rc == 0) std::filesystem::remove(file);
  EXPECT_EQ(rc, 0) << out;
}
