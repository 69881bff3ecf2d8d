#include "store/alarm_service.h"

#include <exception>
#include <map>
#include <set>
#include <utility>

namespace qmx::store {

namespace {

// An event on a point as a unit stated it or as the service keeps it.
template <class Point>
AlarmEvent EventFrom(const Point& p, uint32_t data_id, bool raised, int64_t time) {
  AlarmEvent e;
  e.time = time;
  e.data_id = data_id;
  e.level = p.level;
  e.key = p.key;
  e.code = p.code;
  e.name = p.name;
  e.text = p.text;
  e.seq = p.seq;
  e.raised = raised;
  return e;
}

AlarmEvent MakeEvent(const rule_value& r, uint32_t data_id, int64_t time, bool raised) {
  return EventFrom(r, data_id, raised, time);
}

}  // namespace

AlarmEvent EventOf(const ActiveAlarm& a, bool raised, int64_t time) {
  return EventFrom(a, a.data_id, raised, time);
}

AlarmService::CommitResult AlarmService::Commit(uint32_t data_id,
                                                const std::vector<rule_value>& rules,
                                                int64_t time) {
  CommitResult result;
  std::unique_lock<std::mutex> state(mu_);
  Renumber(data_id, rules, time, result);
  for (const rule_value& r : rules) {
    const bool now = r.condition != 0;
    auto [it, first_seen] = points_.try_emplace(PointId{data_id, r.key, r.seq});
    Point& p = it->second;
    ActiveAlarm& a = p.alarm;
    if (first_seen) {
      a.data_id = data_id;
      a.key = r.key;
    }
    if (now && !p.active) {
      a.since = time;
      a.seq = r.seq;
      result.events.push_back(MakeEvent(r, data_id, time, true));
    } else if (!now && p.active) {
      // The clear pairs with the raise: same number, also when the unit
      // numbers the point differently now.
      AlarmEvent e = MakeEvent(r, data_id, time, false);
      e.seq = a.seq;
      result.events.push_back(std::move(e));
    }
    if (!now) a.seq = r.seq;
    p.active = now;
    p.restored = false;
    a.level = r.level;
    a.code = r.code;
    a.name = r.name;
    a.text = r.text;
  }
  result.changed = !result.events.empty();
  if (result.changed) Dispatch(state, result);
  return result;
}

void AlarmService::Renumber(uint32_t data_id, const std::vector<rule_value>& rules, int64_t time,
                            CommitResult& result) {
  std::map<std::string, std::vector<const rule_value*>> by_key;
  for (const rule_value& r : rules) by_key[r.key].push_back(&r);
  for (const auto& entry : by_key) {
    // Named, not bound: a lambda below uses the key (clang before C++20
    // cannot capture a structured binding).
    const std::string& key = entry.first;
    const std::vector<const rule_value*>& stated = entry.second;
    // The key's points as they were, taken out of the table.
    std::vector<std::pair<uint32_t, Point>> old;  // (number filed under, point)
    for (auto it = points_.lower_bound(PointId{data_id, key, 0});
         it != points_.end() && std::get<0>(it->first) == data_id &&
         std::get<1>(it->first) == key;) {
      old.emplace_back(std::get<2>(it->first), std::move(it->second));
      it = points_.erase(it);
    }
    std::vector<bool> taken(old.size(), false);
    // 0: same text and number; 1: same text; 2: same number.
    auto take = [&](const rule_value& r, int how) -> bool {
      for (size_t i = 0; i < old.size(); ++i) {
        if (taken[i]) continue;
        const bool text = old[i].second.alarm.text == r.text, seq = old[i].first == r.seq;
        if (!(how == 0 ? text && seq : how == 1 ? text : seq)) continue;
        taken[i] = true;
        points_[PointId{data_id, key, r.seq}] = std::move(old[i].second);
        return true;
      }
      return false;
    };
    // The text names the input or module; the number is only where the unit
    // lists it this round. A point found by neither is new.
    std::vector<const rule_value*> left = stated;
    for (int how = 0; how < 3; ++how) {
      std::vector<const rule_value*> next;
      for (const rule_value* r : left)
        if (!take(*r, how)) next.push_back(r);
      left.swap(next);
    }
    // What the unit no longer lists (an input or module that went) is gone.
    for (size_t i = 0; i < old.size(); ++i) {
      if (taken[i] || !old[i].second.active) continue;
      result.events.push_back(EventOf(old[i].second.alarm, false, time));
    }
  }
}

void AlarmService::Dispatch(std::unique_lock<std::mutex>& state, const CommitResult& result) {
  // Commits are numbered under the state lock and delivered in that order; the
  // state lock is never held while waiting for the turn, so a listener may
  // read the summary.
  const uint64_t ticket = next_ticket_++;
  state.unlock();

  std::unique_lock<std::mutex> dispatch(dispatch_mu_);
  dispatch_cv_.wait(dispatch, [&] { return serving_ == ticket; });
  // The next commit's turn comes whatever a listener or log sink throws.
  struct NextTurn {
    AlarmService* self;
    ~NextTurn() {
      ++self->serving_;
      self->dispatch_cv_.notify_all();
    }
  } next_turn{this};
  if (listener_) {
    for (const AlarmEvent& e : result.events) {
      try {
        listener_(e);
      } catch (const std::exception& ex) {
        if (log_) log_(std::string("alarm: event listener failed: ") + ex.what());
      } catch (...) {
        if (log_) log_("alarm: event listener failed");
      }
    }
  }
}

void AlarmService::Restore(const std::vector<AlarmEvent>& open) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const AlarmEvent& e : open) {
    if (!e.raised) continue;
    Point& p = points_[PointId{e.data_id, e.key, e.seq}];
    if (p.active) continue;  // stated already: the live state wins
    p.active = true;
    p.restored = true;
    ActiveAlarm& a = p.alarm;
    a.data_id = e.data_id;
    a.key = e.key;
    a.seq = e.seq;
    a.level = e.level;
    a.code = e.code;
    a.name = e.name;
    a.text = e.text;
    a.since = e.time;
  }
}

AlarmService::CommitResult AlarmService::SettleRestored(const std::vector<uint32_t>& data_ids,
                                                        int64_t time,
                                                        const std::set<std::string>& later_keys) {
  CommitResult result;
  std::unique_lock<std::mutex> state(mu_);
  for (uint32_t id : data_ids) {
    for (auto it = points_.lower_bound(PointId{id, std::string(), 0});
         it != points_.end() && std::get<0>(it->first) == id; ++it) {
      Point& p = it->second;
      if (!p.restored || later_keys.count(std::get<1>(it->first)) != 0) continue;
      p.restored = false;
      if (!p.active) continue;
      p.active = false;
      result.events.push_back(EventOf(p.alarm, false, time));
    }
  }
  result.changed = !result.events.empty();
  if (result.changed) Dispatch(state, result);
  return result;
}

void AlarmService::Unsettle(const std::vector<uint32_t>& data_ids) {
  std::lock_guard<std::mutex> lock(mu_);
  for (uint32_t id : data_ids) {
    for (auto it = points_.lower_bound(PointId{id, std::string(), 0});
         it != points_.end() && std::get<0>(it->first) == id; ++it)
      if (it->second.active) it->second.restored = true;
  }
}

AlarmService::CommitResult AlarmService::Retire(const std::vector<uint32_t>& polled, int64_t time) {
  const std::set<uint32_t> keep(polled.begin(), polled.end());
  CommitResult result;
  std::unique_lock<std::mutex> state(mu_);
  for (auto it = points_.begin(); it != points_.end();) {
    if (keep.count(std::get<0>(it->first)) != 0) {
      ++it;
      continue;
    }
    if (it->second.active) result.events.push_back(EventOf(it->second.alarm, false, time));
    it = points_.erase(it);
  }
  result.changed = !result.events.empty();
  if (result.changed) Dispatch(state, result);
  return result;
}

std::vector<ActiveAlarm> AlarmService::Active() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<ActiveAlarm> out;
  for (const auto& [id, p] : points_) {
    if (p.active) out.push_back(p.alarm);
  }
  return out;
}

std::vector<ActiveAlarm> AlarmService::Active(uint32_t data_id) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<ActiveAlarm> out;
  for (auto it = points_.lower_bound(PointId{data_id, std::string(), 0});
       it != points_.end() && std::get<0>(it->first) == data_id; ++it) {
    if (it->second.active) out.push_back(it->second.alarm);
  }
  return out;
}

bool AlarmService::IsActive(uint32_t data_id, const std::string& key, uint32_t seq) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = points_.find(PointId{data_id, key, seq});
  return it != points_.end() && it->second.active;
}

void AlarmService::SetListener(Listener listener) {
  std::lock_guard<std::mutex> lock(dispatch_mu_);
  listener_ = std::move(listener);
}

}  // namespace qmx::store
