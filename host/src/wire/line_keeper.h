#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "wire/transport.h"

namespace qmx::wire {

// Delay before the first reopen attempt, doubled after each failure up to max.
struct ReopenBackoff {
  std::chrono::milliseconds first{500};
  std::chrono::milliseconds max{30000};
};

// Keeps a line usable: opens it, notices when it goes (open refused, read or
// write error, POLLHUP/POLLERR — a USB adapter unplugged) and reopens it with
// back-off. One log line when it goes, one when it is back; it never exits and
// never spins.
//
// Poll-loop use: wait on fd() when it is >= 0, else sleep retry_in_ms(); hand
// the poll result to on_poll_events(); call read(..., 0) when readable and
// ensure_open() when the retry is due.
class LineKeeper {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Sleep = std::function<void(std::chrono::milliseconds)>;
  using LogSink = std::function<void(const std::string&)>;

  using Backoff = ReopenBackoff;

  // clock and sleep default to the steady clock and a real sleep.
  LineKeeper(std::unique_ptr<Transport> transport, LogSink log, Backoff backoff = {},
             Clock clock = {}, Sleep sleep = {});

  // Opens the line if it is closed and a retry is due. True when open.
  bool ensure_open();
  // Like Transport::write, through ensure_open(); -1 when the line is not
  // open or failed now (it is then closed and will be reopened).
  long write(const uint8_t* data, size_t n);
  // Like Transport::read. While the line is down it waits at most timeout_ms
  // (or until the next retry, whichever is first) and returns 0; -1 only when
  // the line failed during this call.
  long read(uint8_t* buf, size_t cap, int timeout_ms);
  // Result of poll(2) on fd(): a hang-up or error takes the line down.
  void on_poll_events(short revents);
  // Closes the line and schedules the reopen.
  void mark_lost(const std::string& why);

  bool is_open() const { return transport_->is_open(); }
  int fd() const { return transport_->fd(); }
  // Milliseconds until the next open attempt (0 when open or due now).
  int retry_in_ms() const;
  // Delay that will follow the next failed attempt.
  std::chrono::milliseconds next_delay() const { return delay_; }
  Transport& transport() { return *transport_; }

 private:
  void schedule_retry();
  void log(const std::string& line) {
    if (log_) log_(line);
  }

  std::unique_ptr<Transport> transport_;
  LogSink log_;
  Backoff backoff_;
  Clock clock_;
  Sleep sleep_;
  std::chrono::milliseconds delay_;
  std::chrono::steady_clock::time_point next_attempt_{};
  bool down_logged_ = false;
};

}  // namespace qmx::wire
