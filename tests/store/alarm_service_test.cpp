#include "store/alarm_service.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace qmx::store {
namespace {

rule_value Point(const std::string& key, uint32_t seq, bool on, const std::string& text = "t") {
  rule_value r;
  r.condition = on ? 1 : 0;
  r.key = key;
  r.code = "06008";
  r.level = 2;
  r.seq = seq;
  r.name = "交流输入";
  r.text = text;
  return r;
}

// The listener hears every event even though it throws each time (logged).
TEST(AlarmService, RaisesOnceClearsOnceAndIgnoresFirstFalse) {
  std::vector<std::string> log;
  AlarmService alarms([&](const std::string& line) { log.push_back(line); });
  std::vector<AlarmEvent> heard;
  alarms.SetListener([&](const AlarmEvent& e) {
    heard.push_back(e);
    throw std::runtime_error("sink down");
  });

  EXPECT_FALSE(alarms.Commit(7, {Point("AC_0", 1, false)}, 100).changed);
  auto r = alarms.Commit(7, {Point("AC_0", 1, true, "220")}, 110);
  ASSERT_EQ(r.events.size(), 1u);
  const AlarmEvent& up = r.events[0];
  EXPECT_TRUE(r.changed && up.raised);
  EXPECT_EQ(std::make_tuple(up.time, up.data_id, up.key, up.code, up.level, up.seq, up.text),
            std::make_tuple(int64_t{110}, 7u, std::string("AC_0"), std::string("06008"), 2u, 1u,
                            std::string("220")));
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(alarms.Commit(7, {Point("AC_0", 1, true, "230")}, 120 + i).changed);
  }
  ASSERT_EQ(alarms.Active().size(), 1u);
  EXPECT_EQ(alarms.Active()[0].since, 110);

  r = alarms.Commit(7, {Point("AC_0", 1, false)}, 200);
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_FALSE(r.events[0].raised);
  EXPECT_FALSE(alarms.Commit(7, {Point("AC_0", 1, false)}, 210).changed);
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_TRUE(heard[0].raised && !heard[1].raised);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "alarm: event listener failed: sink down");
}

// A restart: alarms the history still has raised are taken over without a
// new raise; one stated false clears as usual, and one no round states any
// more (an input gone, a model now supported) clears when the device's first
// round is complete. Only the given devices are settled.
TEST(AlarmService, RestoredAlarmsAreNotRaisedAgainAndVanishedOnesClear) {
  AlarmService alarms;
  std::vector<AlarmEvent> heard;
  alarms.SetListener([&](const AlarmEvent& e) { heard.push_back(e); });
  auto open = [](uint32_t id, const std::string& key, uint32_t seq) {
    AlarmEvent e;
    e.raised = true;
    e.data_id = id;
    e.key = key;
    e.seq = seq;
    e.time = 50;
    e.text = "old";
    return e;
  };
  alarms.Restore({open(7, "AC_0", 1), open(7, "AC_1", 2), open(7, "AC_8", 9), open(100, "device_model", 0),
                  open(21, "DC_0", 1)});
  EXPECT_EQ(alarms.Active().size(), 5u);
  EXPECT_TRUE(alarms.IsActive(100, "device_model", 0));

  EXPECT_FALSE(alarms.Commit(7, {Point("AC_0", 1, true)}, 100).changed);  // still active
  auto r = alarms.Commit(7, {Point("AC_1", 2, false)}, 100);                // went away
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_FALSE(r.events[0].raised);

  r = alarms.SettleRestored({7, 100}, 101);
  ASSERT_EQ(r.events.size(), 2u);  // AC_8 (no longer stated) and the model alarm
  EXPECT_EQ(std::make_tuple(r.events[0].key, r.events[0].raised, r.events[0].time, r.events[0].text),
            std::make_tuple(std::string("AC_8"), false, int64_t{101}, std::string("old")));
  EXPECT_EQ(r.events[1].key, "device_model");
  EXPECT_TRUE(alarms.IsActive(7, "AC_0", 1));
  EXPECT_EQ(alarms.Active(7)[0].since, 50);
  EXPECT_TRUE(alarms.IsActive(21, "DC_0", 1));  // its device has not completed a round
  EXPECT_FALSE(alarms.SettleRestored({7, 100}, 102).changed);  // once only
  EXPECT_EQ(heard.size(), 3u);
}

TEST(AlarmService, UnitsAndSequenceNumbersKeepPointsApart) {
  AlarmService alarms;
  // Two units state the same key; the sequence number tells rows apart.
  alarms.Commit(1, {Point("DC_1", 1, false), Point("DC_1", 2, true)}, 10);
  alarms.Commit(2, {Point("DC_1", 1, true), Point("DC_1", 2, false)}, 10);
  EXPECT_TRUE(alarms.IsActive(1, "DC_1", 2) && alarms.IsActive(2, "DC_1", 1));
  EXPECT_FALSE(alarms.IsActive(1, "DC_1", 1) || alarms.IsActive(2, "DC_1", 2));

  auto r = alarms.Commit(2, {Point("DC_1", 1, false), Point("DC_1", 2, false)}, 20);
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(r.events[0].data_id, 2u);
  EXPECT_EQ(r.events[0].seq, 1u);
  EXPECT_EQ(alarms.Active(1).size(), 1u);
  // A round that leaves a point out keeps its state.
  EXPECT_FALSE(alarms.Commit(1, {}, 30).changed);
  EXPECT_TRUE(alarms.IsActive(1, "DC_1", 2));
}

// An AC unit numbers its rows in order across its inputs (11 per input) and
// puts the screen's current rows after them. Input 2 goes: its rows are
// cleared once and forgotten; the current row that was raised under number 23
// is the same point under 12 now: no new raise, and its clear pairs with its
// raise (number 23), so the record stays a pair.
TEST(AlarmService, CountChangeClearsWhatWentAndKeepsWhatMoved) {
  AlarmService alarms;
  const std::vector<rule_value> two{Point("AC_0", 1, false, "交流屏1AB"),
                                    Point("AC_0", 12, true, "交流屏2AB"),
                                    Point("AC_12", 23, true, "其他告警")};
  ASSERT_EQ(alarms.Commit(11, two, 10).events.size(), 2u);
  auto r = alarms.Commit(
      11, {Point("AC_0", 1, false, "交流屏1AB"), Point("AC_12", 12, true, "其他告警")}, 20);
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(std::make_tuple(r.events[0].key, r.events[0].seq, r.events[0].raised, r.events[0].text),
            std::make_tuple(std::string("AC_0"), 12u, false, std::string("交流屏2AB")));
  EXPECT_TRUE(alarms.IsActive(11, "AC_12", 12));
  EXPECT_FALSE(alarms.IsActive(11, "AC_12", 23));
  ASSERT_EQ(alarms.Active(11).size(), 1u);
  EXPECT_EQ(alarms.Active(11)[0].since, 10);
  // Input 2 comes back with its alarm off: nothing to tell.
  EXPECT_FALSE(
      alarms
          .Commit(11,
                  {Point("AC_0", 1, false, "交流屏1AB"), Point("AC_0", 12, false, "交流屏2AB"),
                   Point("AC_12", 23, true, "其他告警")},
                  30)
          .changed);
  r = alarms.Commit(11, {Point("AC_12", 23, false, "其他告警")}, 40);
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(std::make_tuple(r.events[0].seq, r.events[0].raised), std::make_tuple(23u, false));
  // A key a round does not state keeps its points.
  EXPECT_FALSE(alarms.Commit(11, {Point("AC_12", 23, true, "其他告警")}, 50).events.empty());
  EXPECT_FALSE(alarms.Commit(11, {Point("RC_0", 1, false, "模块1")}, 60).changed);
  EXPECT_TRUE(alarms.IsActive(11, "AC_12", 23));
}

// Module 3 of three is in fault when the count drops to two: its fault is
// cleared (one event, under its own number and text), the others keep theirs.
// A point restored from the history and now listed under another number is
// found by its text and not raised again.
TEST(AlarmService, VanishedModuleClearsAndRestoredPointsFollowTheirText) {
  AlarmService alarms;
  std::vector<AlarmEvent> heard;
  alarms.SetListener([&](const AlarmEvent& e) { heard.push_back(e); });
  alarms.Commit(9,
                {Point("RC_0", 1, true, "模块1"), Point("RC_0", 2, false, "模块2"),
                 Point("RC_0", 3, true, "模块3")},
                10);
  auto r =
      alarms.Commit(9, {Point("RC_0", 1, true, "模块1"), Point("RC_0", 2, false, "模块2")}, 20);
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(std::make_tuple(r.events[0].seq, r.events[0].raised, r.events[0].text),
            std::make_tuple(3u, false, std::string("模块3")));
  EXPECT_TRUE(alarms.IsActive(9, "RC_0", 1));
  EXPECT_EQ(heard.size(), 3u);
  EXPECT_FALSE(
      alarms.Commit(9, {Point("RC_0", 1, true, "模块1"), Point("RC_0", 2, false, "模块2")}, 30)
          .changed);

  AlarmService restarted;
  AlarmEvent open;
  open.raised = true;
  open.data_id = 11;
  open.key = "AC_12";
  open.seq = 23;
  open.text = "其他告警";
  open.time = 5;
  restarted.Restore({open});
  EXPECT_FALSE(restarted.Commit(11, {Point("AC_12", 12, true, "其他告警")}, 50).changed);
  EXPECT_FALSE(restarted.SettleRestored({11}, 51).changed);
  r = restarted.Commit(11, {Point("AC_12", 12, false, "其他告警")}, 60);
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(r.events[0].seq, 23u);  // the number the history has it raised under
}

}  // namespace
}  // namespace qmx::store
