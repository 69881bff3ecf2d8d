// What the history owes the broker. Alarm events (the communication alarm's
// raise and clear among them) go out on <device>/events from the history,
// oldest first, with their row id, which stays the same however often they
// are sent: a consumer drops the few a restart sends twice. Records stored
// while the broker was away go out on <device>/history with their own time,
// for a fleet consumer to fill its gap; the retained state topics carry the
// current state meanwhile. Both are paced (replay_rate); the outbox's cursor
// moves over what the broker acknowledged (QoS 1), in order, and is written
// with the history's next commit.
#include <fmt/format.h>
#include <mosquitto.h>

#include "input/checked_json.h"
#include "mqtt/mqtt_export.h"
#include "mqtt/mqtt_messages.h"

namespace qmx::exporter {
namespace {

constexpr size_t kMaxOwed = 64;  // messages of the outbox awaiting their PUBACK
constexpr size_t kReadAhead = 64;
constexpr auto kReadEvery = std::chrono::seconds(1);
constexpr auto kHeadEvery = std::chrono::seconds(5);
// The replay of records ends when none of a time before the connection has
// come for this long after it (the history commits records at least every
// commit interval, 30 s by default).
constexpr auto kReplayQuiet = std::chrono::seconds(60);

// Acknowledged ids at the front of `owed` leave it: the cursor may move to
// the last of them (no gap before it).
std::pair<int64_t, uint64_t> TakeAcked(std::map<int64_t, bool>& owed) {
  int64_t last = 0;
  uint64_t n = 0;
  while (!owed.empty() && owed.begin()->second) {
    last = owed.begin()->first;
    owed.erase(owed.begin());
    ++n;
  }
  return {last, n};
}

}  // namespace

void MqttExport::OutboxConnected() {
  view::Outbox& box = *source_.outbox;
  const store::OutboxCursor at = box.cursor();
  event_sent_ = at.event_id;
  record_sent_ = at.record_id;
  owed_events_.clear();
  owed_records_.clear();
  owed_mids_.clear();
  event_ahead_.clear();
  record_ahead_.clear();
  // Records of a time before this connection were not seen live; later ones
  // are (the state topics). Some of the former may still wait in memory for
  // the history's next commit: the replay ends at the first record of a
  // later time, not at the rows written now.
  const store::OutboxBacklog b = box.Backlog();
  replay_before_ = EpochNow();
  replay_started_ = Clock::now();
  replay_done_ = false;
  record_idle_until_ = {};
  event_idle_until_ = {};
  live_heads_.clear();
  replay_tokens_ = cfg_.replay_rate;
  replay_at_ = Clock::now();
  outbox_head_at_ = Clock::now();
  outbox_wake_ = true;
  box.SetConnected(true);
  if ((b.events > 0 || b.records > 0) && log_) {
    view::OutboxHealth h = box.Health();
    log_(fmt::format("mqtt: the history owes the broker {}; sending them at {} messages a second",
                     view::BacklogText(h, EpochNow()), cfg_.replay_rate));
  }
}

void MqttExport::OutboxLost(const std::string& why) {
  // What was sent and not acknowledged goes again from the cursor on the
  // next connection.
  owed_events_.clear();
  owed_records_.clear();
  owed_mids_.clear();
  event_ahead_.clear();
  record_ahead_.clear();
  live_heads_.clear();
  source_.outbox->SetConnected(false);
  source_.outbox->Error(why, EpochNow());
}

bool MqttExport::OutboxOwes() const {
  return !owed_mids_.empty() || !event_ahead_.empty() || outbox_wake_ ||
         (!record_ahead_.empty() && !replay_done_);
}

void MqttExport::FlushOutbox(Clock::time_point now) {
  view::Outbox& box = *source_.outbox;
  const double rate = cfg_.replay_rate;
  replay_tokens_ = std::min(
      rate, replay_tokens_ + std::chrono::duration<double>(now - replay_at_).count() * rate);
  replay_at_ = now;

  // A read that found nothing is tried again after a second, or at once
  // when a round or a link change has committed something.
  if (outbox_wake_.exchange(false)) event_idle_until_ = record_idle_until_ = {};
  // Alarm events first: they are what the NOC waits for.
  while (owed_mids_.size() < kMaxOwed && replay_tokens_ >= 1) {
    if (event_ahead_.empty() && now >= event_idle_until_) {
      for (store::HistoryEvent& e : box.EventsAfter(event_sent_, kReadAhead))
        event_ahead_.push_back(std::move(e));
      if (event_ahead_.empty()) event_idle_until_ = now + kReadEvery;
    }
    if (event_ahead_.empty()) break;
    if (!SendOwedEvent(event_ahead_.front())) break;
    event_sent_ = event_ahead_.front().id;
    event_ahead_.pop_front();
  }
  // Then the records stored while the broker was away.
  while (!replay_done_ && owed_mids_.size() < kMaxOwed && replay_tokens_ >= 1) {
    if (record_ahead_.empty() && now >= record_idle_until_) {
      for (store::HistoryRecord& r : box.RecordsAfter(record_sent_, kReadAhead))
        record_ahead_.push_back(std::move(r));
      if (record_ahead_.empty()) {
        record_idle_until_ = now + kReadEvery;
        // Nothing of an earlier time came within a while of the connection
        // (steady values store nothing until their heartbeat).
        if (now - replay_started_ >= kReplayQuiet) replay_done_ = true;
      }
    }
    if (record_ahead_.empty()) break;
    if (record_ahead_.front().time >= replay_before_) {
      replay_done_ = true;  // stored since the connection: seen live
      record_ahead_.clear();
      break;
    }
    if (!SendOwedRecord(record_ahead_.front())) break;
    record_sent_ = record_ahead_.front().id;
    record_ahead_.pop_front();
  }
  if (now - outbox_head_at_ >= kHeadEvery) {
    outbox_head_at_ = now;
    OutboxCaughtUp();
  }
}

// Once the replay is done, what is stored from now on is seen live on the
// state topics: the record cursor follows the history's head, but late. A
// link that dies without a word (a modem losing its carrier) is noticed only
// after one and a half keepalives; the state messages of that time went
// nowhere. So the cursor moves to the head as it was two keepalives ago,
// and a lost connection forgets the heads it had seen. `confirmed`: the
// broker has just acknowledged a message sent after all of them (a clean
// stop): the head as it is.
void MqttExport::OutboxCaughtUp(bool confirmed) {
  const auto now = Clock::now();
  if (!replay_done_ || !owed_records_.empty()) return;
  live_heads_.emplace_back(now, source_.outbox->Heads().record_id);
  const auto margin =
      confirmed ? std::chrono::seconds(0) : std::chrono::seconds(2 * std::max(cfg_.keepalive_s, 5));
  int64_t head = 0;
  while (!live_heads_.empty() && now - live_heads_.front().first >= margin) {
    head = live_heads_.front().second;
    live_heads_.pop_front();
  }
  if (head <= record_sent_) return;
  record_sent_ = head;
  source_.outbox->AckRecords(head, 0);
}

bool MqttExport::SendOwedEvent(const store::HistoryEvent& e) {
  std::optional<unsigned int> device;
  if (source_.device_of_unit) device = source_.device_of_unit(e.event.data_id);
  Dev* d = device ? DeviceById(*device) : nullptr;
  if (d == nullptr) {
    // A device no longer on the site: nobody to send it to.
    owed_events_[e.id] = true;
    return true;
  }
  int mid = 0;
  if (!Send(DeviceTopic(*d, "events"), EventPayload(e.event, static_cast<uint64_t>(e.id)), 1,
            false, d->cfg.id, &mid))
    return false;
  owed_events_[e.id] = false;
  owed_mids_[mid] = {false, e.id};
  replay_tokens_ -= 1;
  return true;
}

bool MqttExport::SendOwedRecord(const store::HistoryRecord& r) {
  std::optional<view::SiteView::StoredUnit> u;
  if (source_.read_record) u = source_.read_record(r);
  Dev* d = u ? DeviceById(u->device) : nullptr;
  if (d == nullptr) {
    owed_records_[r.id] = true;
    return true;
  }
  int mid = 0;
  if (!Send(DeviceTopic(*d, "history"), HistoryPayload(d->cfg.name, r.id, u->unit), 1, false,
            d->cfg.id, &mid))
    return false;
  owed_records_[r.id] = false;
  owed_mids_[mid] = {true, r.id};
  replay_tokens_ -= 1;
  return true;
}

void MqttExport::OutboxAcked(int mid) {
  auto it = owed_mids_.find(mid);
  if (it == owed_mids_.end()) return;
  const auto [record, id] = it->second;
  owed_mids_.erase(it);
  std::map<int64_t, bool>& owed = record ? owed_records_ : owed_events_;
  auto o = owed.find(id);
  if (o != owed.end()) o->second = true;
  const auto [last, n] = TakeAcked(owed);
  if (n == 0) return;
  view::Outbox& box = *source_.outbox;
  if (record)
    box.AckRecords(last, n);
  else
    box.AckEvents(last, n);
  box.Success(EpochNow());
  std::lock_guard<std::mutex> lock(mu_);
  (record ? stats_.records_replayed : stats_.events_replayed) += n;
}

void MqttExport::LogOutboxLeft(bool connected) {
  const view::OutboxHealth h = source_.outbox->Health();
  if (!log_) return;
  if (h.pending_events == 0 && h.pending_records == 0) return;
  log_(fmt::format("mqtt: {}; {} wait in the history for the next connection",
                   connected ? "not all sent before the stop" : "stopping with the broker away",
                   view::BacklogText(h, EpochNow())));
}

}  // namespace qmx::exporter
