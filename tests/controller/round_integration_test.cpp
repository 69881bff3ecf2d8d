// One whole polling round through the controller and its real units: the
// answers a K417T gives (built by the simulator), in, and what the host gets,
// out.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstring>
#include <functional>
#include <sstream>

#include "controller/k417t.h"
#include "sim/simulator.h"
#include "support/test_host.h"

using namespace k417t_test;

extern "C" int __wrap_usleep(useconds_t) { return 0; }

TEST(RoundThroughTheController, EveryUnitPublishesStatesItsRowsAndQueuesOneJob) {
  Json::Value scen;
  Json::CharReaderBuilder b;
  std::string err;
  std::istringstream text(R"({
    "ac": [ { "inputs": [ { "a": 230, "alerts": [1, 0, 0, 0] }, { "a": 231 } ], "current_alerts": [0, 2, 0] } ],
    "rectifier": { "modules": [ { "fault": 0 }, { "fault": 1 }, { "fault": 0 } ] },
    "dc": [ { "v": 53.5, "v_state": 2 }, { "v": 53.4, "fuses": [0, 0, 0, 3, 0, 0, 0, 0, 0, 0] } ] })");
  ASSERT_TRUE(Json::parseFromStream(b, text, &scen, &err)) << err;
  auto sim = k417t::sim::Simulator::Create(scen, &err);
  ASSERT_NE(nullptr, sim) << err;

  TestHost host;
  auto ctrl = std::make_shared<K417T>();
  ctrl->Init(host.controller, 100);
  Json::Value setting(Json::objectValue);
  setting["acSetting"][0]["data_id"] = 11;
  setting["dcSetting"][0]["data_id"] = 21;
  setting["dcSetting"][1]["data_id"] = 22;
  setting["rcSetting"] = Json::Value(Json::objectValue);
  ASSERT_TRUE(ctrl->InitSetting(setting));

  testing::internal::CaptureStdout();  // the units' traces
  ASSERT_EQ(1, ctrl->RefreshStatus());
  int result = 1;
  for (int answers = 0; result == 1 && answers < 20; ++answers) {
    const auto req = host.services->requests().back();
    const Bytes info = sim->InfoFor(req.cid1, req.cid2);
    Bytes frame = DecodedFrame(req.cid1, 0, info);
    ctrl->recv_frame = frame.data();
    result = ctrl->process_payload();
  }
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(0, result);
  EXPECT_EQ(11u, host.services->requests().size());  // model query + ten data requests
  EXPECT_TRUE(host.services->logs().empty());

  // images: AC, DC, DC, then the rectifier unit
  auto images = host.services->images();
  ASSERT_EQ(4u, images.size());
  const std::tuple<unsigned, int, size_t> want[] = {
      {11, 5091, 32 + 30 * 2}, {21, 5093, 238}, {22, 5093, 238}, {100, 5092, 45 + 53 * 3}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(std::get<0>(want[i]), images[i].data_id);
    EXPECT_EQ(std::get<1>(want[i]), images[i].type);
    EXPECT_EQ(std::get<2>(want[i]), images[i].bytes.size());
    EXPECT_FALSE(images[i].flag);
  }

  // rows: per unit, sequence numbers from 1 without a gap, in unit order
  auto points = host.services->points();
  std::vector<std::pair<unsigned, size_t>> per_unit;
  std::vector<std::string> raised;
  for (const auto& p : points) {
    if (per_unit.empty() || per_unit.back().first != p.data_id) per_unit.push_back({p.data_id, 0});
    EXPECT_EQ(++per_unit.back().second, p.seq) << p.key;
    if (p.condition) raised.push_back(std::to_string(p.data_id) + ":" + p.key + ":" + p.text);
  }
  const std::vector<std::pair<unsigned, size_t>> rows{{11, 45}, {21, 12}, {22, 12}, {100, 3}};
  EXPECT_EQ(rows, per_unit);
  const std::vector<std::string> want_raised{"11:AC_0:交流屏1输入线/相电压AB/A", "11:AC_16:其他告警",
                                             "21:DC_1:输出电压过高告警",
                                             "22:DC_3:直流4电池熔丝故障告警",
                                             "100:RC_0:模块2整流模块故障告警"};
  EXPECT_EQ(want_raised, raised);

  // one job per unit, each owning its round's rules and image
  EXPECT_EQ(4u, host.services->jobs_total());
  for (const auto& u : ctrl->GetAllChildVDevices()) EXPECT_TRUE(u->pending_rules.empty());
  EXPECT_EQ(4u, host.services->RunJobs());
  auto history = host.services->history();
  ASSERT_EQ(4u, history.size());
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(images[i].bytes, history[i].bytes);
  auto batches = host.services->batches();
  ASSERT_EQ(4u, batches.size());
  EXPECT_EQ(45u, batches[0].rules.size());
  EXPECT_EQ(3u, batches[3].rules.size());
  EXPECT_EQ(0, ctrl->cmd_step);
  EXPECT_EQ(1, host.services->resets());
}

namespace {

// A K417T with one AC screen (11) of two inputs, input 2 under voltage, and
// three rectifier modules, module 3 in fault; no DC units.
struct GlitchSite {
  TestHost host;
  std::shared_ptr<K417T> ctrl = std::make_shared<K417T>();
  std::unique_ptr<k417t::sim::Simulator> sim;
  explicit GlitchSite(const std::string& scenario) {
    Json::Value scen;
    Json::CharReaderBuilder b;
    std::string err;
    std::istringstream text(scenario);
    EXPECT_TRUE(Json::parseFromStream(b, text, &scen, &err)) << err;
    sim = k417t::sim::Simulator::Create(scen, &err);
    ctrl->Init(host.controller, 100);
    Json::Value setting(Json::objectValue);
    setting["acSetting"][0]["data_id"] = 11;
    setting["rcSetting"] = Json::Value(Json::objectValue);
    EXPECT_TRUE(ctrl->InitSetting(setting));
  }
  // One round; `glitch` edits the 0x40/0x41 answer the first time it comes.
  // Returns the controller's last result.
  int Round(const std::function<void(Bytes&)>& glitch = {}) {
    ctrl->last_update -= boost::posix_time::seconds(5);  // past the 2 s spacing
    host.services->Clear();
    testing::internal::CaptureStdout();
    int result = ctrl->RefreshStatus();
    bool glitched = false;
    for (int answers = 0; result == 1 && answers < 20; ++answers) {
      if (host.services->requests().empty()) break;
      const auto req = host.services->requests().back();
      Bytes info = sim->InfoFor(req.cid1, req.cid2);
      if (req.cid1 == 0x40 && req.cid2 == 0x41 && glitch && !glitched) {
        glitch(info);
        glitched = true;
        Bytes frame = DecodedFrame(req.cid1, 0, info);
        ctrl->recv_frame = frame.data();
        result = ctrl->process_payload();
        EXPECT_EQ(1, result);
        result = ctrl->RefreshStatus();  // the step's request again
        continue;
      }
      Bytes frame = DecodedFrame(req.cid1, 0, info);
      ctrl->recv_frame = frame.data();
      result = ctrl->process_payload();
    }
    testing::internal::GetCapturedStdout();
    host.services->RunJobs();
    return result;
  }
  std::vector<std::string> Raised() const {
    std::vector<std::string> out;
    for (const auto& p : host.services->points())
      if (p.condition) out.push_back(std::to_string(p.data_id) + ":" + p.key + ":" + p.text);
    return out;
  }
  bool Logged(const std::string& part) const {
    for (const auto& l : host.services->logs())
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
};

const char* kTwoInputs = R"({
    "ac": [ { "inputs": [ { "a": 230 }, { "a": 231, "alerts": [1, 0, 0, 0] } ] } ],
    "rectifier": { "modules": [ { "fault": 0 }, { "fault": 0 }, { "fault": 1 } ] },
    "dc": [] })";

}  // namespace

// One answer whose count byte says 1 while it carries two inputs: the
// controller refuses it, and nothing of it stays in the unit — no count
// change, no values; the round that follows states input 2's alarm as before.
TEST(CountGlitch, RefusedAnswerChangesNeitherCountNorValues) {
  GlitchSite s(kTwoInputs);
  ASSERT_EQ(0, s.Round());
  const auto& ac = s.ctrl->ac_devices[0];
  ASSERT_EQ(2u, ac->channels.size());
  const std::vector<std::string> before = s.Raised();
  ASSERT_EQ((std::vector<std::string>{"11:AC_0:交流屏2输入线/相电压AB/A",
                                      "100:RC_0:模块3整流模块故障告警"}),
            before);

  ASSERT_EQ(0, s.Round([&](Bytes& info) {
    // flag, screen count, then the screen: its input count, input 1's a (f32)
    info[2] = 1;
    const float odd = 99.0f;
    std::memcpy(&info[3], &odd, 4);
  }));
  EXPECT_TRUE(s.Logged("parse 40_41 overflow memory boundary"));
  EXPECT_FALSE(s.Logged("input count changed"));
  EXPECT_EQ(2u, ac->channels.size());
  EXPECT_EQ(2, ac->ac.channel_count);
  EXPECT_EQ(230.0f, k417t::LoadF32(&ac->channels[0].a));  // the refused 99 never landed
  EXPECT_EQ(before, s.Raised());
}

// A rectifier answer whose count byte says 2 while it carries three modules:
// neither the count nor anything else of it is taken over.
TEST(CountGlitch, RefusedRectifierAnswerKeepsTheModules) {
  GlitchSite s(kTwoInputs);
  ASSERT_EQ(0, s.Round());
  s.host.services->Clear();
  s.ctrl->last_update -= boost::posix_time::seconds(5);
  testing::internal::CaptureStdout();
  s.ctrl->cmd_step = 4;
  s.ctrl->RefreshStatus();
  Bytes info = s.sim->InfoFor(0x41, 0x41);
  const float odd = 7.0f;
  std::memcpy(&info[1], &odd, 4);  // flag, rc_value (f32), module count
  info[5] = 2;
  Bytes frame = DecodedFrame(0x41, 0, info);
  s.ctrl->recv_frame = frame.data();
  EXPECT_EQ(1, s.ctrl->process_payload());
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(s.Logged("parse p41_41 overflow memory boundary"));
  EXPECT_EQ(3u, s.ctrl->rc_device->channels.size());
  EXPECT_NE(7.0f, k417t::LoadF32(&s.ctrl->rc_device->group.rc_value));
}
