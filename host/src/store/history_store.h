#pragma once

#include <atomic>
#include <cstddef>
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

#include "store/alarm_event.h"
#include "store/audit_entry.h"
#include "store/log_sink.h"

struct sqlite3;

namespace qmx::store {

// One unit's record image at a round end (unit type 5091 AC, 5092 rectifier,
// 5093 DC).
struct HistoryRecord {
  int64_t id = 0;  // row id once stored
  uint32_t data_id = 0;
  int type = 0;
  int64_t time = 0;        // epoch seconds
  std::string local_time;  // "YYYY-MM-DD HH:MM:SS", local clock
  std::vector<unsigned char> image;
};

// A stored alarm event.
struct HistoryEvent {
  int64_t id = 0;
  std::string local_time;
  AlarmEvent event;
};

// Where a northbound sink (an MQTT broker, a remote-write receiver) has got
// to: the last alarm event and the last record it had acknowledged. Row ids
// only grow (the newest rows are never deleted), so "past the cursor" is
// "not yet delivered".
struct OutboxCursor {
  int64_t event_id = 0;
  int64_t record_id = 0;
  bool operator==(const OutboxCursor& o) const {
    return event_id == o.event_id && record_id == o.record_id;
  }
  bool operator!=(const OutboxCursor& o) const { return !(*this == o); }
};

// What lies past a cursor in the database.
struct OutboxBacklog {
  uint64_t events = 0, records = 0;
  int64_t oldest = 0;         // epoch seconds of the oldest of them; 0: none
  int64_t oldest_record = 0;  // of the oldest record alone
  // Rows that were past the cursor and went (retention, the size bound)
  // before they were delivered.
  uint64_t lost_events = 0, lost_records = 0;
  int64_t head_event = 0, head_record = 0;  // the newest ids written
};

// Old rows go inside each write transaction; 0 switches a limit off. The
// newest (last written) record of a (data_id, type) is never deleted, whatever
// its age. Limits apply to the units written in a flush, and to every unit on
// the first flush after the database is opened.
// A notice a notification sink owes, as it sends it (its JSON).
struct StoredNotice {
  int64_t id = 0;
  int64_t time = 0;
  std::string body;
};
// The notices past a sink's cursor.
struct NoticeBacklog {
  uint64_t count = 0;
  int64_t oldest = 0;  // epoch seconds; 0: none
  int64_t head = 0;    // the newest id written (0: none)
};

// A battery discharge of a device as the history keeps it (times epoch
// milliseconds; end_ms 0 while it goes on; no value: NULL).
struct DischargeRow {
  int64_t id = 0;  // row id once stored
  uint32_t device = 0;
  int64_t start_ms = 0, end_ms = 0;
  std::string cause;
  double ah = 0, kwh = 0;
  std::optional<double> min_v, end_v, min_temp;
  std::string result;
  double expected_ah = 0;
};

// Discharge rows kept per device (the newest); apart from every other bound.
inline constexpr uint32_t kMaxDischargeRows = 1000;

struct RetentionPolicy {
  uint32_t max_rows = 0;        // records kept per (data_id, type)
  uint32_t max_days = 0;        // records and events older than this go
  uint32_t max_event_rows = 0;  // events kept per data_id
  // Audit rows kept (the newest); apart from every other bound: neither
  // the size bound nor the age limit takes them.
  uint32_t max_audit_rows = 10000;
  // Notices kept for notification sinks (the newest); apart from every
  // other bound, like the audit.
  uint32_t max_notice_rows = 10000;
};

struct HistoryOptions {
  std::string path;  // the database file
  RetentionPolicy retention;
  // Items kept in memory while the database refuses them; beyond it the
  // oldest are dropped (counted and logged).
  size_t max_pending = 4096;
  // FULL also survives a power cut with the last round; NORMAL survives a
  // killed process but may lose the last rounds on power loss.
  bool full_sync = true;
  int busy_timeout_ms = 2000;
  LogSink log;
  std::function<int64_t()> clock;  // epoch seconds for the age limit; default: time()
  // The alarms raised now (the alarm service's state), written into a new
  // database file that replaces one removed while running.
  std::function<std::vector<AlarmEvent>()> active_alarms;
  // Records wait in memory up to this many seconds (by `clock`) before
  // FlushDue() commits them; alarm events are committed by the next FlushDue
  // at once. 0: every FlushDue commits what is pending.
  uint32_t commit_s = 0;
  // Bound on the database and its WAL together; the oldest records go first
  // (a unit's newest is kept), alarm events only when no record is left to
  // delete. 0: no bound.
  uint64_t max_bytes = 0;
  // Page size of a new database file (an existing one keeps its own). A
  // commit of a few records touches a few pages; with 1 KiB pages that is a
  // third less written than with 4 KiB (history_bench, README).
  int page_size = 1024;
  // The WAL is checkpointed into the database when it passes this size, not
  // after every commit, and cut back to twice this when larger.
  uint64_t wal_bytes = 1u << 20;
};

// History of round records and alarm events in one SQLite database (WAL).
// Callers append a round's items and call Flush(), which writes everything
// pending in one transaction. A database that cannot be opened or written
// (corrupt, read-only, disk full, locked) is logged; nothing is thrown, and
// the items stay pending until a later Flush (which reopens the file when
// needed) gets them in.
//
// Thread-safe: every method may be called from any thread. Appends never wait
// for a running Flush; Flush and the queries are serialised.
class HistoryStore {
 public:
  explicit HistoryStore(HistoryOptions options);
  ~HistoryStore();  // last Flush, then close

  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // Opens (or creates) the database now. False when it cannot; the store still
  // takes items and retries on Flush.
  bool Open();

  void AppendRecord(uint32_t data_id, int type, int64_t time, const unsigned char* image,
                    size_t len);
  void AppendEvent(const AlarmEvent& event);
  // A control attempt for the audit trail; committed by the next FlushDue at
  // once, like an alarm event.
  void AppendAudit(const AuditEntry& entry);

  // A notice a notification sink owes (its body as sent); committed by the
  // next FlushDue at once, like an alarm event. Read back with NoticesAfter
  // and a cursor's event_id.
  void AppendNotice(int64_t time, const std::string& body);

  // Writes every pending item (and moved outbox cursors) in one transaction,
  // with retention and the size bound. True when nothing is left pending.
  bool Flush();
  // Flush() when an alarm event is pending, when the first pending record has
  // waited commit_s, or when the pending queue is half full; otherwise true
  // without writing.
  bool FlushDue();

  // Stored items of one device with time in [from, to], oldest first.
  std::vector<HistoryRecord> Records(uint32_t data_id, int64_t from, int64_t to) const;
  std::vector<HistoryEvent> Events(uint32_t data_id, int64_t from, int64_t to) const;

  // The records of one unit type of a device in [from, to], oldest first, for
  // charts: at most `limit` of them, the newest, so the chart always holds
  // what was stored last. `stored` counts every record in the range, also
  // when more than `limit` were there and the older ones were left out.
  struct RecordRange {
    std::vector<HistoryRecord> records;
    uint64_t stored = 0;
  };
  RecordRange RecordsNewest(uint32_t data_id, int type, int64_t from, int64_t to,
                            size_t limit) const;
  // The newest record of each type stored for data_id with time before `t`:
  // what a range starting at `t` begins with, since a value holds until the
  // next record.
  // With `type` (not 0): only that type's, one index seek.
  std::vector<HistoryRecord> RecordsBefore(uint32_t data_id, int64_t t, int type = 0) const;
  // The newest `limit` events of one device in [from, to], oldest first.
  std::vector<HistoryEvent> EventsNewest(uint32_t data_id, int64_t from, int64_t to,
                                         size_t limit) const;

  // The newest `limit` audit rows with time in [from, to] (pending ones
  // included, id 0), oldest first.
  std::vector<AuditEntry> Audit(int64_t from, int64_t to, size_t limit) const;

  // The alarm points raised and not cleared since, as of the last event of
  // each (written or pending), for the alarm service at start-up; time is the
  // raise.
  std::vector<AlarmEvent> OpenAlarms() const;

  // The newest image of a unit (pending ones first), for the cache restore at
  // start-up.
  std::optional<std::vector<unsigned char>> LastImage(uint32_t data_id, int type) const;
  // The newest image of each type stored under data_id, newest first.
  std::vector<std::pair<int, std::vector<unsigned char>>> LastImages(uint32_t data_id) const;

  // --- The outbox: the history read in the order it was written, for sinks
  // that deliver it north.

  // The sink's cursor as last set (this run) or stored; none when the sink
  // has never set one (or the database cannot be read).
  std::optional<OutboxCursor> Cursor(const std::string& sink) const;
  // Moves the sink's cursor. Kept in memory and written with the next
  // transaction the history commits anyway (records, events, the last Flush
  // at stop): moving a cursor costs no write of its own.
  void SetCursor(const std::string& sink, const OutboxCursor& cursor);
  // A small document kept across restarts under `name`: written, like the
  // cursors, with the next transaction the history commits (Flush() to
  // write it now).
  void Keep(const std::string& name, const std::string& body);
  // As last kept (this run) or stored; none when never kept.
  std::optional<std::string> Kept(const std::string& name) const;

  // --- A device's own memory (the battery engine's counters): one small
  // document per (device, key). Kept in memory and written with the next
  // commit, so a device writes its row at most once per commit however
  // often it saves; FlushDue counts a saved state like a pending record
  // (committed once it has waited commit_s). A power cut loses at most what
  // was saved since the last commit.
  void SaveState(uint32_t device, const std::string& key, const std::string& json);
  // As last saved (this run) or stored; none when never saved.
  std::optional<std::string> LoadState(uint32_t device, const std::string& key) const;

  // --- Battery discharges, written at once (not with the commit): a row
  // is added when a discharge begins and updated when it ends. The newest
  // kMaxDischargeRows per device are kept.
  // The new row's id; 0 when the database cannot take it now (logged).
  int64_t AddDischarge(const DischargeRow& row);
  // Rewrites the row with row.id (a row of id 0 is added instead). False
  // when it cannot be written now (logged).
  bool UpdateDischarge(const DischargeRow& row);
  // Discharges of `device` (0: every device) that started in [from_s, to_s]
  // (epoch seconds), newest first, at most `limit`.
  std::vector<DischargeRow> Discharges(uint32_t device, int64_t from_s, int64_t to_s,
                                       size_t limit) const;
  // Written events with id > `after`, every device, in id order; at most
  // `limit`.
  std::vector<HistoryEvent> EventsAfter(int64_t after, size_t limit) const;
  // Written records with id > `after`, every unit, in id order; at most
  // `limit`.
  std::vector<HistoryRecord> RecordsAfter(int64_t after, size_t limit) const;
  // Written notices with id > `after`, in id order; at most `limit`.
  std::vector<StoredNotice> NoticesAfter(int64_t after, size_t limit) const;
  // How many written notices lie past `after`, and the newest id.
  NoticeBacklog NoticesPast(int64_t after) const;
  // The newest ids written (0: none), one index seek each.
  OutboxCursor Heads() const;
  // What lies past `cursor`, and the newest ids written.
  OutboxBacklog Backlog(const OutboxCursor& cursor) const;

  // Exports; images as upper-case hex. CSV fields with a comma, quote or line
  // break are quoted.
  //   records: id,data_id,type,time,local_time,image
  //   events:  id,data_id,time,local_time,state,level,key,code,seq,name,text
  std::string ExportRecordsCsv(uint32_t data_id, int64_t from, int64_t to) const;
  std::string ExportEventsCsv(uint32_t data_id, int64_t from, int64_t to) const;

  size_t pending() const;
  uint64_t dropped() const;  // items dropped because the pending bound was hit
  bool is_open() const;
  uint64_t commits() const;        // transactions written since the store was made
  uint64_t bound_deleted() const;  // rows deleted to keep the size bound

 private:
  struct Pending {
    uint64_t seq = 0;
    bool is_event = false;
    bool is_audit = false;
    bool is_notice = false;
    int64_t notice_time = 0;
    std::string notice_body;
    HistoryRecord record;
    AlarmEvent event;
    AuditEntry audit;
  };

  void Push(Pending item);
  bool OpenLocked() const;
  void CloseLocked() const;
  // The file at the path is no longer the one open (removed, or replaced).
  bool FileReplacedLocked() const;
  // SQLITE_OK, or the error code with `error` set; rolled back on error.
  using StateMap = std::map<std::pair<uint32_t, std::string>, std::string>;
  int WriteLocked(const std::vector<Pending>& batch,
                  const std::map<std::string, OutboxCursor>& cursors,
                  const std::map<std::string, std::string>& kept, const StateMap& states,
                  std::string& error);
  // Deletes the oldest rows while the file passes max_bytes; SQLITE_OK or
  // the error code with `error` set (the transaction is still open).
  int BoundSizeLocked(std::string& error);
  // An older layout (AUTOINCREMENT, two record indexes) rebuilt in place,
  // keeping every row and its id; logged and left as it is when it fails.
  void MigrateLocked(sqlite3* db) const;
  void Log(const std::string& line) const;

  HistoryOptions opt_;

  mutable std::mutex pend_mu_;
  std::deque<Pending> pending_;
  uint64_t next_seq_ = 1;
  uint64_t dropped_ = 0;
  size_t pending_events_ = 0;
  int64_t first_pending_at_ = 0;  // clock() when the queue last became non-empty

  mutable std::mutex db_mu_;
  mutable sqlite3* db_ = nullptr;
  mutable bool sweep_all_ = true;  // first write after an open ages every unit
  mutable uint64_t failed_flushes_ = 0;
  mutable std::string last_error_;   // repeated failures are logged once, then every 100th
  mutable bool file_known_ = false;  // identity of the open file
  mutable uint64_t file_dev_ = 0;
  mutable uint64_t file_ino_ = 0;
  // Outbox cursors: as set, and those not yet written.
  mutable std::mutex cursor_mu_;
  std::map<std::string, OutboxCursor> cursors_;
  std::set<std::string> cursors_dirty_;
  std::map<std::string, std::string> kept_;
  std::set<std::string> kept_dirty_;
  StateMap states_;
  std::set<std::pair<uint32_t, std::string>> states_dirty_;
  int64_t states_dirty_since_ = 0;  // clock() when a state first waited for the commit
  std::atomic<uint64_t> commits_{0};
  std::atomic<uint64_t> bound_deleted_{0};
  bool bound_stuck_logged_ = false;
};

}  // namespace qmx::store
