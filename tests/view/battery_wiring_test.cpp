// The battery engine wired into the view: a simulated mains loss with the
// string discharging becomes one discharge row, the discharge point raised
// and cleared through the host's alarm service, and counters that grow and
// survive a new view over the same history.
#include <gtest/gtest.h>
#include <json/json.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "store/history_store.h"
#include "support/one_round.h"
#include "view/site_view.h"

extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

Json::Value Parse(const std::string& text) {
  Json::Value v;
  std::istringstream(text) >> v;
  return v;
}

struct TempDir {
  std::string path = [] {
    std::string p = (std::filesystem::temp_directory_path() / "qmx-battery-XXXXXX").string();
    return mkdtemp(p.data()) != nullptr ? p : std::string();
  }();
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

// On mains for 2 rounds (the string charging at 5 A), then the AC inputs at
// 0 V and the string delivering 20 A (read negative) for 4 rounds, then
// mains back and the string charging again.
const char* kScenario = R"({
  "ac": [{"inputs": [{"a": 230, "b": 231, "c": 229, "f": 50}]}],
  "dc": [{"v": 53.5, "i": 20, "m": [5, 0]}],
  "rectifier": {"value": 53.5, "modules": [{"value": 25}]},
  "changes": [
    {"after_rounds": 2, "set": {"ac": [{"inputs": [{"a": 0, "b": 0, "c": 0, "f": 0}]}],
                                "dc": [{"v": 50.0, "i": 20, "m": [-20, 0]}],
                                "rectifier": {"value": 0, "modules": [{"value": 0}]}}},
    {"after_rounds": 6, "set": {"ac": [{"inputs": [{"a": 230, "b": 231, "c": 229, "f": 50}]}],
                                "dc": [{"v": 53.5, "i": 20, "m": [5, 0]}],
                                "rectifier": {"value": 53.5, "modules": [{"value": 30}]}}}]})";

qmx::view::SiteInfo Site() {
  qmx::view::DeviceInfo d;
  d.name = "plant";
  std::string error;
  EXPECT_TRUE(qmx::view::ParseBatterySettings(
      Parse(R"({"strings": [{"current": {"unit": 21, "list": "m", "index": 0},
                              "discharge": "negative", "capacity_ah": 100, "end_v": 44}],
                 "discharge_rounds": 2})"),
      {21}, &d.battery, &error))
      << error;
  return {{100, d}};
}

TEST(BatteryWiring, MainsLossGivesOneDischargeRowItsAlarmAndGrowingCounters) {
  TempDir dir;
  const std::string db = dir.path + "/history.db";
  std::vector<qmx::store::AlarmEvent> events;
  double discharge_ah = 0, load_kwh = 0;
  {
    k417t_test::OneRound r(Parse(kScenario), db);
    qmx::view::SiteView view(*r.host);
    view.SetSite(Site());
    r.host->SetReportSink([&](const qmx::RoundReport& report) {
      const qmx::view::RoundView v = view.Round(report);
      for (const auto& e : v.report.events)
        if (e.key == qmx::kBatteryAlarmKey) events.push_back(e);
    });
    for (uint64_t n = 1; n <= 10; ++n) r.Poll(n);
    const std::optional<qmx::view::BatteryView> b = view.Battery(100);
    ASSERT_TRUE(b.has_value());
    EXPECT_TRUE(b->configured);
    EXPECT_FALSE(b->discharging.has_value());
    discharge_ah = b->total.discharge_ah;
    load_kwh = b->total.load_kwh;
    EXPECT_GT(discharge_ah, 0);
    EXPECT_GT(b->total.charge_ah, 0);
    EXPECT_GT(load_kwh, 0);
    ASSERT_TRUE(b->last.has_value());
    EXPECT_EQ(b->last->cause, "mains loss");

    const std::vector<qmx::view::DischargeRecord> list =
        view.Discharges(0, 0, INT64_MAX / 2000, 10);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].device, 100u);
    EXPECT_EQ(list[0].cause, "mains loss");
    EXPECT_NE(list[0].end_ms, 0);
    EXPECT_GT(list[0].ah, 0);
    ASSERT_TRUE(list[0].min_v.has_value());
    EXPECT_NEAR(*list[0].min_v, 50.0, 0.01);
    EXPECT_EQ(list[0].id, b->last->id);
    // The device's view carries the same figures.
    const std::optional<qmx::view::DeviceView> d = view.Device(100);
    ASSERT_TRUE(d.has_value());
    EXPECT_DOUBLE_EQ(d->battery.total.discharge_ah, discharge_ah);
    const Json::Value j = qmx::view::BatteryJson(*b);
    EXPECT_TRUE(j["discharging"].isNull());
    EXPECT_EQ(j["last"]["cause"].asString(), "mains loss");

    r.host->Shutdown();  // its job thread calls the view: done before the view goes
  }
  // Raised once while it went on, cleared once at its end; byte for byte.
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(events[0].raised);
  EXPECT_EQ(events[0].text, "Battery discharge");
  EXPECT_EQ(events[0].level, 2u);  // major
  EXPECT_EQ(events[0].data_id, 100u);
  EXPECT_FALSE(events[1].raised);
  EXPECT_EQ(events[1].text, "Battery discharge");

  // The history kept the events and, after the stop's flush, the counters:
  // a new view over the same database counts on from them.
  k417t_test::OneRound r(Parse(kScenario), db);
  const auto stored = r.host->history()->Events(100, 0, INT64_MAX / 2);
  int battery_events = 0;
  for (const auto& e : stored) battery_events += e.event.key == qmx::kBatteryAlarmKey ? 1 : 0;
  EXPECT_EQ(battery_events, 2);
  qmx::view::SiteView view(*r.host);
  view.SetSite(Site());
  r.host->SetReportSink([&](const qmx::RoundReport& report) { view.Round(report); });
  for (uint64_t n = 1; n <= 2; ++n) r.Poll(n);
  const std::optional<qmx::view::BatteryView> b = view.Battery(100);
  ASSERT_TRUE(b.has_value());
  EXPECT_GE(b->total.discharge_ah, discharge_ah);
  EXPECT_GT(b->total.load_kwh, load_kwh);
  EXPECT_EQ(view.Discharges(100, 0, INT64_MAX / 2000, 10).size(), 1u);
  r.host->Shutdown();  // its job thread calls the view: done before the view goes
}

// A power cut after a discharge row was written and before the memory's
// commit leaves the row going on; the next start ends it (it is not carried
// on by the memory), and a row that has ended stays as it was.
TEST(BatteryWiring, ARowLeftGoingOnByAPowerCutEndsAtTheNextStart) {
  TempDir dir;
  const std::string db = dir.path + "/history.db";
  int64_t open_id = 0, ended_id = 0;
  {
    qmx::store::HistoryOptions o;
    o.path = db;
    qmx::store::HistoryStore h(o);
    ASSERT_TRUE(h.Open());
    qmx::store::DischargeRow row;
    row.device = 100;
    row.start_ms = 1'700'000'000'000;
    row.cause = "mains loss";
    row.ah = 1.5;
    open_id = h.AddDischarge(row);
    row.start_ms -= 3'600'000;
    row.end_ms = row.start_ms + 600'000;
    ended_id = h.AddDischarge(row);
    ASSERT_GT(open_id, 0);
    ASSERT_GT(ended_id, 0);
  }
  k417t_test::OneRound r(Parse(kScenario), db);
  qmx::view::SiteView view(*r.host);
  view.SetSite(Site());
  r.host->SetReportSink([&](const qmx::RoundReport& report) { view.Round(report); });
  r.Poll(1);
  // The round's report reaches the view on the job thread: done once the
  // host has shut down.
  r.host->Shutdown();
  const auto rows = r.host->history()->Discharges(100, 0, INT64_MAX / 2000, 10);
  ASSERT_EQ(rows.size(), 2u);
  for (const auto& row : rows) {
    if (row.id == open_id) {
      EXPECT_EQ(row.end_ms, row.start_ms) << "ended at its start: no memory counted after it";
      EXPECT_EQ(row.result, "not seen to its end: the gateway stopped");
      EXPECT_DOUBLE_EQ(row.ah, 1.5);
    } else {
      EXPECT_EQ(row.id, ended_id);
      EXPECT_EQ(row.result, "");
      EXPECT_EQ(row.end_ms, row.start_ms + 600'000);
    }
  }
  EXPECT_FALSE(view.Battery(100)->discharging.has_value());
}

}  // namespace
