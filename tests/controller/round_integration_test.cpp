// One whole polling round through the controller and its real units: the
// answers a K417T gives (built by the simulator), in, and what the host gets,
// out.
#include <gtest/gtest.h>
#include <json/json.h>

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
