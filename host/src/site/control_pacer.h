#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace qmx {

// Paces control commands per device so that no stream of them, however fast
// it arrives, takes the line from polling: one command of a device at a time,
// the next no sooner than `spacing` after the previous one ended, and at most
// `queue` commands waiting for their turn; any more are refused at once.
// Every front end's control goes through the one pacer in SiteHost::Control.
class ControlPacer {
 public:
  using Clock = std::chrono::steady_clock;
  struct Options {
    std::chrono::milliseconds spacing{1000};
    size_t queue = 4;
  };
  explicit ControlPacer(Options options) : opt_(options) {}

  // Waits until `device` may send a command. False with `why` when the
  // device's queue is full (at once) or its turn would come after `deadline`.
  // A true return must be matched by Leave(device).
  bool Enter(unsigned int device, Clock::time_point deadline, std::string& why);
  void Leave(unsigned int device);

  // Commands waiting for their turn now (tests and statistics).
  size_t waiting(unsigned int device) const;

 private:
  struct Slot {
    bool busy = false;
    size_t waiting = 0;
    Clock::time_point next{};  // the earliest start of the next command
  };
  const Options opt_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::map<unsigned int, Slot> slots_;
};

}  // namespace qmx
