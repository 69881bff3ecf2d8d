#pragma once

// The exec hook, as upsmon's NOTIFYCMD: the site's command run for each
// notice, without a shell, with the notice in its environment (K417T_KIND,
// K417T_DEVICE, ..., K417T_JSON) and a one-line English message as its
// argument. One worker runs the commands one at a time, from a bounded
// queue (overflow is counted, logged and told in the next digest); a
// command still running at its time-out gets SIGTERM (its process group),
// then SIGKILL two seconds later. Its exit status is logged, and a short
// escaped excerpt of what it wrote; nothing of it reaches the service's
// output raw.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "notify/notice_gate.h"
#include "notify/notify_config.h"

namespace qmx::notify {

// The hook's environment for a message: "NAME=VALUE" entries.
std::vector<std::string> NoticeEnvironment(const Outgoing& o);

class ExecHook {
 public:
  using Log = std::function<void(const std::string&)>;
  ExecHook(ExecConfig cfg, Log log);
  ~ExecHook();

  void Start();
  // Ends the command running (SIGTERM, then SIGKILL) and the worker;
  // notices still held or queued are logged as not sent.
  void Stop();
  // Never blocks: queued for the worker when its kind is wanted.
  void Offer(const view::AlarmNotice& n);

  struct Counts {
    uint64_t runs = 0;       // commands started
    uint64_t succeeded = 0;  // exit status 0
    uint64_t failed = 0;     // another status, a signal, or not started
    uint64_t timed_out = 0;  // killed at the time-out
    uint64_t overflow = 0;   // notices the full queue turned away
    uint64_t cancelled = 0;  // held and cancelled by a clear
    uint64_t digests = 0;
  };
  Counts counts() const;

 private:
  void Run();
  void Execute(const Outgoing& o);

  ExecConfig cfg_;
  Log log_;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<view::AlarmNotice> queue_;
  uint64_t overflow_pending_ = 0;
  bool stop_ = false, started_ = false;
  std::atomic<bool> stopping_{false};
  mutable std::mutex counts_mu_;
  Counts counts_;
};

}  // namespace qmx::notify
