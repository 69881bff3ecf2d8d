// Control commands and queries from a host thread while the poll thread runs
// rounds: cmd_step and cmd_result must be race-free.
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "controller/k417t.h"
#include "support/test_host.h"

using namespace k417t_test;

extern "C" int __wrap_usleep(useconds_t) { return 0; }

TEST(IoControlConcurrency, CommandsWhileRoundsRun) {
  TestHost host;
  auto ctrl = std::make_shared<K417T>();
  ctrl->Init(host.controller, 500);
  Json::Value s(Json::objectValue);
  s["rcSetting"] = Json::Value(Json::objectValue);
  ASSERT_TRUE(ctrl->InitSetting(s));
  ctrl->check_model = 0;
  host.services->run_jobs_inline = true;

  std::atomic<bool> stop{false};
  std::thread commander([&] {
    int n = 0;
    while (!stop && n < 3000) {
      int out = 0, out_len = 0;
      const unsigned char in = static_cast<unsigned char>(n);
      ctrl->DeviceIoControl(n % 2 ? 106 : 1, &in, 1, &out, 4, out_len);
      ++n;
    }
  });

  // Rectifier-only rounds: 41/41 with no modules, then states and alarms.
  const Bytes answers[] = {{0x00, 0, 0, 0, 0, 0}, {0x00, 0}, {0x00, 0}};
  std::vector<unsigned char> frame;
  for (int round = 0; round < 300; ++round) {
    ctrl->RefreshStatus();
    for (const Bytes& info : answers) {
      frame = DecodedFrame(0x41, 0, info);
      ctrl->recv_frame = frame.data();
      ctrl->process_payload();
    }
  }
  stop = true;
  commander.join();
  EXPECT_GT(host.services->requests().size(), 300u);
}
