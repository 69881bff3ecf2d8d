#pragma once

// Prometheus remote write as a front end: a sender thread delivers the
// history's records past the "remote_write" outbox cursor, oldest first, in
// requests of at most batch_records records, paced to
// max_requests_per_second. A 2xx moves the cursor; 5xx, 429 and transport
// errors keep the records and retry with back-off (1 s doubling to 60 s, or
// the receiver's Retry-After); any other 4xx refuses the batch for good: it is
// counted and the cursor moves past it. The cursor lives in the history, so
// an outage or a restart loses nothing the history still holds.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "remote_write/remote_write_config.h"
#include "view/site_view.h"

namespace qmx::remote_write {

struct CurlHandle;  // remote_write/http_reply.h

class RemoteWriteFrontEnd : public view::FrontEnd {
 public:
  using Log = std::function<void(const std::string&)>;
  RemoteWriteFrontEnd(view::SiteView& view, RemoteWriteConfig cfg, Log log);
  ~RemoteWriteFrontEnd() override;

  const char* name() const override { return "remote_write"; }
  // Refuses without the history, or when the settings' files cannot be read.
  bool Start(std::string& error) override;
  // Lets the request in flight finish (at most timeout_s), then logs what
  // was delivered and what the history still holds for the next run.
  void Stop() override;
  // The round's records are committed: time to look.
  void OnRound(const view::RoundView& round) override;

  // This run's figures.
  struct Counts {
    uint64_t requests = 0;  // answered with 2xx
    uint64_t records = 0, samples = 0;
    uint64_t rejected = 0;  // records refused for good (4xx)
    uint64_t skipped = 0;   // records of no known device or unreadable
    uint64_t failures = 0;  // attempts that will be retried
  };
  Counts counts() const;

  // The first back-off (doubling up to 60 s); tests shorten it.
  void SetFirstBackoffMs(int64_t ms) { first_backoff_ms_ = ms; }

 private:
  struct Answer {
    long status = 0;  // 0: no HTTP answer
    std::string error;
    int64_t retry_after_s = -1;
  };
  void Run();
  Answer Post(const std::string& body);
  enum Kind { kFailure, kRefused, kSkipped, kKinds };
  void LogLimited(Kind kind, const std::string& line);

  view::SiteView& view_;
  RemoteWriteConfig cfg_;
  Log log_;
  std::shared_ptr<view::Outbox> outbox_;
  std::unique_ptr<CurlHandle> curl_;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false, wake_ = false, started_ = false;
  int64_t first_backoff_ms_ = 1000;

  mutable std::mutex counts_mu_;
  Counts counts_;
  // Log lines about failures, refusals and skipped records: at most one of a
  // kind a minute, with the number held back.
  int64_t last_limited_log_[kKinds] = {};
  uint64_t held_back_[kKinds] = {};
};

}  // namespace qmx::remote_write
