#include "service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <ctime>

namespace k417t_run {

ServiceNotify::ServiceNotify() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  active_ = socket != nullptr && *socket != '\0';
  uint64_t usec = 0;
  if (active_ && sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
    watchdog_every_ = std::chrono::microseconds(usec / 4);
  next_feed_ = std::chrono::steady_clock::now();
}

void ServiceNotify::Ready(const std::string& status) {
  if (active_) sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
  Tick();
}

void ServiceNotify::Reloading() {
  if (!active_) return;
  // MONOTONIC_USEC lets systemd tell this reload from an earlier one.
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const unsigned long long usec = static_cast<unsigned long long>(ts.tv_sec) * 1000000ull +
                                  static_cast<unsigned long long>(ts.tv_nsec) / 1000;
  sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu", usec);
}

void ServiceNotify::Status(const std::string& status) {
  if (active_) sd_notifyf(0, "STATUS=%s", status.c_str());
}

void ServiceNotify::Stopping() {
  if (active_) sd_notify(0, "STOPPING=1");
}

void ServiceNotify::Tick() {
  if (!active_ || watchdog_every_.count() == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_feed_) return;
  sd_notify(0, "WATCHDOG=1");
  next_feed_ = now + watchdog_every_;
}

}  // namespace k417t_run
