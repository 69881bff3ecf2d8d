#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/units/dc/dc_blocks.h"
#include "units/dc/k417t_dc.h"

// Poll thread parses and ends rounds; a host thread reads and restores; a third
// runs the jobs. Each history record must be its own round's image.
TEST(DcConcurrency, ReadsRestoresAndJobsDuringPolling) {
  dc_test::TestHost host;
  auto unit = std::make_shared<K417TDC>();
  unit->Init(host.controller, 5);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) dc_test::Refusal(*unit, "v"), unit->LoadFromCache(std::string(238, '\x01'));
  });
  std::thread jobs([&] {
    while (!done) host.services->RunJobs();
  });
  testing::internal::CaptureStdout();
  for (int round = 0; round < 300; ++round) {
    dc_test::Bytes a = dc_test::Analog(2, 0, 27), s = dc_test::State(1, 10, 87, round % 10);
    a[4] = static_cast<unsigned char>(round);
    unit->parse42_41(a.data(), static_cast<int>(a.size()));
    unit->parse42_44(s.data(), static_cast<int>(s.size()));
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
