// The polling cycle: which request goes out next, how each answer is cut among
// the units, and how a round ends. Units are stand-ins that record their calls.
#include <unistd.h>

#include <memory>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include "controller/pmbus_power.h"
#include "controller/fake_units.h"
#include "support/test_host.h"

using namespace k417t_test;

// The 20 ms pause before each answer is handled: counted, not slept.
static int g_pauses = 0;
static useconds_t g_pause_us = 0;
extern "C" int __wrap_usleep(useconds_t us) {
  ++g_pauses;
  g_pause_us = us;
  return 0;
}

namespace {

using Controller = PMBusPower<FakeAC, FakeDC, FakeRC>;

class Poll : public ::testing::Test {
 protected:
  void Configure(int ac, int dc) {
    ctrl->protocol_ver = 0x21;
    ctrl->Init(host.controller, 500);
    Json::Value s(Json::objectValue);
    for (int i = 0; i < ac; ++i) s["acSetting"][i]["data_id"] = 11 + i;
    for (int i = 0; i < dc; ++i) s["dcSetting"][i]["data_id"] = 21 + i;
    s["rcSetting"] = Json::Value(Json::objectValue);
    ASSERT_TRUE(ctrl->InitSetting(s));
    for (auto& u : ctrl->ac_devices) u->log = &log, u->name = "ac" + std::to_string(u->DataId());
    for (auto& u : ctrl->dc_devices) u->log = &log, u->name = "dc" + std::to_string(u->DataId());
    ctrl->rc_device->log = &log;
  }

  // Delivers an answer: the decoded frame sits in a buffer of exactly its
  // size, so a read past the information field is caught by ASan.
  int Answer(uint8_t cid1, const Bytes& info, uint8_t rtn = 0) {
    const Bytes f = DecodedFrame(cid1, rtn, info);
    frame.reset(new unsigned char[f.size()]);
    std::copy(f.begin(), f.end(), frame.get());
    ctrl->recv_frame = frame.get();
    return ctrl->process_payload();
  }

  // Requests written since the last call, as "CID1/CID2 info" text.
  std::vector<std::string> Sent() {
    std::vector<std::string> out;
    auto all = host.services->requests();
    for (size_t i = seen; i < all.size(); ++i) {
      std::string s = fmt::format("{:02X}/{:02X}", all[i].cid1, all[i].cid2);
      for (unsigned char b : all[i].info) s += fmt::format(" {:02X}", b);
      out.push_back(s);
    }
    seen = all.size();
    return out;
  }

  // Answers the model query with `model` (padded to 20 bytes).
  void AnswerModel(const std::string& model = "K417T") {
    ASSERT_EQ(1, ctrl->RefreshStatus());
    Bytes info(model.begin(), model.end());
    info.resize(20, ' ');
    ASSERT_EQ(1, Answer(0x40, info));
    Sent();
  }

  void Age(int seconds) {
    ctrl->last_update = boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(seconds);
  }

  TestHost host;
  std::shared_ptr<Controller> ctrl = std::make_shared<Controller>(std::vector<std::string>{"K417T"});
  CallLog log;
  std::unique_ptr<unsigned char[]> frame;
  size_t seen = 0;
};

const Bytes kTwo{0x00, 0x01};  // flag, count of one unit

}  // namespace

TEST_F(Poll, FirstRoundFetchesEverythingInOrder) {
  Configure(1, 1);
  g_pauses = 0;
  ASSERT_EQ(1, ctrl->RefreshStatus());
  EXPECT_EQ(std::vector<std::string>{"40/51"}, Sent());
  Bytes model{'K', '4', '1', '7', 'T'};
  model.resize(20, '\0');  // zero padding is no model mismatch
  EXPECT_EQ(1, Answer(0x40, model));
  EXPECT_EQ("K417T", ctrl->detected_model);
  EXPECT_EQ(0, ctrl->check_model);
  EXPECT_EQ(1, Answer(0x40, Cat({{0x00, 0x01}, Bytes(30, 1)})));
  EXPECT_EQ(1, Answer(0x40, Cat({kTwo, Bytes(5, 1)})));
  EXPECT_EQ(1, Answer(0x40, Cat({kTwo, Bytes(18, 1)})));
  EXPECT_EQ(1, Answer(0x41, Bytes(39, 1)));
  EXPECT_EQ(1, Answer(0x41, Bytes(12, 1)));
  EXPECT_EQ(1, Answer(0x41, Bytes(12, 1)));
  EXPECT_EQ(1, Answer(0x42, Cat({kTwo, Bytes(127, 1)})));
  EXPECT_EQ(1, Answer(0x42, Cat({kTwo, Bytes(100, 1)})));
  EXPECT_EQ(1, Answer(0x40, Bytes(21, 1)));
  EXPECT_EQ(0, Answer(0x42, Bytes(9, 1)));
  const std::vector<std::string> want{"40/41 FF", "40/43 FF", "40/44 FF", "41/41", "41/43",
                                      "41/44",    "42/41 FF", "42/44 FF", "40/46", "42/46"};
  EXPECT_EQ(want, Sent());
  const std::vector<std::string> calls{
      "ac11.40_41:30", "ac11.40_43:5",  "ac11.40_44:18", "rc.41_41:39", "rc.41_43:12",
      "rc.41_44:12",   "dc21.42_41:127", "dc21.42_44:100", "rc.40_46:21", "rc.42_46:9",
      "ac11.round",    "dc21.round",     "rc.round"};
  EXPECT_EQ(calls, log.calls);
  EXPECT_EQ(0, ctrl->cmd_step);
  EXPECT_EQ(1, host.services->resets());
  EXPECT_EQ(11, g_pauses);
  EXPECT_EQ(20000u, g_pause_us);
  EXPECT_TRUE(host.services->points().empty());
}

TEST_F(Poll, AcFlagDecidesSwitchAndAlarmRequests) {
  struct Case {
    uint8_t flag;
    std::vector<std::string> want;
  } cases[] = {{0x00, {"41/41"}},
               {0x10, {"40/43 FF", "41/41"}},
               {0x01, {"40/44 FF", "41/41"}},
               {0x11, {"40/43 FF", "40/44 FF", "41/41"}}};
  Configure(1, 0);
  AnswerModel();
  ctrl->data_valid = 1;
  for (const Case& c : cases) {
    ctrl->cmd_step = 0;
    ASSERT_EQ(1, Answer(0x40, Cat({{c.flag, 0x01}, Bytes(30, 1)})));
    auto sent = Sent();
    while (ctrl->cmd_step == 1 || ctrl->cmd_step == 2) {
      Answer(0x40, Cat({kTwo, Bytes(ctrl->cmd_step == 1 ? 5 : 18, 1)}));
      auto more = Sent();
      sent.insert(sent.end(), more.begin(), more.end());
    }
    EXPECT_EQ(c.want, sent) << int(c.flag);
  }
}

TEST_F(Poll, RectifierAndDcFlagsInChangeDrivenMode) {
  Configure(0, 1);
  AnswerModel();
  ctrl->data_valid = 1;
  ctrl->cmd_step = 4;
  ASSERT_EQ(1, Answer(0x41, {0x00, 1, 2}));  // no change: straight to DC
  EXPECT_EQ(std::vector<std::string>{"42/41 FF"}, Sent());
  ASSERT_EQ(1, Answer(0x42, Cat({{0x00, 0x01}, Bytes(11, 1)})));
  EXPECT_EQ(std::vector<std::string>{"42/46"}, Sent());  // no AC units: DC parameters only
  ctrl->cmd_step = 4;
  ASSERT_EQ(1, Answer(0x41, {0x01, 1, 2}));
  EXPECT_EQ(std::vector<std::string>{"41/44"}, Sent());
  ctrl->cmd_step = 7;
  ASSERT_EQ(1, Answer(0x42, Cat({{0x10, 0x01}, Bytes(11, 1)})));
  EXPECT_EQ(std::vector<std::string>{"42/44 FF"}, Sent());
}

TEST_F(Poll, WithoutDcUnitsTheRoundEndsAfterTheRectifiers) {
  Configure(0, 0);
  AnswerModel();  // no AC units: the round starts with the rectifiers
  EXPECT_EQ(4, ctrl->cmd_step);
  EXPECT_EQ(1, Answer(0x41, Bytes(6, 0)));
  EXPECT_EQ(1, Answer(0x41, Bytes(2, 0)));
  EXPECT_EQ(0, Answer(0x41, Bytes(2, 0)));
  EXPECT_EQ((std::vector<std::string>{"41/43", "41/44"}), Sent());
  EXPECT_EQ("rc.round", log.calls.back());
  EXPECT_EQ(0, ctrl->cmd_step);
  // next round, after the host's 2-second spacing, starts with 41/41 again
  Age(2);
  EXPECT_EQ(1, ctrl->RefreshStatus());
  EXPECT_EQ(std::vector<std::string>{"41/41"}, Sent());
}

TEST_F(Poll, TwoSecondSpacingAfterTheModelQuery) {
  Configure(1, 0);
  Age(0);
  EXPECT_EQ(1, ctrl->RefreshStatus());  // the model query goes out at once
  EXPECT_EQ(std::vector<std::string>{"40/51"}, Sent());
  EXPECT_EQ(1, Answer(0x41, Bytes(20, 'x')));  // wrong CID1: asked again
  EXPECT_EQ(1, ctrl->check_model);
  EXPECT_EQ(1, ctrl->RefreshStatus());
  EXPECT_EQ(std::vector<std::string>{"40/51"}, Sent());
  EXPECT_EQ(1, Answer(0x40, Bytes(20, ' ')));
  Sent();
  ctrl->cmd_step = 0;
  ctrl->processing = 1;
  EXPECT_EQ(0, ctrl->RefreshStatus());
  EXPECT_EQ(0, ctrl->processing);
  EXPECT_TRUE(Sent().empty());
  Age(2);
  EXPECT_EQ(1, ctrl->RefreshStatus());
  EXPECT_EQ(std::vector<std::string>{"40/41 FF"}, Sent());
  Age(-3600);  // clock stepped back an hour: polling goes on
  EXPECT_EQ(1, ctrl->RefreshStatus());
  host.services->refresh_result = 0;  // the host says not now
  EXPECT_EQ(0, ctrl->RefreshStatus());
}

TEST_F(Poll, UnsupportedModelRaisesTheConfigurationAlarmOnce) {
  Configure(1, 0);
  AnswerModel("K500  ");
  auto points = host.services->points();
  ASSERT_EQ(1u, points.size());
  EXPECT_EQ(3u, points[0].level);
  EXPECT_EQ("device_model", points[0].key);
  EXPECT_EQ("70319", points[0].code);
  EXPECT_EQ("设备配置检测", points[0].name);
  EXPECT_EQ("本驱动类型:" + ctrl->DeviceType() + " 检测型号:K500", points[0].text);
  EXPECT_EQ(1, points[0].condition);
  EXPECT_EQ(0u, points[0].seq);
  EXPECT_EQ(0, ctrl->check_model);
}

TEST_F(Poll, WrongCid1IsIgnoredExceptInStepZero) {
  Configure(1, 1);
  AnswerModel();
  EXPECT_EQ(0, Answer(0x41, Bytes(32, 0)));  // step 0: reset, step stays 0
  EXPECT_EQ(1, host.services->resets());
  EXPECT_EQ(0, ctrl->cmd_step);
  for (int step : {1, 2, 4, 5, 6, 7, 8, 3, 9}) {
    ctrl->cmd_step = step;
    EXPECT_EQ(1, Answer(step >= 7 && step != 3 ? 0x40 : 0x42, Bytes(32, 0))) << step;
    EXPECT_EQ(step, ctrl->cmd_step);
  }
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(log.calls.empty());
}

TEST_F(Poll, CountMismatches) {
  Configure(2, 2);
  AnswerModel();
  EXPECT_EQ(0, Answer(0x40, Cat({{0x00, 0x03}, Bytes(90, 1)})));
  EXPECT_EQ("PMBusPower:ProcotolError 500 read ac_number is 3, configured ac_number is 2",
            host.services->logs().back());
  EXPECT_EQ(1, host.services->resets());
  ctrl->cmd_step = 7;
  EXPECT_EQ(1, Answer(0x42, Cat({{0x00, 0x01}, Bytes(127, 1)})));
  EXPECT_EQ("PMBusPower:ProcotolError 500 read dc_number is 1, configured dc_number is 2",
            host.services->logs().back());
  EXPECT_EQ(7, ctrl->cmd_step);
  ctrl->cmd_step = 8;
  EXPECT_EQ(1, Answer(0x42, Cat({{0x00, 0x03}, Bytes(10, 1)})));
  EXPECT_EQ(8, ctrl->cmd_step);
  EXPECT_EQ(1, ctrl->RefreshStatus());  // the DC request is sent again
  Age(5);
  EXPECT_EQ(std::vector<std::string>{"42/44 FF"}, Sent());
  EXPECT_TRUE(log.calls.empty());
}

TEST_F(Poll, SplitsAmongUnitsAndChecksWhatWasConsumed) {
  Configure(2, 0);
  AnswerModel();
  ctrl->ac_devices[0]->fixed = 30;
  ctrl->ac_devices[1]->fixed = 30;
  EXPECT_EQ(1, Answer(0x40, Cat({{0x00, 0x02}, Bytes(60, 1)})));
  EXPECT_EQ((std::vector<std::string>{"ac11.40_41:60", "ac12.40_41:30"}), log.calls);
  EXPECT_EQ(1, ctrl->cmd_step);
  // one byte left over: logged, the answer abandoned
  ctrl->cmd_step = 0;
  EXPECT_EQ(1, Answer(0x40, Cat({{0x00, 0x02}, Bytes(61, 1)})));
  EXPECT_EQ("PMBusPower:ProcotolError 500 parse 40_41 overflow memory boundary",
            host.services->logs().back());
  EXPECT_EQ(0, ctrl->cmd_step);
  // switch states with nothing after flag and count: no unit called
  log.calls.clear();
  ctrl->cmd_step = 1;
  EXPECT_EQ(1, Answer(0x40, {0x00, 0x02}));
  EXPECT_TRUE(log.calls.empty());
  EXPECT_EQ(2, ctrl->cmd_step);
  // alarm states that do not add up: no log, no request
  const size_t logs = host.services->logs().size();
  Sent();
  EXPECT_EQ(1, Answer(0x40, Cat({kTwo, Bytes(59, 1)})));
  EXPECT_EQ(logs, host.services->logs().size());
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(2, ctrl->cmd_step);
}

TEST_F(Poll, RefusedSliceDropsTheAnswerSilently) {
  Configure(2, 2);
  AnswerModel();
  ctrl->ac_devices[0]->script = {-1};
  EXPECT_EQ(1, Answer(0x40, Cat({{0x00, 0x02}, Bytes(60, 1)})));
  EXPECT_EQ(std::vector<std::string>{"ac11.40_41:60"}, log.calls);
  EXPECT_EQ(0, ctrl->cmd_step);
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(host.services->logs().empty());
  ctrl->cmd_step = 3;
  ctrl->rc_device->script = {-1};
  EXPECT_EQ(1, Answer(0x40, Bytes(21, 0)));
  EXPECT_EQ(3, ctrl->cmd_step);
}

TEST_F(Poll, UnitClaimingMoreThanIsLeftStopsTheSplit) {
  Configure(2, 2);
  AnswerModel();
  ctrl->ac_devices[0]->fixed = 500;
  EXPECT_EQ(1, Answer(0x40, Cat({{0x00, 0x02}, Bytes(60, 1)})));
  EXPECT_EQ(std::vector<std::string>{"ac11.40_41:60"}, log.calls);
  EXPECT_EQ("PMBusPower:ProcotolError 500 parse 40_41 overflow memory boundary",
            host.services->logs().back());
  log.calls.clear();
  ctrl->cmd_step = 7;
  ctrl->dc_devices[0]->fixed = 200;
  EXPECT_EQ(1, Answer(0x42, Cat({{0x00, 0x02}, Bytes(127, 1)})));
  EXPECT_EQ(std::vector<std::string>{"dc21.42_41:127"}, log.calls);
  EXPECT_EQ("PMBusPower:ProcotolError 500 parse 42_41 overflow memory boundary",
            host.services->logs().back());
  EXPECT_EQ(8, ctrl->cmd_step);  // DC answers are only logged, the cycle goes on
}

TEST_F(Poll, FourDcUnitsStartAtTheCountByte) {
  Configure(0, 4);
  AnswerModel();
  for (auto& dc : ctrl->dc_devices) dc->fixed = 10;
  ctrl->cmd_step = 7;
  EXPECT_EQ(1, Answer(0x42, Cat({{0x00, 0x04}, Bytes(39, 1)})));
  EXPECT_EQ("dc21.42_41:40", log.calls.front());
}

// A controller that sends its model without padding (or none at all) is
// compared on what it sent, and polling starts either way.
TEST_F(Poll, ShortModelAnswersStartPolling) {
  for (const std::string& model : {std::string("K417T"), std::string("K41"), std::string()}) {
    host = TestHost();
    ctrl = std::make_shared<Controller>(std::vector<std::string>{"K417T"});
    Configure(1, 1);
    ASSERT_EQ(1, ctrl->RefreshStatus());
    EXPECT_EQ(1, Answer(0x40, Bytes(model.begin(), model.end())));
    EXPECT_EQ(0, ctrl->check_model) << model;
    EXPECT_EQ(0, ctrl->cmd_step) << model;
    EXPECT_EQ(model, ctrl->detected_model);
    EXPECT_EQ(model == "K417T" ? 0u : 1u, host.services->points().size()) << model;
  }
}

TEST_F(Poll, ShortAnswersAreLoggedAndKeepTheStep) {
  Configure(1, 1);
  ASSERT_EQ(1, ctrl->RefreshStatus());
  AnswerModel();
  for (int step : {0, 2, 7, 8}) {
    for (const Bytes& info : {Bytes{}, Bytes{0x00}}) {
      const size_t logs = host.services->logs().size();
      ctrl->cmd_step = step;
      EXPECT_EQ(1, Answer(step >= 7 ? 0x42 : 0x40, info)) << step;
      EXPECT_EQ(step, ctrl->cmd_step);
      if (step == 2) {  // the alarm-state answer is refused without a word
        EXPECT_EQ(logs, host.services->logs().size());
      } else {
        EXPECT_NE(std::string::npos, host.services->logs().back().find("too short")) << step;
      }
    }
  }
  ctrl->cmd_step = 4;
  EXPECT_EQ(1, Answer(0x41, {}));
  EXPECT_EQ(4, ctrl->cmd_step);
  EXPECT_TRUE(log.calls.empty());
}

TEST_F(Poll, LostAnswersAreSentAgainInEveryPollingStep) {
  Configure(1, 1);
  AnswerModel();
  Age(5);
  const std::pair<int, const char*> steps[] = {{1, "40/43 FF"}, {2, "40/44 FF"}, {4, "41/41"},
                                              {5, "41/43"},    {6, "41/44"},    {7, "42/41 FF"},
                                              {8, "42/44 FF"}, {3, "40/46"},    {9, "42/46"}};
  for (const auto& s : steps) {
    ctrl->cmd_step = s.first;
    EXPECT_EQ(0, ctrl->process_error());
    EXPECT_EQ(1, ctrl->RefreshStatus());
    EXPECT_EQ(std::vector<std::string>{s.second}, Sent()) << s.first;
    EXPECT_EQ(s.first, ctrl->cmd_step);
  }
}

TEST_F(Poll, DcRequestsCarryTheGroupByteOnlyForVersion21) {
  Configure(0, 1);
  AnswerModel();
  ctrl->protocol_ver = 0x20;
  Age(5);
  ctrl->cmd_step = 7;
  ctrl->RefreshStatus();
  EXPECT_EQ(std::vector<std::string>{"42/41"}, Sent());
}
