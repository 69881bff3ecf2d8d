#pragma once

// The history as an outbox: a northbound sink (the MQTT export, remote
// write) delivers what lies past its cursor, in the order it was written,
// with the original times, and moves the cursor once the far end has
// acknowledged it. The cursor is stored in the history database and written
// with the commits the history makes anyway, so a restart, however often,
// starts where the last acknowledgement left off (a few items of the
// in-flight window may go twice; events carry their row id for a consumer to
// drop them).
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "store/history_store.h"

namespace qmx::view {

// One sink's outbox as every front end shows it.
struct OutboxHealth {
  std::string sink;    // "mqtt", "remote_write"
  bool events = true;  // the sink carries alarm events
  bool connected = false;
  uint64_t pending_events = 0, pending_records = 0;
  int64_t oldest = 0;  // epoch seconds of the oldest item not delivered; 0: none
  // Items past the cursor that retention or the size bound took before they
  // were delivered (since the cursor last moved).
  uint64_t lost_events = 0, lost_records = 0;
  // This run: delivered and acknowledged; refused by the far end for good.
  uint64_t sent_events = 0, sent_records = 0;
  uint64_t rejected = 0;
  int64_t last_success = 0;  // epoch seconds; 0: none this run
  int64_t last_error_time = 0;
  std::string last_error;
};

class Outbox {
 public:
  // A sink never seen before starts at the history's head: it is owed what
  // is written from now on, not the whole past.
  // `events`: whether the sink carries alarm events (remote write carries
  // records alone; its event cursor stays where it is and owes nothing).
  Outbox(store::HistoryStore& store, std::string sink, bool events = true);

  const std::string& sink() const { return sink_; }
  store::OutboxCursor cursor() const;

  // Written items past `after` (ids), oldest first, at most `limit`. When
  // the database was replaced and holds fewer rows than the cursor says,
  // the cursor starts again from the beginning of the new file, and so do
  // the items returned.
  std::vector<store::HistoryEvent> EventsAfter(int64_t after, size_t limit);
  std::vector<store::HistoryRecord> RecordsAfter(int64_t after, size_t limit);

  // The far end acknowledged everything up to these ids (`count` items):
  // the cursor moves forward, never back.
  void AckEvents(int64_t up_to, uint64_t count);
  void AckRecords(int64_t up_to, uint64_t count);
  // Items the far end refused for good (e.g. HTTP 400): counted, and the
  // cursor moves past them all the same.
  void RejectRecords(int64_t up_to, uint64_t count, const std::string& why, int64_t now);

  void SetConnected(bool connected);
  void Success(int64_t now);
  void Error(const std::string& why, int64_t now);

  // The newest ids written.
  store::OutboxCursor Heads() const { return store_.Heads(); }
  // With the backlog counted in the database now.
  OutboxHealth Health() const;
  store::OutboxBacklog Backlog() const;

 private:
  // True (and the cursor back at 0) when `after` lies beyond the newest id.
  bool FileReplaced(bool events, int64_t after);
  store::HistoryStore& store_;
  const std::string sink_;
  const bool events_;
  mutable std::mutex mu_;
  store::OutboxCursor cursor_;
  OutboxHealth health_;
};

// The notices a notification sink (the webhook) owes, kept in the
// history's notice table and delivered past the sink's cursor in the order
// they were kept. A sink never seen before is owed what is kept from now on;
// a database file made anew owes everything in it.
class NoticeOutbox {
 public:
  NoticeOutbox(store::HistoryStore& store, std::string sink);

  const std::string& sink() const { return sink_; }
  // Kept past the cursor, counted now.
  uint64_t Owed() const;
  // Kept at once: a notice owed must outlive the process. Should the
  // database refuse, the store holds it and writes it with a later flush.
  void Keep(int64_t time, const std::string& body);
  // The next notices past the cursor, oldest first, at most `limit`.
  std::vector<store::StoredNotice> Next(size_t limit) const;
  // Delivered or refused for good up to this notice: the cursor moves on
  // (written with the history's next commit).
  void Done(int64_t id);
  // The cursor and anything kept, written now.
  void Flush();

 private:
  store::HistoryStore& store_;
  const std::string sink_;
  std::atomic<int64_t> after_{0};
};

// "N alarm events and M records" ("M records" for a sink without events),
// with the age of the oldest, for log lines.
std::string BacklogText(const OutboxHealth& h, int64_t now);

}  // namespace qmx::view
