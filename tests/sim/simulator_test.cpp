#include "sim/simulator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "sim_test_util.h"

namespace k417t::sim::test {
namespace {

// One AC screen with one input, one rectifier module, one DC unit.
const char* kSmall = R"({
  "data_flags": {"ac": 16, "rc": 1, "dc": 17},
  "ac": [{"inputs": [{"a": 1.5, "b": 2.0, "c": 0, "f": "20202020",
                      "alerts": [1, 2, 3, 0], "user_alarms": [1, 0, 0, 0, 0, 0, 0, 9]}],
          "ia": 2.0, "ib": 0, "ic": 0, "user_switches": [1, 0, 1], "current_alerts": [0, 2, 3]}],
  "rectifier": {"value": 53.5, "modules": [{"value": 2.0, "user": [1.5, 0, 0, 0, 0, 0, 0],
                "states": [1, 2, 3], "user_states": [4, 5, 6, 7, 8, 9], "fault": 1,
                "user_alarms": [8, 7, 6, 5, 4, 3, 2, 1]}]},
  "dc": [{"v": 53.5, "i": 2.0, "m": [1.5, 0], "user": [], "v_state": 2,
          "fuses": [0, 0, 3, 0, 0, 0, 0, 0, 0, 0]}],
  "ac_params": [1.5, 0, 0, 0, 2.0], "dc_params": [53.5, 2.0], "dc_params_user": [1.5],
  "control_rtn": {"E4": 4}
})";

Bytes Ask(Simulator& sim, uint8_t cid1, uint8_t cid2, const Bytes& info = {}) {
  const std::vector<Bytes> frames = Decode(sim.Feed(Request(cid1, cid2, info)));
  EXPECT_EQ(frames.size(), 1u);
  if (frames.empty()) return {};
  EXPECT_EQ(frames[0][0], 0x21);  // VER
  EXPECT_EQ(frames[0][1], 0x01);  // ADR
  EXPECT_EQ(frames[0][2], cid1);  // CID1 echoed
  EXPECT_EQ(frames[0][3], 0x00);  // RTN normal
  return InfoOf(frames[0]);
}

TEST(SimAnswers, ModelAnswerIsTheExactFrame) {
  auto sim = Make(kSmall);
  const std::vector<Outgoing> out = sim->Feed(Request(0x40, 0x51));
  ASSERT_EQ(out.size(), 1u);
  // "K417T" and 15 blanks, version 1.20 (01 14); LENID 44 (LCHKSUM 2); CHKSUM
  // worked out by hand.
  const std::string expected = "~21014000202C4B343137542020202020202020202020202020200114F509\r";
  EXPECT_EQ(std::string(out[0].bytes.begin(), out[0].bytes.end()), expected);

  auto nul = Make(R"({"model": "K417T", "model_padding": "nul", "version": "2.5"})");
  EXPECT_EQ(Ask(*nul, 0x40, 0x51),
            (Bytes{'K', '4', '1', '7', 'T', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 5}));
  auto top = Make(R"({"model": "K417T-MAXIMUM-LENGTH", "version": "255.0"})");
  const Bytes info = Ask(*top, 0x40, 0x51);
  ASSERT_EQ(info.size(), 22u);
  EXPECT_EQ(std::string(info.begin(), info.begin() + 20), "K417T-MAXIMUM-LENGTH");
  EXPECT_EQ(Bytes(info.begin() + 20, info.end()), (Bytes{255, 0}));
}

TEST(SimAnswers, AcBlocksByHand) {
  auto sim = Make(kSmall);
  EXPECT_EQ(Ask(*sim, 0x40, 0x41, {0xFF}),
            (Bytes{0x10, 0x01,                                      // data flag, one screen
                   0x01,                                            // one input
                   0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x00, 0x40,  // a 1.5, b 2.0
                   0x00, 0x00, 0x00, 0x00, 0x20, 0x20, 0x20, 0x20,  // c 0, f "no value"
                   0x00,                                            // no user values
                   0x00, 0x00, 0x00, 0x40, 0,    0,    0,    0,    0, 0, 0, 0}));  // ia, ib, ic
  EXPECT_EQ(Ask(*sim, 0x40, 0x43, {0xFF}),
            (Bytes{0x00, 0x01, 0x00, 0x03, 1, 0, 1}));  // no air switches, 3 user switches
  EXPECT_EQ(Ask(*sim, 0x40, 0x44, {0xFF}),
            (Bytes{0x00, 0x01, 0x01,                       // flag, one screen, one input
                   1,    2,    3,    0, 0x00,              // a b c f states, no further states
                   0x08, 1,    0,    0, 0,    0, 0, 0, 9,  // 8 user alarms
                   0,    2,    3}));                       // ia ib ic states
  EXPECT_EQ(Ask(*sim, 0x40, 0x46),
            (Bytes{0, 0, 0xC0, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x00}));
}

TEST(SimAnswers, RectifierBlocksByHand) {
  auto sim = Make(kSmall);
  const Bytes analog = Ask(*sim, 0x41, 0x41);
  ASSERT_EQ(analog.size(), 6u + 33u);
  EXPECT_EQ(Bytes(analog.begin(), analog.begin() + 15),
            (Bytes{0x01, 0x00, 0x00, 0x56, 0x42,     // data flag, group value 53.5
                   0x01,                             // one module
                   0x00, 0x00, 0x00, 0x40,           // module value 2.0
                   0x07, 0x00, 0x00, 0xC0, 0x3F}));  // 7 user values, the first 1.5
  EXPECT_EQ(Ask(*sim, 0x41, 0x43), (Bytes{0x00, 0x01, 1, 2, 3, 0x06, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(Ask(*sim, 0x41, 0x44), (Bytes{0x00, 0x01, 0x01, 0x08, 8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST(SimAnswers, DcBlocksByHand) {
  auto sim = Make(kSmall);
  EXPECT_EQ(Ask(*sim, 0x42, 0x41, {0xFF}),
            (Bytes{0x11, 0x01,                                         // data flag, one unit
                   0x00, 0x00, 0x56, 0x42, 0x00, 0x00, 0x00, 0x40,     // v 53.5, i 2.0
                   0x02, 0x00, 0x00, 0xC0, 0x3F, 0,    0,    0,    0,  // m list of 2
                   0x00, 0x00}));                                      // empty n and user lists
  const Bytes state = Ask(*sim, 0x42, 0x44, {0xFF});
  ASSERT_EQ(state.size(), 2u + 100u);
  EXPECT_EQ(Bytes(state.begin(), state.begin() + 16),
            (Bytes{0x00, 0x01, 0x02, 0x0A, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0x57, 0}));
  EXPECT_EQ(Ask(*sim, 0x42, 0x46),
            (Bytes{0x00, 0x00, 0x56, 0x42, 0x00, 0x00, 0x00, 0x40, 0x01, 0x00, 0x00, 0xC0, 0x3F}));
}

TEST(SimAnswers, ErrorsAnswerWithTheirReturnCode) {
  auto sim = Make(kSmall);
  auto rtn_of = [&](const Bytes& request) -> int {
    const std::vector<Bytes> f = Decode(sim->Feed(request));
    return f.size() == 1 ? f[0][3] : -1;
  };
  Bytes bad_sum = Request(0x40, 0x41, {0xFF});
  bad_sum[bad_sum.size() - 2] ^= 0x01;  // last CHKSUM digit
  EXPECT_EQ(rtn_of(bad_sum), 0x02);
  Bytes bad_len = Request(0x40, 0x41, {0xFF});
  bad_len[9] = 'F';  // LCHKSUM nibble
  EXPECT_EQ(rtn_of(bad_len), 0x03);
  EXPECT_EQ(rtn_of(Request(0x40, 0x41, {0xFF}, 1, 0x20)), 0x01);  // VER
  EXPECT_EQ(rtn_of(Request(0x40, 0x42)), 0x04);                   // unknown CID2
  EXPECT_EQ(rtn_of(Request(0x43, 0x41)), 0x04);                   // unknown CID1
  EXPECT_EQ(rtn_of(Request(0x41, 0x45, {0xE4, 0x01})), 0x04);     // scenario's code
  EXPECT_EQ(rtn_of(Request(0x41, 0x45, {0x10, 0x00})), 0x00);     // default
  EXPECT_EQ(rtn_of(Request(0x41, 0x45, {0x10})), 0x05);           // one byte short
  EXPECT_EQ(rtn_of(Request(0x40, 0x41, {0xFF}, 2)), -1);          // another address
  EXPECT_EQ(sim->commands(), (std::vector<Bytes>{{0xE4, 0x01}, {0x10, 0x00}}));
  EXPECT_EQ(sim->stats().foreign, 1u);
  EXPECT_EQ(sim->stats().corrupt_requests, 2u);
}

TEST(SimFaults, DropCorruptWrongCountAndGarbage) {
  auto sim = Make(R"({"rectifier": {"modules": [{}]}, "dc": [{}],
      "faults": {"drop_every": 3, "corrupt_checksum_every": 4, "wrong_unit_count_every": 2,
                 "garbage": "#!", "garbage_every": 5, "delay_ms": 250, "byte_by_byte": true}})");
  std::vector<int> counts;  // the DC count byte of each answer that gets through
  int dropped = 0, corrupted = 0, garbage = 0;
  for (int i = 1; i <= 10; ++i) {
    const std::vector<Outgoing> out = sim->Feed(Request(0x42, 0x41, {0xFF}));
    if (out.empty()) {
      ++dropped;
      continue;
    }
    EXPECT_EQ(out[0].delay_ms, 250);
    EXPECT_TRUE(out[0].byte_by_byte);
    if (out[0].bytes[0] == '#') ++garbage;
    const std::vector<Bytes> f = Decode(out);
    if (f.empty()) {
      ++corrupted;
      continue;
    }
    counts.push_back(f[0][7]);
  }
  EXPECT_EQ(dropped, 3);                                 // answers 3, 6, 9
  EXPECT_EQ(corrupted, 2);                               // answers 4, 8
  EXPECT_EQ(garbage, 2);                                 // answers 5, 10
  EXPECT_EQ(counts, (std::vector<int>{1, 2, 1, 1, 2}));  // answers 1, 2, 5, 7, 10
  EXPECT_EQ(sim->stats().wrong_counts, 5u);
}

TEST(SimTimeline, ChangesApplyAtTheRoundStartAndResendsDoNotCount) {
  auto sim = Make(R"({"rectifier": {"modules": [{"fault": 0}]},
      "faults": {"drop_every": 2},
      "changes": [{"after_rounds": 2, "set": {"rectifier": {"modules": [{"fault": 1}]}}},
                  {"after_rounds": 3, "set": {"rectifier": {"modules": [{"user_alarms": [5]}]}}}]})");
  auto ask = [&](uint8_t cid2) {
    const std::vector<Bytes> f = Decode(sim->Feed(Request(0x41, cid2)));
    return f.empty() ? -1 : f[0][cid2 == 0x44 ? 8 : 3];  // fault byte, or RTN
  };
  // No AC screens: rounds start at 0x41/0x41. Every second answer is dropped.
  EXPECT_EQ(ask(0x41), 0);   // answer 1: round 1
  EXPECT_EQ(ask(0x44), -1);  // answer 2 dropped
  EXPECT_EQ(ask(0x44), 0);   // answer 3
  EXPECT_EQ(ask(0x41), -1);  // answer 4 dropped: round 2 began
  EXPECT_EQ(ask(0x41), 0);   // answer 5: the re-send stays in round 2
  EXPECT_EQ(sim->stats().rounds_started, 2u);
  EXPECT_EQ(ask(0x41), -1);  // answer 6: a new round after a whole answer; 2 rounds done
  EXPECT_EQ(sim->stats().rounds_started, 3u);
  EXPECT_EQ(ask(0x44), 1);  // answer 7 carries the first change
  EXPECT_EQ(sim->scenario().rectifier.modules[0].user_alarms, Bytes(8, 0));
  ask(0x41);  // round 4: the second change (list replaced)
  EXPECT_EQ(sim->scenario().rectifier.modules[0].user_alarms, (Bytes{5}));
  EXPECT_EQ(sim->scenario().rectifier.modules[0].fault, 1) << "earlier change kept";
}

// Noise stays within its amplitude around the scenario's value, a step moves
// the base and stays, the alarm comes and goes on its schedule, and the same
// seed gives the same values.
TEST(SimMotion, NoiseStepsAndAlarmsFollowTheScenario) {
  const char* text = R"({"dc": [{"v": 53.5, "i": 20.0}],
      "noise": {"voltage": 0.1, "current": 0.5, "seed": 3},
      "steps": {"every_rounds": 4, "voltage": 2.0, "current": 10},
      "alarms": {"every_rounds": 6, "rounds": 2}})";
  auto a = Make(text);
  auto b = Make(text);
  std::vector<double> v, i;
  std::vector<int> state;
  for (int round = 0; round < 12; ++round) {
    Decode(a->Feed(Request(0x41, 0x41)));  // no AC screens: a round starts here
    Decode(b->Feed(Request(0x41, 0x41)));
    float fv = 0, fi = 0;
    std::memcpy(&fv, a->scenario().dc[0].v.bytes.data(), 4);
    std::memcpy(&fi, a->scenario().dc[0].i.bytes.data(), 4);
    v.push_back(fv);
    i.push_back(fi);
    state.push_back(a->scenario().dc[0].v_state);
    EXPECT_EQ(a->scenario().dc[0].v.bytes, b->scenario().dc[0].v.bytes) << "round " << round;
  }
  // Rounds 1-4 around the scenario's values; the step after 4 rounds moves
  // one of the two (the voltage first) by its size.
  for (int k = 0; k < 4; ++k) {
    EXPECT_NEAR(v[k], 53.5, 0.1001) << k;
    EXPECT_NEAR(i[k], 20.0, 0.5001) << k;
  }
  EXPECT_NEAR(std::fabs(v[4] - 53.5), 2.0, 0.1001);
  EXPECT_NEAR(std::fabs(v[7] - 53.5), 2.0, 0.1001) << "a step stays";
  EXPECT_NEAR(std::fabs(i[8] - 20.0), 10.0, 0.5001) << "the next step takes the current";
  EXPECT_NE(v[0], v[1]);
  EXPECT_EQ(state, (std::vector<int>{0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0}));
  std::string err;
  EXPECT_FALSE(Simulator::Create(ParseJson(R"({"noise": {"voltage": -1}})"), &err));
  EXPECT_EQ(err, "noise.voltage: must be a number from 0 to 1000");
  EXPECT_FALSE(
      Simulator::Create(ParseJson(R"({"alarms": {"every_rounds": 5, "rounds": 5}})"), &err));
  EXPECT_EQ(err, "alarms.rounds: must be fewer than alarms.every_rounds");
  EXPECT_FALSE(Simulator::Create(ParseJson(R"({"steps": 3})"), &err));
}

TEST(SimScenario, BadScenariosAreRefusedWithTheField) {
  std::string err;
  EXPECT_FALSE(Simulator::Create(ParseJson(R"({"dc": [{"fuses": [0, 256]}]})"), &err));
  EXPECT_EQ(err, "dc[0].fuses[1]: byte out of range");
  EXPECT_FALSE(Simulator::Create(ParseJson(R"({"ac": [{"current_alerts": [0, 0]}]})"), &err));
  EXPECT_EQ(err, "ac[0].current_alerts: needs exactly 3 bytes");
  for (const char* version : {R"("1")", R"("1.256")", R"("1.2.3")", R"("a.b")", R"(".5")",
                              R"("1.")", R"("-1.2")", R"("0001.2")", R"("")", "1.2", "[1, 20]"}) {
    err.clear();
    EXPECT_FALSE(Simulator::Create(ParseJson(std::string(R"({"version": )") + version + "}"), &err))
        << version;
    EXPECT_EQ(err, R"(version: not "MAJOR.MINOR" with two numbers 0-255)") << version;
  }
  // 70 modules of 33 bytes do not fit in 2047 information bytes.
  Json::Value big = ParseJson(R"({"rectifier": {"modules": []}})");
  for (int i = 0; i < 70; ++i) big["rectifier"]["modules"].append(Json::objectValue);
  EXPECT_FALSE(Simulator::Create(big, &err));
  EXPECT_EQ(err, "answer 41/41 would carry 2316 bytes (at most 2047)");
}

// The battery string: on mains the bus floats and the string reads 0 A; a
// lost mains takes the AC inputs to 0 V (phase missing, the alarm block
// flagged), the modules deliver nothing and the string carries the load,
// its voltage falling with the time that passed; back on mains it
// recharges. A test command does the same with the mains there and puts
// the modules into test mode; the float command ends it.
TEST(SimBattery, MainsLossAndTestMoveTheStringAndTheBus) {
  auto sim = Make(R"({
      "ac": [{"inputs": [{"a": 230, "b": 231, "c": 229, "f": 50}]}],
      "rectifier": {"value": 53.5, "modules": [{"value": 30, "states": [0, 0, 0]}]},
      "dc": [{"v": 53.5, "i": 30, "m": [0, 0], "user": [0, 0]}],
      "battery": {"capacity_ah": 100, "load_a": 40, "temp_user": 1, "temp_c": 18,
                  "mains_lost_after_rounds": 2, "mains_back_after_rounds": 4,
                  "test_command": "11", "float_command": "10", "charge_a": 8}})");
  ASSERT_NE(nullptr, sim);
  double now = 0;
  sim->SetClock([&] { return now; });
  auto f32 = [](const WireFloat& w) {
    float f = 0;
    std::memcpy(&f, w.bytes.data(), 4);
    return static_cast<double>(f);
  };
  std::vector<double> bus, string, a;
  std::vector<int> ac_flag, charge_mode;
  auto round = [&] {
    now += 600;                              // ten minutes a round
    Decode(sim->Feed(Request(0x40, 0x41)));  // an AC screen: rounds start here
    const Scenario& s = sim->scenario();
    bus.push_back(f32(s.dc[0].v));
    string.push_back(f32(s.dc[0].m[0]));
    a.push_back(f32(s.ac[0].inputs[0].a));
    ac_flag.push_back(s.ac_flag);
    charge_mode.push_back(s.rectifier.modules[0].states[2]);
  };
  for (int k = 0; k < 5; ++k) round();
  EXPECT_EQ(18.0, f32(sim->scenario().dc[0].user[1])) << "the string's temperature";
  EXPECT_EQ(string[0], 0.0);
  EXPECT_EQ(bus[1], 53.5);
  EXPECT_EQ(string[2], -40.0) << "rounds 3 and 4 without mains";
  EXPECT_EQ(string[3], -40.0);
  EXPECT_EQ(a[2], 0.0);
  EXPECT_EQ(sim->scenario().ac.size(), 1u);
  EXPECT_EQ(ac_flag[2], 17) << "the alarm block is flagged when mains goes";
  EXPECT_LT(bus[2], 52.0);
  EXPECT_LT(bus[3], bus[2]) << "ten minutes more at 40 A";
  EXPECT_EQ(string[4], 8.0) << "back on mains the string recharges";
  EXPECT_EQ(bus[4], 53.5);
  EXPECT_EQ(a[4], 230.0);
  EXPECT_LT(sim->battery_soc(), 1.0);

  // A test on mains: the plant's start command, then its float command.
  auto command = [&](uint8_t first) { Decode(sim->Feed(Request(0x41, 0x45, {first, 0}))); };
  command(0x11);
  EXPECT_TRUE(sim->battery_test_running());
  round();
  EXPECT_EQ(string.back(), -40.0);
  EXPECT_EQ(charge_mode.back(), 2) << "the modules read test mode";
  EXPECT_EQ(a.back(), 230.0) << "mains stays";
  command(0x10);
  EXPECT_FALSE(sim->battery_test_running());
  round();
  EXPECT_EQ(charge_mode.back(), 0);
  EXPECT_EQ(string.back(), 8.0);

  std::string err;
  EXPECT_FALSE(Simulator::Create(ParseJson(R"({"battery": {"peukert": 2}})"), &err));
  EXPECT_EQ(err, "battery.peukert: must be a number from 1 to 1.6");
  EXPECT_FALSE(Simulator::Create(ParseJson(R"({"battery": {"volts": 2}})"), &err));
  EXPECT_EQ(err, "battery.volts: not a member of battery");
  EXPECT_FALSE(Simulator::Create(ParseJson(R"({"battery": {"test_command": "XYZ"}})"), &err));
  EXPECT_EQ(err, "battery.test_command: not a hex byte");
}

}  // namespace
}  // namespace k417t::sim::test
