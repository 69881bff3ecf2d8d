#pragma once

#include <chrono>
#include <string>

namespace k417t_run {

// Talks to systemd when the runner is a Type=notify service (NOTIFY_SOCKET
// set); does nothing otherwise. The watchdog is fed at a quarter of
// WatchdogSec, and only from the thread that turns the poll loop, so a wedged
// loop stops feeding it.
class ServiceNotify {
 public:
  ServiceNotify();
  bool active() const { return active_; }
  void Ready(const std::string& status);
  // A reload starts; Ready() again when it is through.
  void Reloading();
  void Status(const std::string& status);
  void Stopping();
  // Call once per pass of the poll loop.
  void Tick();

 private:
  bool active_ = false;
  std::chrono::microseconds watchdog_every_{0};
  std::chrono::steady_clock::time_point next_feed_;
};

}  // namespace k417t_run
