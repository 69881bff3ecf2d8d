#pragma once

// History on change: whether a unit's round end is stored. A unit's record
// is stored on its first round, when its round counts as changed (the unit's
// own verdict on that image, or a dead band for units without one), when one
// of its alarm points changed, when it publishes under another type, and at
// least every heartbeat; a record not stored is kept as the unit's latest,
// written at a clean stop or when its device goes. Any thread; one lock.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qmx {

class RecordKeeper {
 public:
  // A unit: its data identifier and device type.
  using Unit = std::pair<unsigned int, std::string>;
  // For units whose own verdict is "changed" every round: whether `now`
  // moved past a dead band against the stored image; none: the verdict stands.
  using DeadBand = std::function<std::optional<bool>(int type, const std::vector<unsigned char>&,
                                                     const std::vector<unsigned char>&)>;
  struct Latest {
    unsigned int data_id = 0;
    int type = 0;
    int64_t time = 0;
    std::vector<unsigned char> image;
  };

  RecordKeeper(uint32_t heartbeat_s, size_t published_bound, DeadBand dead_band)
      : heartbeat_s_(heartbeat_s), bound_(published_bound), dead_band_(std::move(dead_band)) {}

  // The unit published `image` with its own verdict.
  void Published(const Unit& unit, const std::vector<unsigned char>& image, bool changed);
  // One of the unit's alarm points changed in this round.
  void AlarmChanged(const Unit& unit);
  // Whether the round end `image` (under `type`, at `now`) is stored now;
  // `commit_coming`: records wait for a commit anyway (a unit past half its
  // heartbeat rides along, so heartbeats fall into one commit).
  bool Store(const Unit& unit, int type, int64_t now, std::vector<unsigned char> image,
             bool commit_coming);
  // The latest records not stored, of the units of `ids` (all when null).
  // Those of `ids` are forgotten (a device that comes back starts with a
  // first round); with null the units are kept.
  std::vector<Latest> TakeLatest(const std::set<unsigned int>* ids);

 private:
  struct Decision {
    // Hashes of the published images with the unit's verdict, matched to the
    // image the round-end job saves: the line may publish further rounds
    // before the job worker gets to it (a slow disk), up to the job queue.
    std::deque<std::pair<uint64_t, bool>> published;
    bool alarm_changed = false;  // set by the batch check of the same job
    int64_t stored_at = 0;       // 0: nothing stored since start
    std::vector<unsigned char> stored;
    bool unsaved = false;  // `latest` is newer than what was stored
    int type = 0;
    int64_t latest_time = 0;
    std::vector<unsigned char> latest;
  };
  const uint32_t heartbeat_s_;
  const size_t bound_;
  const DeadBand dead_band_;
  std::mutex mu_;
  std::map<Unit, Decision> units_;
};

}  // namespace qmx
