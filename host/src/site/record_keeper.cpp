#include "site/record_keeper.h"

namespace qmx {
namespace {

// FNV-1a: tells a round's image from the others of the same unit (they
// differ at least in their time stamps).
uint64_t ImageHash(const std::vector<unsigned char>& image) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char b : image) h = (h ^ b) * 1099511628211ull;
  return h;
}

}  // namespace

void RecordKeeper::Published(const Unit& unit, const std::vector<unsigned char>& image,
                             bool changed) {
  std::lock_guard<std::mutex> lock(mu_);
  auto& published = units_[unit].published;
  published.emplace_back(ImageHash(image), changed);
  // Beyond what the job queue can hold back; a unit that publishes without
  // saving (none does today) cannot grow it either.
  while (published.size() > bound_) published.pop_front();
}

void RecordKeeper::AlarmChanged(const Unit& unit) {
  std::lock_guard<std::mutex> lock(mu_);
  units_[unit].alarm_changed = true;
}

bool RecordKeeper::Store(const Unit& unit, int type, int64_t now, std::vector<unsigned char> image,
                         bool commit_coming) {
  std::lock_guard<std::mutex> lock(mu_);
  Decision& g = units_[unit];
  // The unit's verdict on this very image; one not found counts as changed.
  bool changed = true;
  const uint64_t hash = ImageHash(image);
  for (auto it = g.published.begin(); it != g.published.end(); ++it) {
    if (it->first != hash) continue;
    changed = it->second;
    g.published.erase(g.published.begin(), it + 1);
    break;
  }
  if (dead_band_ && g.stored_at != 0) {
    if (const std::optional<bool> past = dead_band_(type, g.stored, image)) changed = *past;
  }
  const int64_t age = now - g.stored_at;
  const int64_t beat = static_cast<int64_t>(heartbeat_s_);
  const bool ride = age >= beat / 2 && commit_coming;
  const bool due = g.stored_at == 0 || changed || g.alarm_changed || g.type != type ||
                   age >= beat || ride || now < g.stored_at;
  g.alarm_changed = false;
  g.type = type;
  if (!due) {
    g.unsaved = true;
    g.latest_time = now;
    g.latest = std::move(image);
    return false;
  }
  g.stored_at = now;
  g.stored = std::move(image);
  g.unsaved = false;
  g.latest.clear();
  return true;
}

std::vector<RecordKeeper::Latest> RecordKeeper::TakeLatest(const std::set<unsigned int>* ids) {
  std::vector<Latest> latest;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = units_.begin(); it != units_.end();) {
    if (ids != nullptr && ids->count(it->first.first) == 0) {
      ++it;
      continue;
    }
    Decision& g = it->second;
    if (g.unsaved) latest.push_back({it->first.first, g.type, g.latest_time, std::move(g.latest)});
    if (ids == nullptr) {
      g.unsaved = false;
      ++it;
    } else {
      it = units_.erase(it);
    }
  }
  return latest;
}

}  // namespace qmx
