#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "store/alarm_service.h"
#include "store/job_runner.h"

namespace qmx::store {
namespace {

// A throwing job is logged and the rest still run, in order, before Stop
// returns; after a stop a job runs on the caller's thread.
TEST(JobRunner, RunsJobsInOrderSurvivesThrowsAndStopDrains) {
  std::vector<std::string> log;  // the worker writes, the test reads after Stop
  std::vector<int> done;
  JobRunner jobs(1000, [&](const std::string& line) { log.push_back(line); });
  for (int i = 0; i < 300; ++i) {
    EXPECT_TRUE(jobs.Post([&done, i] {
      done.push_back(i);
      if (i == 10) throw std::runtime_error("disk gone");
      if (i == 20) throw 42;
    }));
  }
  jobs.Stop();
  ASSERT_EQ(done.size(), 300u);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(done[i], i);
  EXPECT_EQ(jobs.failed(), 2u);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "jobs: round job failed: disk gone");
  bool ran = false;
  EXPECT_FALSE(jobs.Post([&] { ran = true; }));
  EXPECT_TRUE(ran);
}

TEST(JobRunner, FullQueueRunsTheJobOnTheCallersThread) {
  JobRunner jobs(2);
  std::promise<void> started, release;
  std::atomic<int> count{0};
  ASSERT_TRUE(jobs.Post([&] {
    started.set_value();
    release.get_future().wait();
    ++count;
  }));
  started.get_future().wait();
  EXPECT_TRUE(jobs.Post([&] { ++count; }));
  EXPECT_TRUE(jobs.Post([&] { ++count; }));
  std::thread::id ran_on;
  EXPECT_FALSE(jobs.Post([&] {
    ran_on = std::this_thread::get_id();
    ++count;
  }));
  EXPECT_EQ(ran_on, std::this_thread::get_id());
  EXPECT_EQ(jobs.ran_inline(), 1u);
  EXPECT_EQ(jobs.queued(), 2u);
  release.set_value();
  jobs.WaitIdle();
  EXPECT_EQ(count.load(), 4);
}

// Units commit their rounds on their own threads while jobs read the summary;
// the listener must see each unit's raises and clears alternate.
TEST(AlarmService, ConcurrentCommitsKeepEveryTransitionInOrder) {
  AlarmService alarms;
  int raised = 0, cleared = 0, out_of_order = 0;  // listener calls never overlap
  std::map<uint32_t, bool> up;
  alarms.SetListener([&](const AlarmEvent& e) {
    (e.raised ? raised : cleared)++;
    if (e.raised == up[e.data_id]) ++out_of_order;
    up[e.data_id] = e.raised;
    (void)alarms.Active(e.data_id);
  });
  constexpr int kUnits = 4, kRounds = 200;
  {
    JobRunner jobs(4);
    std::vector<std::thread> units;
    for (uint32_t u = 1; u <= kUnits; ++u) {
      units.emplace_back([&, u] {
        for (int round = 0; round < kRounds; ++round) {
          rule_value r;
          r.key = "DC_1";
          r.seq = 1;
          r.condition = round % 2 == 0 ? 1 : 0;
          alarms.Commit(u, {r}, round);
          jobs.Post([&alarms] { (void)alarms.Active(); });
        }
      });
    }
    for (std::thread& t : units) t.join();
  }
  EXPECT_EQ(raised, kUnits * kRounds / 2);
  EXPECT_EQ(cleared, kUnits * kRounds / 2);
  EXPECT_EQ(out_of_order, 0);
  EXPECT_TRUE(alarms.Active().empty());
}

}  // namespace
}  // namespace qmx::store
