#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ac_blocks.h"

using namespace ac_test;

// Poll thread parses and ends rounds, a host thread reads values and restores
// cached images, a third thread runs the queued jobs. Each history record
// must equal the image published at its round end.
TEST(AcConcurrency, ReadsRestoresAndJobsDuringPolling) {
  Fixture fx;
  ASSERT_EQ(fx.Parse(kP41, Analog(1)), 30);
  fx.unit->RoundDone();
  const Bytes cached = fx.host.services->images().back().bytes;
  std::atomic<bool> done{false};

  std::thread reader([&] {
    while (!done) {
      for (const char* key : {"ia", "channel_0_a", "ib_alert", "channel_3_a"}) {
        try {
          fx.unit->Get_Value(0, key);
        } catch (const std::out_of_range&) {
        }
      }
      fx.unit->LoadFromCache(cached.data(), static_cast<int>(cached.size()));
    }
  });
  std::thread jobs([&] {
    while (!done) fx.host.services->RunJobs();
  });
  for (int i = 0; i < 300; ++i) {
    const float v = 200.0f + i;
    fx.Parse(kP41, Analog(1, Cat({F32(v), F32(v), F32(v)})));
    fx.Parse(kP43, {0, 3, 1, 2, static_cast<unsigned char>(i)});
    fx.Parse(kP44, Alarm({{static_cast<unsigned char>(i % 4), 0, 0, 0}}, kUserStates));
    fx.unit->RoundDone();
  }
  done = true;
  reader.join();
  jobs.join();
  fx.host.services->RunJobs();

  const auto images = fx.host.services->images();
  const auto history = fx.host.services->history();
  ASSERT_EQ(history.size(), images.size());
  for (size_t i = 0; i < images.size(); ++i) EXPECT_EQ(history[i].bytes, images[i].bytes) << i;
}
