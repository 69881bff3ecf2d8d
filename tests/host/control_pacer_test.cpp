// Control pacing per device: one command at a time, spaced, a short queue
// and refusals at once beyond it (run under ThreadSanitizer too).
#include "site/control_pacer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = qmx::ControlPacer::Clock;

bool Eventually(const std::function<bool()>& f) {
  for (int i = 0; i < 1000; ++i) {
    if (f()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return f();
}

TEST(ControlPacer, OneCommandAtATimeSpacedAndAShortQueue) {
  qmx::ControlPacer gate({100ms, 2});
  std::string why;
  ASSERT_TRUE(gate.Enter(7, Clock::now() + 5s, why));
  // Another device is not held up by this one.
  ASSERT_TRUE(gate.Enter(8, Clock::now() + 5s, why)) << why;
  gate.Leave(8);

  std::mutex mu;
  std::vector<Clock::time_point> starts, ends;
  std::atomic<int> entered{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i)
    waiters.emplace_back([&] {
      std::string w;
      if (!gate.Enter(7, Clock::now() + 10s, w)) return;
      {
        std::lock_guard<std::mutex> lock(mu);
        starts.push_back(Clock::now());
      }
      ++entered;
      std::this_thread::sleep_for(20ms);
      {
        std::lock_guard<std::mutex> lock(mu);
        ends.push_back(Clock::now());
      }
      gate.Leave(7);
    });
  ASSERT_TRUE(Eventually([&] { return gate.waiting(7) == 2; }));
  // The queue is full: refused at once, however long the caller would wait.
  const auto t0 = Clock::now();
  EXPECT_FALSE(gate.Enter(7, Clock::now() + 60s, why));
  EXPECT_LT(Clock::now() - t0, 30s);
  EXPECT_NE(why.find("already wait"), std::string::npos) << why;
  EXPECT_EQ(0, entered.load());  // none while the first holds the device
  const auto released = Clock::now();
  gate.Leave(7);
  for (auto& t : waiters) t.join();
  ASSERT_EQ(2u, starts.size());
  std::sort(starts.begin(), starts.end());
  std::sort(ends.begin(), ends.end());
  // Each start comes at least the spacing after the previous command ended.
  EXPECT_GE(starts[0] - released, 100ms);
  EXPECT_GE(starts[1] - ends[0], 100ms);
}

TEST(ControlPacer, AWaitThatWouldPassItsDeadlineIsRefused) {
  qmx::ControlPacer gate({10s, 4});
  std::string why;
  ASSERT_TRUE(gate.Enter(1, Clock::now() + 1s, why));
  gate.Leave(1);
  // The next turn is 10 s away; this caller waits 50 ms at most.
  EXPECT_FALSE(gate.Enter(1, Clock::now() + 50ms, why));
  EXPECT_NE(why.find("busy"), std::string::npos) << why;
  EXPECT_EQ(0u, gate.waiting(1));
}

TEST(ControlPacer, AFloodFromManyThreadsGetsBoundedTurnsAndEveryCallerAnAnswer) {
  const auto spacing = 50ms;
  qmx::ControlPacer gate({spacing, 3});
  std::atomic<int> taken{0}, refused{0}, inside{0}, overlap{0};
  const auto t0 = Clock::now();
  std::vector<std::thread> flood;
  for (int t = 0; t < 8; ++t)
    flood.emplace_back([&] {
      for (int n = 0; n < 20; ++n) {
        std::string why;
        if (!gate.Enter(3, Clock::now() + 200ms, why)) {
          ++refused;
          continue;
        }
        if (inside.fetch_add(1) != 0) ++overlap;
        ++taken;
        inside.fetch_sub(1);
        gate.Leave(3);
      }
    });
  for (auto& t : flood) t.join();
  const auto elapsed = Clock::now() - t0;
  EXPECT_EQ(160, taken.load() + refused.load());
  EXPECT_EQ(0, overlap.load());
  EXPECT_GT(refused.load(), 0);
  // Commands are at least the spacing apart: no more than the time allows.
  EXPECT_LE(taken.load(), 1 + elapsed / spacing);
}

}  // namespace
