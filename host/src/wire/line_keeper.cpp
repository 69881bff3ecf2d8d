#include "wire/line_keeper.h"

#include <poll.h>

#include <algorithm>
#include <thread>

namespace qmx::wire {

LineKeeper::LineKeeper(std::unique_ptr<Transport> transport, LogSink log, Backoff backoff,
                       Clock clock, Sleep sleep)
    : transport_(std::move(transport)),
      log_(std::move(log)),
      backoff_(backoff),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      sleep_(sleep ? std::move(sleep)
                   : Sleep([](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); })),
      delay_(backoff.first) {
  if (backoff_.first.count() <= 0) backoff_.first = std::chrono::milliseconds(1);
  if (backoff_.max < backoff_.first) backoff_.max = backoff_.first;
  delay_ = backoff_.first;
  next_attempt_ = clock_();
}

void LineKeeper::schedule_retry() {
  next_attempt_ = clock_() + delay_;
  delay_ = std::min(delay_ * 2, backoff_.max);
}

bool LineKeeper::ensure_open() {
  if (transport_->is_open()) return true;
  if (clock_() < next_attempt_) return false;
  if (transport_->open()) {
    if (down_logged_) log(transport_->name() + ": line is back");
    down_logged_ = false;
    delay_ = backoff_.first;
    return true;
  }
  if (!down_logged_) {
    log(transport_->name() + ": cannot open (" + transport_->last_error() +
        "); retrying in the background");
    down_logged_ = true;
  }
  schedule_retry();
  return false;
}

void LineKeeper::mark_lost(const std::string& why) {
  transport_->close();
  if (!down_logged_) {
    log(transport_->name() + ": line lost (" + why + "); reopening");
    down_logged_ = true;
  }
  delay_ = backoff_.first;
  schedule_retry();
}

void LineKeeper::on_poll_events(short revents) {
  if ((revents & POLLIN) != 0) return;  // read() drains the data and sees the end
  if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
    mark_lost((revents & POLLHUP) != 0 ? "hang-up" : "line error");
  }
}

int LineKeeper::retry_in_ms() const {
  if (transport_->is_open()) return 0;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(next_attempt_ - clock_()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

long LineKeeper::write(const uint8_t* data, size_t n) {
  if (!ensure_open()) return -1;
  const long w = transport_->write(data, n);
  if (w < 0) mark_lost(transport_->last_error());
  return w;
}

long LineKeeper::read(uint8_t* buf, size_t cap, int timeout_ms) {
  if (!ensure_open()) {
    const int wait = std::min(std::max(timeout_ms, 0), retry_in_ms());
    if (wait > 0) sleep_(std::chrono::milliseconds(wait));
    if (!ensure_open()) return 0;
    timeout_ms = std::max(timeout_ms - wait, 0);
  }
  const long r = transport_->read(buf, cap, timeout_ms);
  if (r < 0) mark_lost(transport_->last_error());
  return r;
}

}  // namespace qmx::wire
