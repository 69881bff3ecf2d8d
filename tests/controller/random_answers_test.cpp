// Whatever the line delivers, in whatever step: no read outside the answer
// (the frame sits in a buffer of exactly its size, so ASan sees any), no
// exception, and the next poll still sends a request.
#include <gtest/gtest.h>
#include <json/json.h>

#include <random>

#include "controller/k417t.h"
#include "support/test_host.h"

using namespace k417t_test;

extern "C" int __wrap_usleep(useconds_t) { return 0; }

TEST(RandomAnswers, AnyBytesInAnyStepAreSurvived) {
  TestHost host;
  host.services->run_jobs_inline = true;
  auto ctrl = std::make_shared<K417T>();
  ctrl->Init(host.controller, 100);
  Json::Value s(Json::objectValue);
  s["acSetting"][0]["data_id"] = 11;
  s["dcSetting"][0]["data_id"] = 21;
  s["dcSetting"][1]["data_id"] = 22;
  s["rcSetting"] = Json::Value(Json::objectValue);
  ASSERT_TRUE(ctrl->InitSetting(s));

  std::mt19937 rng(417);
  const int steps[] = {14, 0, 1, 2, 4, 5, 6, 7, 8, 3, 9, 104};
  const uint8_t cid1[] = {0x40, 0x40, 0x40, 0x40, 0x41, 0x41, 0x41, 0x42, 0x42, 0x40, 0x42, 0x41};
  testing::internal::CaptureStdout();
  for (int i = 0; i < 6000; ++i) {
    const size_t pick = rng() % 12;
    ctrl->cmd_step = steps[pick];
    ctrl->check_model = pick == 0 ? 1 : 0;
    ctrl->data_valid = rng() % 2;
    // short answers are the interesting ones; some run to the frame limit
    const size_t len = rng() % 8 == 0 ? rng() % 2048 : rng() % 140;
    Bytes info(len);
    const int fill = static_cast<int>(rng() % 4);
    for (auto& b : info) b = fill == 0 ? 0 : fill == 1 ? 0xFF : static_cast<unsigned char>(rng() % (rng() % 2 ? 4 : 256));
    if (len > 1 && rng() % 2) info[1] = static_cast<unsigned char>(rng() % 4);  // plausible counts
    const Bytes f = DecodedFrame(rng() % 10 == 0 ? 0x43 : cid1[pick], 0, info);
    std::unique_ptr<unsigned char[]> frame(new unsigned char[f.size()]);
    std::copy(f.begin(), f.end(), frame.get());
    ctrl->recv_frame = frame.get();
    ASSERT_NO_THROW(rng() % 5 == 0 ? ctrl->process_error() : ctrl->process_payload());
    ctrl->recv_frame = nullptr;
  }
  testing::internal::GetCapturedStdout();
  // the cycle is still alive: a poll sends something
  ctrl->cmd_step = 0;
  ctrl->last_update = boost::posix_time::ptime(boost::gregorian::date(2000, 1, 1));
  const size_t before = host.services->requests().size();
  EXPECT_EQ(1, ctrl->RefreshStatus());
  EXPECT_EQ(before + 1, host.services->requests().size());
}
