#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "qmx/rule_value.h"
#include "store/alarm_event.h"
#include "store/log_sink.h"

namespace qmx::store {

// An alarm point that is raised now.
struct ActiveAlarm {
  uint32_t data_id = 0;
  std::string key;
  uint32_t seq = 0;
  uint32_t level = 0;
  std::string code;
  std::string name;
  std::string text;   // as last stated
  int64_t since = 0;  // epoch seconds of the raise
};

// The event of a point that is raised now (raised: its raise, at `since`) or
// is being cleared at `time`.
AlarmEvent EventOf(const ActiveAlarm& a, bool raised, int64_t time);

// Keeps the state of every alarm point and turns the points a unit states
// each round into raise and clear events.
//
// A point belongs to a device (data identifier) and a key; among the points of
// one key it is told by its text, which names its input or module, and
// otherwise by its sequence number. Numbers alone do not identify: a unit
// numbers its points in order across its inputs, so when the input count
// changes the points after them move to other numbers (a point found by its
// text under another number keeps its state and is not raised again). A
// commit that states a key states every point of it: the key's points it does
// not state belong to inputs or modules that are gone and are cleared once,
// with an event, and forgotten. A key not stated keeps its points as they are.
//
// An alarm keeps the number it was raised under until it clears, so its clear
// event carries the same (data identifier, key, number) as its raise.
//
// Thread-safe: Commit may run on several job threads at once. The listener
// gets one commit's events in order, commits one after the other in the order
// they changed the state, on the committing thread. It may call Active() and
// IsActive(), but not Commit or SetListener. An exception from the listener
// is logged and the next event still delivered.
class AlarmService {
 public:
  using Listener = std::function<void(const AlarmEvent&)>;

  struct CommitResult {
    bool changed = false;  // any point raised or cleared
    std::vector<AlarmEvent> events;
  };

  explicit AlarmService(LogSink log = {}) : log_(std::move(log)) {}

  // Commits one unit's round. `data_id` is the committing unit's identifier;
  // it names every point of `rules`. A point stated true round after round is
  // raised once, false after true clears once; a point first seen false
  // produces no event.
  CommitResult Commit(uint32_t data_id, const std::vector<rule_value>& rules, int64_t time);

  // Every raised point, ordered by data identifier, key and sequence number.
  std::vector<ActiveAlarm> Active() const;
  std::vector<ActiveAlarm> Active(uint32_t data_id) const;
  bool IsActive(uint32_t data_id, const std::string& key, uint32_t seq) const;

  void SetListener(Listener listener);

  // Start-up: the points the history store still has raised (AlarmEvent with
  // raised set, time = the raise). They are active at once, with no event; a
  // round that states one true keeps it without a new raise, one that states
  // it false clears it as usual.
  void Restore(const std::vector<AlarmEvent>& open);

  // After the first completed round of a device: every restored point of the
  // given data identifiers that no round has stated since the restore is
  // gone from the device (an input removed, a model now supported) and is
  // cleared, with an event for the listener.
  // Points of `later_keys` are left for the commit that states them (points
  // the gateway derives after the round, stated by the next commit).
  CommitResult SettleRestored(const std::vector<uint32_t>& data_ids, int64_t time,
                              const std::set<std::string>& later_keys = {});

  // A device started again (its configuration changed): its raised points are
  // treated as restored ones, so the first round of the new device settles
  // those it no longer states.
  void Unsettle(const std::vector<uint32_t>& data_ids);

  // Units no device polls any more: every point whose data identifier is not
  // in `polled` is forgotten, and those raised are cleared (with events).
  CommitResult Retire(const std::vector<uint32_t>& polled, int64_t time);

 private:
  using PointId = std::tuple<uint32_t, std::string, uint32_t>;
  struct Point {
    bool active = false;
    bool restored = false;  // taken from the history, not stated since
    ActiveAlarm alarm;
  };
  // Matches the stated points of each key with the key's known ones, files
  // them under their new numbers and clears those no longer stated (under mu_).
  void Renumber(uint32_t data_id, const std::vector<rule_value>& rules, int64_t time,
                CommitResult& result);
  // Hands one commit's events to the listener, in commit order.
  void Dispatch(std::unique_lock<std::mutex>& state, const CommitResult& result);

  mutable std::mutex mu_;
  std::map<PointId, Point> points_;
  uint64_t next_ticket_ = 0;  // under mu_

  // Listeners see commits in the order they changed the state.
  std::mutex dispatch_mu_;
  std::condition_variable dispatch_cv_;
  uint64_t serving_ = 0;  // under dispatch_mu_
  Listener listener_;
  LogSink log_;
};

}  // namespace qmx::store
