#include "view/outbox.h"

#include <fmt/format.h>

#include <algorithm>

namespace qmx::view {

Outbox::Outbox(store::HistoryStore& store, std::string sink, bool events)
    : store_(store), sink_(std::move(sink)), events_(events) {
  health_.sink = sink_;
  health_.events = events_;
  if (std::optional<store::OutboxCursor> c = store_.Cursor(sink_)) {
    cursor_ = *c;
  } else {
    cursor_ = store_.Heads();
    store_.SetCursor(sink_, cursor_);
  }
}

store::OutboxCursor Outbox::cursor() const {
  std::lock_guard<std::mutex> lock(mu_);
  return cursor_;
}

bool Outbox::FileReplaced(bool events, int64_t after) {
  // The history file was removed and made again: its ids start from 1, and
  // a cursor from the old file would skip all of them.
  const store::OutboxCursor head = store_.Heads();
  if (after <= (events ? head.event_id : head.record_id)) return false;
  std::lock_guard<std::mutex> lock(mu_);
  (events ? cursor_.event_id : cursor_.record_id) = 0;
  store_.SetCursor(sink_, cursor_);
  return true;
}

std::vector<store::HistoryEvent> Outbox::EventsAfter(int64_t after, size_t limit) {
  std::vector<store::HistoryEvent> out = store_.EventsAfter(after, limit);
  if (out.empty() && after > 0 && FileReplaced(true, after)) out = store_.EventsAfter(0, limit);
  return out;
}

std::vector<store::HistoryRecord> Outbox::RecordsAfter(int64_t after, size_t limit) {
  std::vector<store::HistoryRecord> out = store_.RecordsAfter(after, limit);
  if (out.empty() && after > 0 && FileReplaced(false, after)) out = store_.RecordsAfter(0, limit);
  return out;
}

void Outbox::AckEvents(int64_t up_to, uint64_t count) {
  std::lock_guard<std::mutex> lock(mu_);
  health_.sent_events += count;
  if (up_to <= cursor_.event_id) return;
  cursor_.event_id = up_to;
  store_.SetCursor(sink_, cursor_);
}

void Outbox::AckRecords(int64_t up_to, uint64_t count) {
  std::lock_guard<std::mutex> lock(mu_);
  health_.sent_records += count;
  if (up_to <= cursor_.record_id) return;
  cursor_.record_id = up_to;
  store_.SetCursor(sink_, cursor_);
}

void Outbox::RejectRecords(int64_t up_to, uint64_t count, const std::string& why, int64_t now) {
  std::lock_guard<std::mutex> lock(mu_);
  health_.rejected += count;
  health_.last_error = why;
  health_.last_error_time = now;
  if (up_to <= cursor_.record_id) return;
  cursor_.record_id = up_to;
  store_.SetCursor(sink_, cursor_);
}

void Outbox::SetConnected(bool connected) {
  std::lock_guard<std::mutex> lock(mu_);
  health_.connected = connected;
}

void Outbox::Success(int64_t now) {
  std::lock_guard<std::mutex> lock(mu_);
  health_.last_success = now;
}

void Outbox::Error(const std::string& why, int64_t now) {
  std::lock_guard<std::mutex> lock(mu_);
  health_.last_error = why;
  health_.last_error_time = now;
}

store::OutboxBacklog Outbox::Backlog() const { return store_.Backlog(cursor()); }

OutboxHealth Outbox::Health() const {
  const store::OutboxBacklog b = Backlog();
  std::lock_guard<std::mutex> lock(mu_);
  OutboxHealth h = health_;
  h.pending_events = events_ ? b.events : 0;
  h.pending_records = b.records;
  h.oldest = events_ ? b.oldest : b.oldest_record;
  h.lost_events = events_ ? b.lost_events : 0;
  h.lost_records = b.lost_records;
  return h;
}

std::string BacklogText(const OutboxHealth& h, int64_t now) {
  std::string text =
      fmt::format("{} record{}", h.pending_records, h.pending_records == 1 ? "" : "s");
  if (h.events)
    text =
        fmt::format("{} alarm event{} and ", h.pending_events, h.pending_events == 1 ? "" : "s") +
        text;
  if (h.oldest > 0)
    text += fmt::format(" (the oldest {} s old)", std::max<int64_t>(0, now - h.oldest));
  return text;
}

NoticeOutbox::NoticeOutbox(store::HistoryStore& store, std::string sink)
    : store_(store), sink_(std::move(sink)) {
  const int64_t head = store_.NoticesPast(0).head;
  const std::optional<store::OutboxCursor> c = store_.Cursor(sink_);
  if (!c) {
    after_ = head;  // new: owed what is kept from now on
    store_.SetCursor(sink_, {head, 0});
  } else if (c->event_id > head) {
    after_ = 0;  // a new database file: everything in it is owed
    store_.SetCursor(sink_, {0, 0});
  } else {
    after_ = c->event_id;
  }
}

uint64_t NoticeOutbox::Owed() const { return store_.NoticesPast(after_.load()).count; }

void NoticeOutbox::Keep(int64_t time, const std::string& body) {
  store_.AppendNotice(time, body);
  store_.Flush();
}

std::vector<store::StoredNotice> NoticeOutbox::Next(size_t limit) const {
  return store_.NoticesAfter(after_.load(), limit);
}

void NoticeOutbox::Done(int64_t id) {
  if (id <= after_.load()) return;  // forward only
  after_ = id;
  store_.SetCursor(sink_, {id, 0});
}

void NoticeOutbox::Flush() { store_.Flush(); }

}  // namespace qmx::view
