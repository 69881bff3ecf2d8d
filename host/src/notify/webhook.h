#pragma once

// The webhook: each notice POSTed as JSON (the board's notice form) to the
// site's URL through libcurl. A 2xx delivers it; 5xx, 429, a redirect and
// transport errors keep it and retry with back-off (1 s doubling to 60 s,
// or the receiver's Retry-After); any other answer refuses it for good
// (logged, not sent again). Notices are kept in the history's notice table
// before the first attempt and delivered past the "webhook" outbox cursor in
// order, so an endpoint away, even across restarts, gets every notice once
// it is back; without a history they wait in a bounded memory queue.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "notify/notice_gate.h"
#include "notify/notify_config.h"
#include "view/outbox.h"

namespace qmx::remote_write {
struct CurlHandle;  // remote_write/http_reply.h
}

namespace qmx::notify {

class Webhook {
 public:
  using Log = std::function<void(const std::string&)>;
  // `kept` may be null (no history: a memory queue).
  Webhook(WebhookConfig cfg, std::shared_ptr<view::NoticeOutbox> kept, Log log);
  ~Webhook();

  bool Start(std::string& error);
  // Lets the request in flight finish (at most timeout_s); what is owed
  // stays in the history for the next run.
  void Stop();
  // Never blocks: queued for the worker when its kind is wanted.
  void Offer(const view::AlarmNotice& n);

  struct Counts {
    uint64_t queued = 0;     // notices kept for delivery
    uint64_t delivered = 0;  // answered with 2xx
    uint64_t refused = 0;    // refused for good
    uint64_t failures = 0;   // attempts to be retried
    uint64_t dropped = 0;    // memory queue full: the oldest went
    uint64_t cancelled = 0;  // held and cancelled by a clear
    uint64_t owed = 0;       // waiting for the endpoint now
  };
  Counts counts() const;

  // The first back-off (doubling up to 60 s); tests shorten it.
  void SetFirstBackoffMs(int64_t ms) { first_backoff_ms_ = ms; }

  static constexpr const char* kSink = "webhook";

 private:
  struct Owed {
    int64_t id = 0;  // the history's row; 0 in the memory queue
    std::string body;
  };
  struct Answer {
    long status = 0;  // 0: no HTTP answer
    std::string error;
    int64_t retry_after_s = -1;
  };
  void Run();
  void Keep(const Outgoing& o);
  // Fills owed_ from the history when it ran dry.
  void Refill();
  Answer Post(const std::string& body);
  // At most one line of a kind a minute, with the number held back.
  enum LogKind { kFailure, kRefused, kLogKinds };
  void LogLimited(LogKind kind, const std::string& line);

  WebhookConfig cfg_;
  std::shared_ptr<view::NoticeOutbox> kept_;
  Log log_;
  std::unique_ptr<remote_write::CurlHandle> curl_;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<view::AlarmNotice> in_;
  bool stop_ = false, started_ = false;
  int64_t first_backoff_ms_ = 1000;

  // Worker's own.
  std::deque<Owed> owed_;
  int64_t last_log_[kLogKinds] = {};
  uint64_t held_back_[kLogKinds] = {};

  mutable std::mutex counts_mu_;
  Counts counts_;
};

}  // namespace qmx::notify
