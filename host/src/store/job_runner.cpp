#include "store/job_runner.h"

#include <exception>
#include <string>
#include <utility>

namespace qmx::store {

JobRunner::JobRunner(size_t capacity, LogSink log)
    : capacity_(capacity == 0 ? 1 : capacity), log_(std::move(log)) {
  worker_ = std::thread([this] { Loop(); });
}

JobRunner::~JobRunner() { Stop(); }

bool JobRunner::Post(Job job) {
  if (!job) return true;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!stopping_ && queue_.size() < capacity_) {
      queue_.push_back(std::move(job));
      work_cv_.notify_one();
      return true;
    }
    ++ran_inline_;
  }
  RunGuarded(job);
  return false;
}

void JobRunner::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  work_cv_.notify_all();
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

void JobRunner::WaitIdle() {
  std::unique_lock<std::mutex> lock(mu_);
  idle_cv_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

size_t JobRunner::queued() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queue_.size();
}

uint64_t JobRunner::ran_inline() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ran_inline_;
}

uint64_t JobRunner::failed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return failed_;
}

void JobRunner::Loop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    work_cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) break;  // stopping and drained
    Job job = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    RunGuarded(job);
    job = nullptr;  // release what the job owns before reporting idle
    lock.lock();
    busy_ = false;
    if (queue_.empty()) idle_cv_.notify_all();
  }
  idle_cv_.notify_all();
}

void JobRunner::RunGuarded(Job& job) {
  std::string why;
  try {
    job();
    return;
  } catch (const std::exception& e) {
    why = e.what();
  } catch (...) {
    why = "unknown exception";
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++failed_;
  }
  if (log_) log_("jobs: round job failed: " + why);
}

}  // namespace qmx::store
