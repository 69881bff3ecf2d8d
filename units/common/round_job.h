#pragma once

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "qmx/qmx_vdevice.h"

namespace k417t {

// Hands the host the one job of a unit's round end. The job owns the round's
// alarm rows (moved out of pending_rules) and its own copy of the image, and
// keeps the unit alive until it has run: it commits the rows with the batch
// check, ORs the result into threshold_flag (under the unit's lock) and saves
// the image as the round's history record. A unit that no shared pointer owns
// runs the job at once, since a deferred job could outlive it.
inline void QueueRoundJob(QMXVDevice& unit, std::mutex& unit_lock,
                          std::vector<unsigned char> image) {
  const size_t noted = unit.pending_rules.size();
  std::vector<rule_value> rules = std::move(unit.pending_rules);
  unit.pending_rules.clear();
  std::shared_ptr<QMXVDevice> self = unit.weak_from_this().lock();
  auto job = [self, u = &unit, m = &unit_lock, rules = std::move(rules),
              image = std::move(image)]() {
    if (u->DoBatchCheckThreshold(rules)) {
      std::lock_guard<std::mutex> lock(*m);
      u->threshold_flag = 1;
    }
    u->SaveDeviceHistory(image.data(), static_cast<int>(image.size()));
  };
  if (self) {
    unit.CheckThresholdWork(std::move(job));
  } else {
    job();
  }
  unit.pending_rules.reserve(noted);
}

}  // namespace k417t
