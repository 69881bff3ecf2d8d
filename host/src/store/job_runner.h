#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "store/log_sink.h"

namespace qmx::store {

// One worker thread running round-end jobs in the order they were posted.
// The queue is bounded: when it is full (or the runner has stopped) Post runs
// the job on the caller's thread instead of dropping it, so no job is ever
// lost. An exception from a job is caught and logged; the worker carries on.
//
// Post, WaitIdle and the counters may be called from any thread, including
// from inside a job. Stop (and the destructor) must not be called from a job.
class JobRunner {
 public:
  using Job = std::function<void()>;

  // `capacity`: jobs that may wait in the queue (at least 1).
  explicit JobRunner(size_t capacity, LogSink log = {});
  ~JobRunner();  // Stop()

  JobRunner(const JobRunner&) = delete;
  JobRunner& operator=(const JobRunner&) = delete;

  // True when queued; false when the job already ran on this thread (queue
  // full or runner stopped). An empty job is ignored (true).
  bool Post(Job job);

  // Runs every job queued so far, then ends the worker. Idempotent.
  void Stop();

  // Blocks until the queue is empty and the worker is between jobs.
  void WaitIdle();

  size_t queued() const;
  uint64_t ran_inline() const;  // jobs run on a caller's thread
  uint64_t failed() const;      // jobs that threw

 private:
  void Loop();
  void RunGuarded(Job& job);

  const size_t capacity_;
  LogSink log_;
  mutable std::mutex mu_;
  std::condition_variable work_cv_;
  std::condition_variable idle_cv_;
  std::deque<Job> queue_;
  bool stopping_ = false;
  bool busy_ = false;
  uint64_t ran_inline_ = 0;
  uint64_t failed_ = 0;
  std::thread worker_;
};

}  // namespace qmx::store
