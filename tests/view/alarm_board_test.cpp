// The alarm board: what the operators are told of the controller's
// transitions, and what they can do about it.
#include "view/alarm_board.h"

#include <gtest/gtest.h>
#include <json/json.h>
#include <stdlib.h>

#include <filesystem>

#include "input/checked_json.h"
#include "store/history_store.h"

namespace qmx::view {
namespace {

constexpr int64_t kT0 = 1700000000;
constexpr unsigned int kDev = 100;

store::AlarmEvent Ev(int64_t t, bool raised, const std::string& key = "AC_8", uint32_t seq = 9,
                     const std::string& code = "06017",
                     const std::string& text = "交流屏1输入线/相电压AB/A", uint32_t data_id = 11) {
  return store::AlarmEvent{t, data_id, 2, key, code, "交流输入缺相告警", text, seq, raised};
}

// A board whose notices are recorded.
struct Board {
  AlarmBoard b;
  std::vector<AlarmNotice> told;
  Board() {
    b.SetListener([this](const AlarmNotice& n) { told.push_back(n); });
  }
  size_t Count(const std::string& kind) const {
    size_t n = 0;
    for (const AlarmNotice& x : told) n += x.kind == kind;
    return n;
  }
  // Notices an operator is alerted by (EEMUA counts these).
  size_t Annunciated() const { return Count("raised") + Count("chattering"); }
  std::optional<AlarmState> State(const std::string& id) const {
    for (const AlarmState& s : b.States())
      if (AlarmIdText(s.point.data_id, s.point.key, s.point.seq) == id) return s;
    return std::nullopt;
  }
  void Raise(int64_t t, store::AlarmEvent e = Ev(0, true)) {
    e.time = t;
    e.raised = true;
    b.OnEvents(kDev, {e}, t);
  }
  void Clear(int64_t t, store::AlarmEvent e = Ev(0, false)) {
    e.time = t;
    e.raised = false;
    b.OnEvents(kDev, {e}, t);
  }
};

const AlarmRef kRef{kDev, 11, "AC_8", 9};

TEST(AlarmBoard, AChatteringPointIsAnnunciatedTwiceAnHourWhileEveryTransitionCounts) {
  Board f;
  // Toggles every other 2-second round for an hour: 1,800 transitions.
  int64_t t = kT0;
  for (int i = 0; i < 900; ++i) {
    f.Raise(t);
    t += 2;
    f.Clear(t);
    t += 2;
  }
  EXPECT_LE(f.Annunciated(), 2u);
  EXPECT_EQ(f.Count("chattering"), 1u);
  AlarmKpis k = f.b.Kpis(t);
  EXPECT_EQ(k.transitions_total, 1800u);
  EXPECT_LE(k.annunciated_total, 2u);
  EXPECT_EQ(k.chattering, 1u);
  EXPECT_EQ(f.State("11_AC_8_9")->state, "chattering");

  // Quiet for the window: it settles, cleared, and waits for an operator.
  f.b.Tick(t + 600);
  EXPECT_EQ(f.Count("settled"), 1u);
  auto s = f.State("11_AC_8_9");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->state, "cleared_unacknowledged");
  EXPECT_TRUE(f.b.Acknowledge(kRef, {"ops", t + 601, "", 0}).ok);
  f.b.Tick(t + 602);
  EXPECT_FALSE(f.State("11_AC_8_9"));

  // A real fault later is annunciated as usual.
  f.Raise(t + 5000);
  EXPECT_EQ(f.Count("raised"), 2u);
}

TEST(AlarmBoard, APhaseLossOfOneInputIsOneAlarmWithTheOthersAttached) {
  Board f;
  const std::vector<store::AlarmEvent> loss = {
      Ev(kT0, true, "AC_8", 9, "06017", "交流屏1输入线/相电压AB/A"),
      Ev(kT0, true, "AC_9", 10, "06017", "交流屏1输入线/相电压BC/B"),
      Ev(kT0, true, "AC_10", 11, "06017", "交流屏1输入线/相电压CA/C"),
      // The second input's phase is another cause.
      Ev(kT0, true, "AC_8", 20, "06017", "交流屏2输入线/相电压AB/A"),
  };
  f.b.OnEvents(kDev, loss, kT0);
  ASSERT_EQ(f.Count("raised"), 2u);
  EXPECT_EQ(f.told[0].id(), "11_AC_8_9");
  EXPECT_EQ(f.told[0].attached, (std::vector<std::string>{"11_AC_9_10", "11_AC_10_11"}));
  EXPECT_EQ(f.told[1].id(), "11_AC_8_20");
  EXPECT_EQ(f.State("11_AC_9_10")->state, "suppressed");
  EXPECT_EQ(f.State("11_AC_9_10")->suppressed_by, "11_AC_8_9");
  EXPECT_FALSE(f.State("11_AC_10_11")->annunciated);

  // AB comes back while BC and CA stay missing: BC now stands for the input.
  f.b.OnEvents(kDev, {Ev(kT0 + 10, false, "AC_8", 9)}, kT0 + 10);
  EXPECT_EQ(f.told.back().kind, "raised");
  EXPECT_EQ(f.told.back().id(), "11_AC_9_10");
  EXPECT_EQ(f.State("11_AC_10_11")->suppressed_by, "11_AC_9_10");

  // Rules are data: without them every phase stands alone.
  Board g;
  AlarmRules none = AlarmRules::Defaults();
  none.attach.clear();
  g.b.SetRules(none);
  g.b.OnEvents(kDev, loss, kT0);
  EXPECT_EQ(g.Count("raised"), 4u);
}

TEST(AlarmBoard, ALostControllersAlarmsAreUnknownNotStanding) {
  Board f;
  f.Raise(kT0);
  f.Raise(kT0, Ev(0, true, "DC_3", 5, "06001", "直流3电池熔丝故障告警", 22));
  f.b.OnLink(kDev, false, kT0 + 5);
  f.b.OnEvents(kDev,
               {store::AlarmEvent{kT0 + 5, kDev, 1, "comm", "comm", "通信中断告警", "", 0, true}},
               kT0 + 5);
  EXPECT_EQ(f.told.back().id(), std::to_string(kDev) + "_comm_0");
  EXPECT_EQ(f.Count("unknown"), 1u);
  for (const AlarmState& s : f.b.States()) {
    if (s.point.key == "comm") {
      EXPECT_EQ(s.state, "active_unacknowledged");
      EXPECT_TRUE(s.annunciated);
    } else {
      EXPECT_EQ(s.state, "unknown") << s.point.key;
      EXPECT_FALSE(s.annunciated);
    }
  }
  EXPECT_EQ(f.b.Kpis(kT0 + 6).unknown, 2u);
  EXPECT_EQ(f.b.Kpis(kT0 + 6).standing, 1u);
  // Answering again: the alarms it still states are standing again, without
  // a second raise.
  const size_t raised = f.Count("raised");
  f.b.OnLink(kDev, true, kT0 + 60);
  EXPECT_EQ(f.Count("known"), 1u);
  EXPECT_EQ(f.Count("raised"), raised);
  EXPECT_EQ(f.State("11_AC_8_9")->state, "active_unacknowledged");
}

TEST(AlarmBoard, AcknowledgementFollowsTheAlarmStates) {
  Board f;
  f.Raise(kT0);
  EXPECT_EQ(f.State("11_AC_8_9")->state, "active_unacknowledged");
  AlarmActionResult r = f.b.Acknowledge(kRef, {"alice", kT0 + 1, "on it", 0});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(f.State("11_AC_8_9")->state, "active_acknowledged");
  EXPECT_EQ(f.State("11_AC_8_9")->ack->who, "alice");
  EXPECT_EQ(f.told.back().kind, "acknowledged");
  EXPECT_EQ(f.told.back().comment, "on it");
  EXPECT_FALSE(f.b.Acknowledge(kRef, {"bob", kT0 + 2, "", 0}).ok);
  // Acknowledged and cleared: gone from the list.
  f.Clear(kT0 + 30);
  EXPECT_FALSE(f.State("11_AC_8_9"));

  // Cleared before anyone saw it: listed until acknowledged. A new raise
  // meanwhile is a new occurrence, unacknowledged again.
  f.Raise(kT0 + 1000);
  f.Clear(kT0 + 1100);
  EXPECT_EQ(f.State("11_AC_8_9")->state, "cleared_unacknowledged");
  EXPECT_EQ(f.b.Kpis(kT0 + 1100).unacknowledged, 1u);
  EXPECT_TRUE(f.b.Acknowledge(kRef, {"alice", kT0 + 1200, "", 0}).ok);
  EXPECT_FALSE(f.State("11_AC_8_9"));
  EXPECT_FALSE(f.b.Acknowledge({kDev, 11, "AC_8", 99}, {"alice", kT0, "", 0}).ok);
}

TEST(AlarmBoard, ShelvesAndMaintenanceHideAlarmsForABoundedTimeAndEndByThemselves) {
  Board f;
  f.Raise(kT0);
  EXPECT_FALSE(f.b.Shelve(kRef, {"alice", kT0, "", kT0 + 25 * 3600}).ok);  // past 24 h
  EXPECT_FALSE(f.b.Shelve(kRef, {"alice", kT0, "", kT0}).ok);
  ASSERT_TRUE(f.b.Shelve(kRef, {"alice", kT0, "sensor work", kT0 + 3600}).ok);
  EXPECT_EQ(f.State("11_AC_8_9")->state, "shelved");
  EXPECT_FALSE(f.State("11_AC_8_9")->annunciated);
  // Cleared and raised again while shelved: nothing told.
  const size_t before = f.told.size();
  f.Clear(kT0 + 100);
  f.Raise(kT0 + 2000);
  EXPECT_EQ(f.told.size(), before);
  // The shelf ends: still raised, so annunciated again.
  f.b.Tick(kT0 + 3600);
  EXPECT_EQ(f.told[f.told.size() - 2].kind, "unshelved");
  EXPECT_EQ(f.told.back().kind, "raised");

  // Maintenance: a raise is recorded, not annunciated; the end annunciates
  // what still stands.
  Board m;
  EXPECT_FALSE(m.b.Maintenance(kDev, {"tech", kT0, "", kT0 + 73 * 3600}).ok);
  ASSERT_TRUE(m.b.Maintenance(kDev, {"tech", kT0, "rectifier swap", kT0 + 3600}).ok);
  m.Raise(kT0 + 10);
  EXPECT_EQ(m.Count("raised"), 0u);
  EXPECT_EQ(m.State("11_AC_8_9")->state, "out_of_service");
  EXPECT_TRUE(m.b.MaintenanceOf(kDev));
  EXPECT_EQ(m.b.Kpis(kT0 + 10).devices_in_maintenance, 1u);
  m.b.Tick(kT0 + 3600);
  EXPECT_FALSE(m.b.MaintenanceOf(kDev));
  EXPECT_EQ(m.Count("maintenance_end"), 1u);
  EXPECT_EQ(m.Count("raised"), 1u);
}

TEST(AlarmBoard, DelaysHoldAnnunciationButNotARealFault) {
  Board f;
  AlarmRules r = AlarmRules::Defaults();
  r.delays["major"] = AlarmDelay{30, 20};
  f.b.SetRules(r);
  // A blip shorter than the on-delay: nothing told.
  f.Raise(kT0);
  EXPECT_EQ(f.State("11_AC_8_9")->state, "delayed");
  f.Clear(kT0 + 10);
  f.b.Tick(kT0 + 40);
  EXPECT_TRUE(f.told.empty());
  EXPECT_FALSE(f.State("11_AC_8_9"));
  // A fault that stays is told once its delay has passed.
  f.Raise(kT0 + 1000);
  f.b.Tick(kT0 + 1029);
  EXPECT_EQ(f.Count("raised"), 0u);
  f.b.Tick(kT0 + 1030);
  EXPECT_EQ(f.Count("raised"), 1u);
  // A drop-out inside the off-delay is no clear and no new raise.
  f.Clear(kT0 + 2000);
  f.Raise(kT0 + 2010);
  f.b.Tick(kT0 + 2100);
  EXPECT_EQ(f.Count("cleared"), 0u);
  EXPECT_EQ(f.Count("raised"), 1u);
  f.Clear(kT0 + 3000);
  f.b.Tick(kT0 + 3019);
  EXPECT_EQ(f.Count("cleared"), 0u);
  f.b.Tick(kT0 + 3020);
  EXPECT_EQ(f.Count("cleared"), 1u);
}

TEST(AlarmBoard, MarksSurviveARestart) {
  std::string dir = (std::filesystem::temp_directory_path() / "qmx-board-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  store::HistoryOptions o;
  o.path = dir + "/h.db";
  const store::AlarmEvent other = Ev(0, true, "DC_3", 5, "06001", "直流3电池熔丝故障告警", 22);
  {
    store::HistoryStore h(o);
    Board f;
    f.b.SetStore(&h);
    f.Raise(kT0);
    f.Raise(kT0, other);
    ASSERT_TRUE(f.b.Acknowledge(kRef, {"alice", kT0 + 5, "seen", 0}).ok);
    f.Clear(kT0 + 4, other);  // cleared, never acknowledged
    ASSERT_TRUE(f.b.Maintenance(kDev, {"tech", kT0 + 6, "", kT0 + 7200}).ok);
    ASSERT_TRUE(h.Flush());
  }
  store::HistoryStore h(o);
  Board f;
  store::ActiveAlarm a;
  a.data_id = 11;
  a.key = "AC_8";
  a.seq = 9;
  a.level = 2;
  a.code = "06017";
  a.since = kT0;
  f.b.Restore(kDev, {a}, kT0 + 100);
  f.b.SetStore(&h);
  EXPECT_EQ(f.State("11_AC_8_9")->ack->who, "alice");
  EXPECT_EQ(f.State("22_DC_3_5")->state,
            "out_of_service");  // cleared, unacknowledged, in maintenance
  EXPECT_FALSE(f.State("22_DC_3_5")->active);
  ASSERT_TRUE(f.b.MaintenanceOf(kDev));
  EXPECT_EQ(f.b.MaintenanceOf(kDev)->until, kT0 + 7200);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

TEST(AlarmBoard, AlarmsOfUnitsNoLongerPolledLeaveTheBoard) {
  Board f;
  f.Raise(kT0);
  f.Raise(kT0, Ev(0, true, "DC_3", 5, "06001", "直流3电池熔丝故障告警", 22));
  ASSERT_TRUE(f.b.Maintenance(kDev, {"tech", kT0, "", kT0 + 600}).ok);
  f.b.Retain({{kDev, {kDev, 11}}}, kT0 + 10);  // DC unit 22 removed from the site
  EXPECT_TRUE(f.State("11_AC_8_9"));
  EXPECT_FALSE(f.State("22_DC_3_5"));
  f.b.Retain({}, kT0 + 20);  // the device removed
  EXPECT_TRUE(f.b.States().empty());
  EXPECT_FALSE(f.b.MaintenanceOf(kDev));
}

TEST(AlarmBoard, TheSiteFilesRulesAreCheckedMemberByMember) {
  AlarmRules r;
  std::string error;
  auto read = [&](const std::string& text) {
    Json::Value site;
    std::string perr;
    EXPECT_TRUE(json::Parse(text, "t", site, perr)) << perr;
    error.clear();
    return ReadAlarmRules(site, r, error);
  };
  EXPECT_TRUE(read("{}"));
  EXPECT_EQ(r.chatter_transitions, 3);
  ASSERT_EQ(r.attach.size(), 1u);
  EXPECT_TRUE(read(R"({"alarms": {"delays": {"06017": {"on_s": 5}, "critical": {"off_s": 2}},
                       "chatter": {"transitions": 5, "window_s": 900}, "attach": [],
                       "max_shelve_s": 3600, "flood_per_10min": 20}})"));
  EXPECT_EQ(r.delays["06017"].on_s, 5);
  EXPECT_EQ(r.chatter_window_s, 900);
  EXPECT_TRUE(r.attach.empty());
  for (
      const char* bad :
      {R"({"alarms": []})", R"({"alarms": {"delays": {"x": {"on_s": -1}}}})",
       R"({"alarms": {"chatter": {"window_s": 1.5}}})",
       R"({"alarms": {"attach": [{"parent_codes": [], "child_codes": ["1"]}]}})",
       R"({"alarms": {"attach": [{"parent_codes": ["1"], "child_codes": ["1"], "scope": "site"}]}})",
       R"({"alarms": {"max_shelve_s": 99999999}})", R"({"alarms": {"chatty": 1}})"}) {
    EXPECT_FALSE(read(bad)) << bad;
    EXPECT_EQ(error.rfind("alarms", 0), 0u) << error;
  }
}

}  // namespace
}  // namespace qmx::view
