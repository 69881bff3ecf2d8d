#include "site/control_pacer.h"

#include <fmt/format.h>

#include <algorithm>

namespace qmx {

bool ControlPacer::Enter(unsigned int device, Clock::time_point deadline, std::string& why) {
  std::unique_lock<std::mutex> lock(mu_);
  Slot& s = slots_[device];
  auto free = [&] { return !s.busy && Clock::now() >= s.next; };
  if (!free() && s.waiting >= opt_.queue) {
    why = fmt::format("{} control commands already wait for device {}; try again later", s.waiting,
                      device);
    return false;
  }
  ++s.waiting;
  while (!free()) {
    const auto now = Clock::now();
    if (now >= deadline) {
      --s.waiting;
      why =
          fmt::format("device {} was busy with other control commands until the time-out", device);
      return false;
    }
    // Wakes at the end of the spacing even when nobody notifies.
    cv_.wait_until(lock, s.busy ? deadline : std::min(deadline, s.next));
  }
  --s.waiting;
  s.busy = true;
  return true;
}

void ControlPacer::Leave(unsigned int device) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    Slot& s = slots_[device];
    s.busy = false;
    s.next = Clock::now() + opt_.spacing;
  }
  cv_.notify_all();
}

size_t ControlPacer::waiting(unsigned int device) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = slots_.find(device);
  return it == slots_.end() ? 0 : it->second.waiting;
}

}  // namespace qmx
