#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/units/rc/rc_blocks.h"
#include "units/rc/k417t_rc.h"

// Poll thread parses and ends rounds; a host thread reads and restores images
// with another module count; a third runs the jobs. Each history record must
// be its own round's image.
TEST(RcConcurrency, ReadsRestoresAndJobsDuringPolling) {
  rc_test::TestHost host;
  auto unit = std::make_shared<K417TRC>();
  unit->Init(host.controller, 5);
  std::atomic<bool> done{false};
  std::string image(45 + 53 * 2, '\x01');
  image[37] = 2;  // module_count
  testing::internal::CaptureStdout();
  std::thread reader([&] {
    while (!done) rc_test::Refusal(*unit), unit->LoadFromCache(image);
  });
  std::thread jobs([&] {
    while (!done) host.services->RunJobs();
  });
  for (int round = 0; round < 300; ++round) {
    const rc_test::Bytes a = rc_test::Analog(3, static_cast<float>(round)),
                         f = rc_test::Alarms({1, 0});
    unit->parse41_41(a.data(), static_cast<int>(a.size()));
    unit->parse41_44(f.data(), static_cast<int>(f.size()));
    unit->RoundDone();
  }
  done = true;
  reader.join();
  jobs.join();
  testing::internal::GetCapturedStdout();
  host.services->RunJobs();
  const auto images = host.services->images();
  const auto history = host.services->history();
  ASSERT_EQ(history.size(), 300u);
  for (size_t k = 0; k < 300; ++k) EXPECT_EQ(history[k].bytes, images[k].bytes) << k;
}
