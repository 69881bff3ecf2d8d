// The alarm board under the threads that reach it at once: the job worker
// with rounds, a line with link changes, the ticker, front ends' readers and
// operators' actions, with a listener that reads the board back.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "view/alarm_board.h"

namespace qmx::view {
namespace {

constexpr int64_t kT0 = 1700000000;

TEST(AlarmBoardConcurrency, RoundsLinksTicksReadersAndActionsTogether) {
  AlarmBoard board;
  std::atomic<uint64_t> told{0};
  std::atomic<size_t> seen{0};
  board.SetListener([&](const AlarmNotice&) {
    ++told;
    seen += board.States().size();  // a listener may read the board
  });
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (unsigned int dev = 1; dev <= 2; ++dev) {
    threads.emplace_back([&, dev] {
      for (int i = 0; i < 400; ++i) {
        store::AlarmEvent e{kT0 + i, 10 * dev, 2, "AC_8", "06017", "n", "交流屏1输入", 9,
                            i % 2 == 0};
        board.OnEvents(dev, {e}, kT0 + i);
        if (i % 50 == 0) board.OnLink(dev, i % 100 != 0, kT0 + i);
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; !stop; ++i) board.Tick(kT0 + i);
  });
  threads.emplace_back([&] {
    for (int i = 0; !stop; ++i) {
      board.Acknowledge({1, 10, "AC_8", 9}, {"op", kT0 + i, "", 0});
      board.Shelve({2, 20, "AC_8", 9}, {"op", kT0 + i, "", kT0 + i + 60});
      board.Maintenance(1, {"op", kT0 + i, "", i % 2 ? 0 : kT0 + i + 60});
    }
  });
  threads.emplace_back([&] {
    while (!stop) {
      (void)board.Kpis(kT0);
      (void)board.States(1);
      (void)board.MaintenanceOf(2);
    }
  });
  threads[0].join();
  threads[1].join();
  stop = true;
  for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
  EXPECT_GT(told.load(), 0u);
  EXPECT_EQ(board.Kpis(kT0 + 1000).transitions_total, 800u);
}

}  // namespace
}  // namespace qmx::view
