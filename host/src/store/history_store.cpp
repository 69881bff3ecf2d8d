#include "store/history_store.h"

#include <json/value.h>
#include <json/writer.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <tuple>
#include <utility>

#include "units/common/safe_text.h"

namespace qmx::store {

namespace {

// Layout 2. Rows are appended in id order, so a commit touches the last leaf
// of each table and one leaf of each index: no AUTOINCREMENT (its sequence
// row would be one more page per commit; ids stay increasing because the
// newest rows are never deleted) and one index per table, (data_id, t), which
// every query by unit and time range uses.
constexpr int kLayout = 2;
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS round_record("
    " id INTEGER PRIMARY KEY,"
    " data_id INTEGER NOT NULL,"
    " type INTEGER NOT NULL,"
    " t INTEGER NOT NULL,"
    " local_time TEXT NOT NULL,"
    " image BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS round_record_time ON round_record(data_id, t);"
    "CREATE TABLE IF NOT EXISTS alarm_event("
    " id INTEGER PRIMARY KEY,"
    " data_id INTEGER NOT NULL,"
    " t INTEGER NOT NULL,"
    " local_time TEXT NOT NULL,"
    " raised INTEGER NOT NULL,"
    " level INTEGER NOT NULL,"
    " key TEXT NOT NULL,"
    " code TEXT NOT NULL,"
    " seq INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " text TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS alarm_event_time ON alarm_event(data_id, t);"
    // The points raised now, kept beside the events so retention cannot take
    // the raise of an alarm that is still active.
    "CREATE TABLE IF NOT EXISTS alarm_state("
    " data_id INTEGER NOT NULL,"
    " key TEXT NOT NULL,"
    " seq INTEGER NOT NULL,"
    " t INTEGER NOT NULL,"
    " level INTEGER NOT NULL,"
    " code TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " text TEXT NOT NULL,"
    " PRIMARY KEY(data_id, key, seq));"
    // Every control attempt, whatever it came through; bounded by its own
    // count (RetentionPolicy::max_audit_rows), never by size or age.
    "CREATE TABLE IF NOT EXISTS control_audit("
    " id INTEGER PRIMARY KEY,"
    " t INTEGER NOT NULL,"
    " local_time TEXT NOT NULL,"
    " via TEXT NOT NULL,"
    " who TEXT NOT NULL,"
    " peer TEXT NOT NULL,"
    " device INTEGER NOT NULL,"
    " code INTEGER NOT NULL,"
    " byte INTEGER NOT NULL,"
    " request_id TEXT NOT NULL,"
    " outcome TEXT NOT NULL,"
    " result INTEGER NOT NULL,"
    " reason TEXT NOT NULL);"
    // Where each northbound sink has got to (OutboxCursor); rewritten only
    // in transactions that write anyway.
    "CREATE TABLE IF NOT EXISTS outbox_cursor("
    " sink TEXT PRIMARY KEY,"
    " event_id INTEGER NOT NULL,"
    " record_id INTEGER NOT NULL) WITHOUT ROWID;"
    // Small documents the service keeps across restarts (the alarm board's
    // acknowledgements, shelves and maintenance); rewritten like the cursors.
    "CREATE TABLE IF NOT EXISTS kept_state("
    " name TEXT PRIMARY KEY,"
    " body TEXT NOT NULL) WITHOUT ROWID;"
    // Notices a notification sink still owes (the webhook's outbox), as the
    // JSON it sends; bounded by count (RetentionPolicy::max_notice_rows).
    "CREATE TABLE IF NOT EXISTS notice("
    " id INTEGER PRIMARY KEY,"
    " t INTEGER NOT NULL,"
    " body TEXT NOT NULL);"
    // A device's own memory (the battery engine's counters), one row per
    // (device, key), rewritten with the commits that write anyway.
    "CREATE TABLE IF NOT EXISTS device_state("
    " device INTEGER NOT NULL,"
    " key TEXT NOT NULL,"
    " body TEXT NOT NULL,"
    " PRIMARY KEY(device, key)) WITHOUT ROWID;"
    // Battery discharges (times epoch ms; end_ms 0 while going on), bounded
    // per device by kMaxDischargeRows.
    "CREATE TABLE IF NOT EXISTS discharge("
    " id INTEGER PRIMARY KEY,"
    " device INTEGER NOT NULL,"
    " start_ms INTEGER NOT NULL,"
    " end_ms INTEGER NOT NULL,"
    " cause TEXT NOT NULL,"
    " ah REAL NOT NULL,"
    " kwh REAL NOT NULL,"
    " min_v REAL,"
    " end_v REAL,"
    " min_temp REAL,"
    " result TEXT NOT NULL,"
    " expected_ah REAL NOT NULL);"
    "CREATE INDEX IF NOT EXISTS discharge_start ON discharge(device, start_ms);";

// Layout 1 (AUTOINCREMENT ids, a second record index on (data_id, type))
// rebuilt as layout 2 in one transaction, ids kept.
constexpr const char* kMigrate1To2 =
    "CREATE TABLE round_record_2("
    " id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, type INTEGER NOT NULL,"
    " t INTEGER NOT NULL, local_time TEXT NOT NULL, image BLOB NOT NULL);"
    "INSERT INTO round_record_2 SELECT id, data_id, type, t, local_time, image FROM round_record;"
    "DROP TABLE round_record;"
    "ALTER TABLE round_record_2 RENAME TO round_record;"
    "CREATE INDEX round_record_time ON round_record(data_id, t);"
    "CREATE TABLE alarm_event_2("
    " id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, t INTEGER NOT NULL,"
    " local_time TEXT NOT NULL, raised INTEGER NOT NULL, level INTEGER NOT NULL,"
    " key TEXT NOT NULL, code TEXT NOT NULL, seq INTEGER NOT NULL, name TEXT NOT NULL,"
    " text TEXT NOT NULL);"
    "INSERT INTO alarm_event_2 SELECT id, data_id, t, local_time, raised, level, key, code, seq,"
    " name, text FROM alarm_event;"
    "DROP TABLE alarm_event;"
    "ALTER TABLE alarm_event_2 RENAME TO alarm_event;"
    "CREATE INDEX alarm_event_time ON alarm_event(data_id, t);"
    "DELETE FROM sqlite_sequence;";

// A database written before alarm_state existed: its open alarms are the
// points whose last event is a raise.
constexpr const char* kFillAlarmState =
    "INSERT OR REPLACE INTO alarm_state(data_id, key, seq, t, level, code, name, text) "
    "SELECT data_id, key, seq, t, level, code, name, text FROM alarm_event e WHERE raised = 1 "
    "AND id = (SELECT MAX(id) FROM alarm_event WHERE data_id = e.data_id AND key = e.key "
    "AND seq = e.seq)";

std::string LocalTimeText(int64_t t) {
  const std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  char buf[32] = {0};
  if (localtime_r(&tt, &tm) == nullptr ||
      std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm) == 0) {
    return std::string();
  }
  return buf;
}

std::string ErrorText(sqlite3* db, int rc) {
  std::string msg = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  return msg + " (code " + std::to_string(rc) + ")";
}

// A prepared statement that finalises itself.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) : db_(db) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr);
  }
  ~Stmt() { sqlite3_finalize(s_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool ok() const { return rc_ == SQLITE_OK; }
  int rc() const { return rc_; }
  Stmt& Int(int i, int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  Stmt& Text(int i, const std::string& v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& Real(int i, double v) {
    sqlite3_bind_double(s_, i, v);
    return *this;
  }
  Stmt& Real(int i, const std::optional<double>& v) {
    if (v) {
      sqlite3_bind_double(s_, i, *v);
    } else {
      sqlite3_bind_null(s_, i);
    }
    return *this;
  }
  Stmt& Blob(int i, const std::vector<unsigned char>& v) {
    // A null pointer would bind NULL; an empty image is a zero-length blob.
    if (v.empty()) {
      sqlite3_bind_zeroblob(s_, i, 0);
    } else {
      sqlite3_bind_blob(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code (kept in rc()).
  int Step() {
    const int rc = sqlite3_step(s_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) rc_ = rc;
    return rc;
  }
  void Reset() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
  int64_t ColInt(int c) const { return sqlite3_column_int64(s_, c); }
  std::string ColText(int c) const {
    const unsigned char* p = sqlite3_column_text(s_, c);
    return p != nullptr ? std::string(reinterpret_cast<const char*>(p),
                                      static_cast<size_t>(sqlite3_column_bytes(s_, c)))
                        : std::string();
  }
  double ColReal(int c) const { return sqlite3_column_double(s_, c); }
  std::optional<double> ColOptReal(int c) const {
    if (sqlite3_column_type(s_, c) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_double(s_, c);
  }
  std::vector<unsigned char> ColBlob(int c) const {
    const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(s_, c));
    const int n = sqlite3_column_bytes(s_, c);
    return p != nullptr && n > 0 ? std::vector<unsigned char>(p, p + n)
                                 : std::vector<unsigned char>();
  }
  std::string Error() const { return ErrorText(db_, rc_); }

 private:
  sqlite3* db_;
  sqlite3_stmt* s_ = nullptr;
  int rc_;
};

int Exec(sqlite3* db, const char* sql, std::string& error) {
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) error = ErrorText(db, rc);
  return rc;
}

// Errors after which the connection stays usable; anything else (corrupt
// file, I/O error, read-only) closes it so the next Flush reopens the file.
bool KeepConnection(int rc) {
  const int primary = rc & 0xFF;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_FULL;
}

std::string Hex(const std::vector<unsigned char>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

// Control characters never reach the export raw (a terminal would obey an
// ESC sequence in an alarm text): they are written as \xNN.
std::string CsvField(const std::string& text) {
  const std::string v = k417t_text::Safe(text);
  if (v.find_first_of(",\"") == std::string::npos) return v;
  std::string out = "\"";
  for (char c : v) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

bool SetAlarmState(sqlite3* db, const AlarmEvent& e) {
  if (e.raised) {
    Stmt s(db,
           "INSERT OR REPLACE INTO alarm_state(data_id, key, seq, t, level, code, name, text) "
           "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    s.Int(1, e.data_id).Text(2, e.key).Int(3, e.seq).Int(4, e.time).Int(5, e.level);
    s.Text(6, e.code).Text(7, e.name).Text(8, e.text);
    return s.ok() && s.Step() == SQLITE_DONE;
  }
  Stmt s(db, "DELETE FROM alarm_state WHERE data_id = ?1 AND key = ?2 AND seq = ?3");
  s.Int(1, e.data_id).Text(2, e.key).Int(3, e.seq);
  return s.ok() && s.Step() == SQLITE_DONE;
}

// A row of "id, type, t, local_time, image" from round_record.
HistoryRecord RecordRow(Stmt& q, uint32_t data_id) {
  HistoryRecord r;
  r.id = q.ColInt(0);
  r.data_id = data_id;
  r.type = static_cast<int>(q.ColInt(1));
  r.time = q.ColInt(2);
  r.local_time = q.ColText(3);
  r.image = q.ColBlob(4);
  return r;
}

// A row of "id, t, local_time, raised, level, key, code, seq, name, text"
// from alarm_event.
HistoryEvent EventRow(Stmt& q, uint32_t data_id) {
  HistoryEvent h;
  h.id = q.ColInt(0);
  h.local_time = q.ColText(2);
  AlarmEvent& e = h.event;
  e.data_id = data_id;
  e.time = q.ColInt(1);
  e.raised = q.ColInt(3) != 0;
  e.level = static_cast<uint32_t>(q.ColInt(4));
  e.key = q.ColText(5);
  e.code = q.ColText(6);
  e.seq = static_cast<uint32_t>(q.ColInt(7));
  e.name = q.ColText(8);
  e.text = q.ColText(9);
  return h;
}

}  // namespace

HistoryStore::HistoryStore(HistoryOptions options) : opt_(std::move(options)) {
  if (opt_.max_pending == 0) opt_.max_pending = 1;
  if (!opt_.clock) opt_.clock = [] { return static_cast<int64_t>(std::time(nullptr)); };
}

HistoryStore::~HistoryStore() {
  Flush();
  const size_t left = pending();
  std::lock_guard<std::mutex> lock(db_mu_);
  if (left > 0) Log("history: closing with " + std::to_string(left) + " items not written");
  CloseLocked();
}

void HistoryStore::Log(const std::string& line) const {
  if (opt_.log) opt_.log(line);
}

bool HistoryStore::Open() {
  std::lock_guard<std::mutex> lock(db_mu_);
  return OpenLocked();
}

bool HistoryStore::OpenLocked() const {
  if (db_ != nullptr) return true;
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(opt_.path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  std::string why;
  if (rc != SQLITE_OK) {
    why = ErrorText(db, rc);
  } else {
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, opt_.busy_timeout_ms);
    if (sqlite3_db_readonly(db, "main") == 1) {
      why = "the file is read-only";
    } else {
      // Takes effect only on a file without tables yet (before WAL is on).
      const std::string page = "PRAGMA page_size=" + std::to_string(opt_.page_size);
      sqlite3_exec(db, page.c_str(), nullptr, nullptr, nullptr);
      Stmt wal(db, "PRAGMA journal_mode=WAL");
      if (!wal.ok() || wal.Step() != SQLITE_ROW) {
        why = wal.Error();
      } else if (wal.ColText(0) != "wal") {
        Log("history: " + opt_.path + ": WAL not available, journal mode " + wal.ColText(0));
      }
    }
    if (why.empty()) {
      // Commits are few (one per commit interval or alarm change), so each
      // may wait for the disk: an alarm event committed survives a power cut.
      Exec(db, opt_.full_sync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL", why);
      // 256 KiB of page cache instead of SQLite's 2 MiB: the writes are
      // appends and the reads rare, and a gateway counts its memory.
      if (why.empty()) Exec(db, "PRAGMA cache_size=-256", why);
    }
    if (why.empty()) {
      // Checkpoint by size: SQLite's own automatic checkpoint, at a WAL of
      // about wal_bytes. A page written by several commits in between goes
      // to the database file once.
      Stmt ps(db, "PRAGMA page_size");
      const int64_t page = ps.ok() && ps.Step() == SQLITE_ROW ? ps.ColInt(0) : 4096;
      const uint64_t frames = std::max<uint64_t>(16, opt_.wal_bytes / std::max<int64_t>(512, page));
      const std::string auto_ckpt = "PRAGMA wal_autocheckpoint=" + std::to_string(frames);
      const std::string limit = "PRAGMA journal_size_limit=" + std::to_string(2 * opt_.wal_bytes);
      Exec(db, auto_ckpt.c_str(), why);
      if (why.empty()) Exec(db, limit.c_str(), why);
    }
    bool had_state = false;
    if (why.empty()) {
      Stmt q(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'alarm_state'");
      had_state = q.ok() && q.Step() == SQLITE_ROW;
      MigrateLocked(db);
      Exec(db, kSchema, why);
    }
    if (why.empty() && !had_state) Exec(db, kFillAlarmState, why);
    // A new, empty file: the alarms raised now are written into it, so a
    // database removed while running still knows them at the next start.
    if (why.empty() && opt_.active_alarms) {
      Stmt n(db, "SELECT COUNT(*) FROM alarm_event");
      if (n.ok() && n.Step() == SQLITE_ROW && n.ColInt(0) == 0) {
        for (const AlarmEvent& a : opt_.active_alarms()) SetAlarmState(db, a);
      }
    }
  }
  if (!why.empty()) {
    sqlite3_close_v2(db);
    const std::string line = "history: cannot open " + opt_.path + ": " + why;
    // The same failure on every flush is logged once, then every 100th time.
    if (line != last_error_ || failed_flushes_ % 100 == 0) Log(line);
    last_error_ = line;
    return false;
  }
  db_ = db;
  sweep_all_ = true;
  struct stat st {};
  file_known_ = stat(opt_.path.c_str(), &st) == 0;
  file_dev_ = st.st_dev;
  file_ino_ = st.st_ino;
  return true;
}

void HistoryStore::MigrateLocked(sqlite3* db) const {
  // Statements finished before the rebuild: a table being read cannot be dropped.
  int64_t layout = 0;
  bool exists = false, autoincrement = false;
  {
    Stmt v(db, "PRAGMA user_version");
    layout = v.ok() && v.Step() == SQLITE_ROW ? v.ColInt(0) : 0;
    Stmt old(db, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'round_record'");
    exists = old.ok() && old.Step() == SQLITE_ROW;
    autoincrement = exists && old.ColText(0).find("AUTOINCREMENT") != std::string::npos;
  }
  if (layout >= kLayout) return;
  std::string error;
  if (!exists) {
    // A new file: the schema is created as layout 2.
    Exec(db, "PRAGMA user_version=2", error);
    return;
  }
  if (Exec(db, "BEGIN IMMEDIATE", error) == SQLITE_OK) {
    if (autoincrement) {
      Exec(db, kMigrate1To2, error);
    } else {
      Exec(db, "DROP INDEX IF EXISTS round_record_unit", error);
    }
    if (error.empty()) Exec(db, "PRAGMA user_version=2", error);
    if (error.empty() && Exec(db, "COMMIT", error) == SQLITE_OK) {
      Log("history: " + opt_.path + " rebuilt in the current layout (rows and ids kept)");
      return;
    }
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  // The older layout is still read and written; the next open tries again.
  Log("history: " + opt_.path + ": rebuilding in the current layout failed: " + error +
      "; it is used as it is");
}

bool HistoryStore::FileReplacedLocked() const {
  if (db_ == nullptr || !file_known_) return false;
  struct stat st {};
  return stat(opt_.path.c_str(), &st) != 0 || st.st_dev != file_dev_ || st.st_ino != file_ino_;
}

std::vector<AlarmEvent> HistoryStore::OpenAlarms() const {
  std::map<std::tuple<uint32_t, std::string, uint32_t>, AlarmEvent> open;
  {
    std::lock_guard<std::mutex> lock(db_mu_);
    if (OpenLocked()) {
      Stmt q(db_,
             "SELECT data_id, key, seq, t, level, code, name, text FROM alarm_state "
             "ORDER BY data_id, key, seq");
      while (q.ok() && q.Step() == SQLITE_ROW) {
        AlarmEvent e;
        e.raised = true;
        e.data_id = static_cast<uint32_t>(q.ColInt(0));
        e.key = q.ColText(1);
        e.seq = static_cast<uint32_t>(q.ColInt(2));
        e.time = q.ColInt(3);
        e.level = static_cast<uint32_t>(q.ColInt(4));
        e.code = q.ColText(5);
        e.name = q.ColText(6);
        e.text = q.ColText(7);
        open[{e.data_id, e.key, e.seq}] = e;
      }
      if (!q.ok()) Log("history: reading the open alarms failed: " + q.Error());
    }
  }
  // Events not written yet come after what the file holds.
  std::lock_guard<std::mutex> plock(pend_mu_);
  for (const Pending& p : pending_) {
    if (!p.is_event) continue;
    const auto id = std::make_tuple(p.event.data_id, p.event.key, p.event.seq);
    if (p.event.raised) {
      open[id] = p.event;
    } else {
      open.erase(id);
    }
  }
  std::vector<AlarmEvent> out;
  for (auto& [id, e] : open) out.push_back(std::move(e));
  return out;
}

void HistoryStore::CloseLocked() const {
  if (db_ == nullptr) return;
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

void HistoryStore::AppendRecord(uint32_t data_id, int type, int64_t time,
                                const unsigned char* image, size_t len) {
  Pending item;
  item.record.data_id = data_id;
  item.record.type = type;
  item.record.time = time;
  item.record.local_time = LocalTimeText(time);
  if (image != nullptr && len > 0) item.record.image.assign(image, image + len);
  Push(std::move(item));
}

void HistoryStore::AppendEvent(const AlarmEvent& event) {
  Pending item;
  item.is_event = true;
  item.event = event;
  Push(std::move(item));
}

void HistoryStore::AppendAudit(const AuditEntry& entry) {
  Pending item;
  item.is_audit = true;
  item.audit = entry;
  item.audit.id = 0;
  Push(std::move(item));
}

void HistoryStore::AppendNotice(int64_t time, const std::string& body) {
  Pending item;
  item.is_notice = true;
  item.notice_time = time;
  item.notice_body = body;
  Push(std::move(item));
}

void HistoryStore::Push(Pending item) {
  std::string line;
  {
    std::lock_guard<std::mutex> lock(pend_mu_);
    item.seq = next_seq_++;
    if (pending_.empty()) first_pending_at_ = opt_.clock();
    if (item.is_event || item.is_audit || item.is_notice) ++pending_events_;
    pending_.push_back(std::move(item));
    while (pending_.size() > opt_.max_pending) {
      if (pending_.front().is_event || pending_.front().is_audit || pending_.front().is_notice)
        --pending_events_;
      pending_.pop_front();
      ++dropped_;
      if (dropped_ == 1 || dropped_ % 100 == 0) {
        line = "history: " + std::to_string(opt_.max_pending) +
               " items waiting for the database; dropped the oldest (" + std::to_string(dropped_) +
               " dropped so far)";
      }
    }
  }
  if (!line.empty()) Log(line);
}

bool HistoryStore::FlushDue() {
  bool states = false;
  int64_t states_since = 0;
  {
    std::lock_guard<std::mutex> clock(cursor_mu_);
    states = !states_dirty_.empty();
    states_since = states_dirty_since_;
  }
  {
    std::lock_guard<std::mutex> lock(pend_mu_);
    if (pending_.empty() && !states) return true;
    const int64_t now = opt_.clock();
    // A clock set back counts as due: waiting for it to catch up could be long.
    auto waited = [&](int64_t since) {
      return opt_.commit_s == 0 || now - since >= static_cast<int64_t>(opt_.commit_s) ||
             now < since;
    };
    // A saved state waits like a record.
    const bool due = (!pending_.empty() && (pending_events_ > 0 || waited(first_pending_at_) ||
                                            pending_.size() * 2 >= opt_.max_pending)) ||
                     (states && waited(states_since));
    if (!due) return true;
  }
  return Flush();
}

bool HistoryStore::Flush() {
  std::lock_guard<std::mutex> lock(db_mu_);
  std::vector<Pending> batch;
  std::map<std::string, OutboxCursor> cursors;
  std::map<std::string, std::string> kept;
  StateMap states;
  {
    std::lock_guard<std::mutex> clock(cursor_mu_);
    for (const std::string& sink : cursors_dirty_) cursors[sink] = cursors_[sink];
    for (const std::string& name : kept_dirty_) kept[name] = kept_[name];
    for (const auto& id : states_dirty_) states[id] = states_[id];
  }
  {
    std::lock_guard<std::mutex> plock(pend_mu_);
    if (pending_.empty() && cursors.empty() && kept.empty() && states.empty()) return true;
    batch.assign(pending_.begin(), pending_.end());
  }
  if (FileReplacedLocked()) {
    // Writing on would go to a file nobody can open any more.
    Log("history: " + opt_.path + " was removed or replaced while open; creating it again");
    CloseLocked();
  }
  if (!OpenLocked()) {
    ++failed_flushes_;
    return false;
  }
  std::string error;
  const int rc = WriteLocked(batch, cursors, kept, states, error);
  if (rc != SQLITE_OK) {
    if (!KeepConnection(rc)) CloseLocked();
    const std::string line = "history: writing " + std::to_string(batch.size()) + " items to " +
                             opt_.path + " failed: " + error + "; they stay in memory";
    if (error != last_error_ || failed_flushes_ % 100 == 0) Log(line);
    last_error_ = error;
    ++failed_flushes_;
    return false;
  }
  ++commits_;
  if (failed_flushes_ > 0) {
    Log("history: " + opt_.path + " accepts writes again; wrote " + std::to_string(batch.size()) +
        " items after " + std::to_string(failed_flushes_) + " failed flushes");
    failed_flushes_ = 0;
    last_error_.clear();
  }
  {
    std::lock_guard<std::mutex> clock(cursor_mu_);
    for (const auto& [sink, c] : cursors)
      if (cursors_[sink] == c) cursors_dirty_.erase(sink);
    for (const auto& [name, body] : kept)
      if (kept_[name] == body) kept_dirty_.erase(name);
    for (const auto& [id, body] : states)
      if (states_[id] == body) states_dirty_.erase(id);
    // A state saved again while writing waits from now.
    if (!states_dirty_.empty()) states_dirty_since_ = opt_.clock();
  }
  std::lock_guard<std::mutex> plock(pend_mu_);
  if (batch.empty()) return pending_.empty();
  // Items dropped or appended meanwhile: only those written leave the queue.
  const uint64_t last = batch.back().seq;
  while (!pending_.empty() && pending_.front().seq <= last) {
    if (pending_.front().is_event || pending_.front().is_audit || pending_.front().is_notice)
      --pending_events_;
    pending_.pop_front();
  }
  // What is left came in while writing: its wait starts now.
  if (!pending_.empty()) first_pending_at_ = opt_.clock();
  return pending_.empty();
}

int HistoryStore::WriteLocked(const std::vector<Pending>& batch,
                              const std::map<std::string, OutboxCursor>& cursors,
                              const std::map<std::string, std::string>& kept,
                              const StateMap& states, std::string& error) {
  if (const int rc = Exec(db_, "BEGIN IMMEDIATE", error); rc != SQLITE_OK) return rc;
  auto fail = [&](const std::string& what) {
    error = what;
    int rc = sqlite3_extended_errcode(db_);
    if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) rc = SQLITE_ERROR;
    if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return rc;
  };
  if (!cursors.empty()) {
    Stmt cur(db_,
             "INSERT OR REPLACE INTO outbox_cursor(sink, event_id, record_id) VALUES(?1, ?2, ?3)");
    if (!cur.ok()) return fail(cur.Error());
    for (const auto& [sink, c] : cursors) {
      cur.Text(1, sink).Int(2, c.event_id).Int(3, c.record_id);
      if (cur.Step() != SQLITE_DONE) return fail(cur.Error());
      cur.Reset();
    }
  }
  if (!kept.empty()) {
    Stmt k(db_, "INSERT OR REPLACE INTO kept_state(name, body) VALUES(?1, ?2)");
    if (!k.ok()) return fail(k.Error());
    for (const auto& [name, body] : kept) {
      k.Text(1, name).Text(2, body);
      if (k.Step() != SQLITE_DONE) return fail(k.Error());
      k.Reset();
    }
  }
  if (!states.empty()) {
    Stmt st(db_, "INSERT OR REPLACE INTO device_state(device, key, body) VALUES(?1, ?2, ?3)");
    if (!st.ok()) return fail(st.Error());
    for (const auto& [id, body] : states) {
      st.Int(1, id.first).Text(2, id.second).Text(3, body);
      if (st.Step() != SQLITE_DONE) return fail(st.Error());
      st.Reset();
    }
  }
  std::set<std::pair<uint32_t, int>> units;
  std::set<uint32_t> event_units;
  bool audited = false, noticed = false;
  {
    Stmt rec(db_,
             "INSERT INTO round_record(data_id, type, t, local_time, image) "
             "VALUES(?1, ?2, ?3, ?4, ?5)");
    Stmt ev(db_,
            "INSERT INTO alarm_event(data_id, t, local_time, raised, level, key, code, seq, "
            "name, text) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    Stmt au(db_,
            "INSERT INTO control_audit(t, local_time, via, who, peer, device, code, byte, "
            "request_id, outcome, result, reason) "
            "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
    if (!rec.ok()) return fail(rec.Error());
    if (!ev.ok()) return fail(ev.Error());
    Stmt no(db_, "INSERT INTO notice(t, body) VALUES(?1, ?2)");
    if (!au.ok()) return fail(au.Error());
    if (!no.ok()) return fail(no.Error());
    for (const Pending& p : batch) {
      if (p.is_notice) {
        no.Int(1, p.notice_time).Text(2, p.notice_body);
        if (no.Step() != SQLITE_DONE) return fail(no.Error());
        no.Reset();
        noticed = true;
        continue;
      }
      if (p.is_audit) {
        const AuditEntry& a = p.audit;
        au.Int(1, a.time).Text(2, LocalTimeText(a.time)).Text(3, a.via).Text(4, a.who);
        au.Text(5, a.peer).Int(6, a.device).Int(7, a.code).Int(8, a.byte).Text(9, a.request_id);
        au.Text(10, a.outcome).Int(11, a.result).Text(12, a.reason);
        if (au.Step() != SQLITE_DONE) return fail(au.Error());
        au.Reset();
        audited = true;
        continue;
      }
      Stmt& s = p.is_event ? ev : rec;
      if (p.is_event) {
        const AlarmEvent& e = p.event;
        ev.Int(1, e.data_id).Int(2, e.time).Text(3, LocalTimeText(e.time)).Int(4, e.raised ? 1 : 0);
        ev.Int(5, e.level).Text(6, e.key).Text(7, e.code).Int(8, e.seq).Text(9, e.name);
        ev.Text(10, e.text);
        event_units.insert(e.data_id);
        if (!SetAlarmState(db_, e))
          return fail("alarm state: " + ErrorText(db_, sqlite3_errcode(db_)));
      } else {
        const HistoryRecord& r = p.record;
        rec.Int(1, r.data_id).Int(2, r.type).Int(3, r.time).Text(4, r.local_time);
        rec.Blob(5, r.image);
        units.emplace(r.data_id, r.type);
      }
      if (s.Step() != SQLITE_DONE) return fail(s.Error());
      s.Reset();
    }
  }

  const RetentionPolicy& keep = opt_.retention;
  if (noticed && keep.max_notice_rows > 0) {
    Stmt trim(db_,
              "DELETE FROM notice WHERE id <= "
              "(SELECT id FROM notice ORDER BY id DESC LIMIT 1 OFFSET ?1)");
    if (!trim.ok()) return fail(trim.Error());
    trim.Int(1, keep.max_notice_rows);
    if (trim.Step() != SQLITE_DONE) return fail(trim.Error());
  }
  if (audited && keep.max_audit_rows > 0) {
    Stmt trim(db_,
              "DELETE FROM control_audit WHERE id <= "
              "(SELECT id FROM control_audit ORDER BY id DESC LIMIT 1 OFFSET ?1)");
    if (!trim.ok()) return fail(trim.Error());
    trim.Int(1, keep.max_audit_rows);
    if (trim.Step() != SQLITE_DONE) return fail(trim.Error());
  }
  if (keep.max_rows > 0 || keep.max_days > 0 || keep.max_event_rows > 0) {
    if (sweep_all_) {
      Stmt all(db_, "SELECT DISTINCT data_id, type FROM round_record");
      while (all.ok() && all.Step() == SQLITE_ROW) {
        units.emplace(static_cast<uint32_t>(all.ColInt(0)), static_cast<int>(all.ColInt(1)));
      }
      Stmt all_ev(db_, "SELECT DISTINCT data_id FROM alarm_event");
      while (all_ev.ok() && all_ev.Step() == SQLITE_ROW) {
        event_units.insert(static_cast<uint32_t>(all_ev.ColInt(0)));
      }
      if (!all.ok()) return fail(all.Error());
      if (!all_ev.ok()) return fail(all_ev.Error());
    }
    const int64_t cutoff = opt_.clock() - static_cast<int64_t>(keep.max_days) * 86400;
    // Newest means last written: a clock set back must not make the latest
    // image look old.
    Stmt by_rows(db_,
                 "DELETE FROM round_record WHERE data_id = ?1 AND type = ?2 AND id <= "
                 "(SELECT id FROM round_record WHERE data_id = ?1 AND type = ?2 "
                 "ORDER BY id DESC LIMIT 1 OFFSET ?3)");
    Stmt by_age(db_,
                "DELETE FROM round_record WHERE data_id = ?1 AND type = ?2 AND t < ?3 AND id < "
                "(SELECT MAX(id) FROM round_record WHERE data_id = ?1 AND type = ?2)");
    Stmt ev_rows(db_,
                 "DELETE FROM alarm_event WHERE data_id = ?1 AND id <= "
                 "(SELECT id FROM alarm_event WHERE data_id = ?1 ORDER BY id DESC LIMIT 1 "
                 "OFFSET ?2)");
    Stmt ev_age(db_, "DELETE FROM alarm_event WHERE data_id = ?1 AND t < ?2");
    for (Stmt* s : {&by_rows, &by_age, &ev_rows, &ev_age}) {
      if (!s->ok()) return fail(s->Error());
    }
    for (const auto& [data_id, type] : units) {
      if (keep.max_rows > 0) {
        by_rows.Int(1, data_id).Int(2, type).Int(3, keep.max_rows);
        if (by_rows.Step() != SQLITE_DONE) return fail(by_rows.Error());
        by_rows.Reset();
      }
      if (keep.max_days > 0) {
        by_age.Int(1, data_id).Int(2, type).Int(3, cutoff);
        if (by_age.Step() != SQLITE_DONE) return fail(by_age.Error());
        by_age.Reset();
      }
    }
    for (uint32_t data_id : event_units) {
      if (keep.max_event_rows > 0) {
        ev_rows.Int(1, data_id).Int(2, keep.max_event_rows);
        if (ev_rows.Step() != SQLITE_DONE) return fail(ev_rows.Error());
        ev_rows.Reset();
      }
      if (keep.max_days > 0) {
        ev_age.Int(1, data_id).Int(2, cutoff);
        if (ev_age.Step() != SQLITE_DONE) return fail(ev_age.Error());
        ev_age.Reset();
      }
    }
  }
  if (opt_.max_bytes > 0) {
    std::string bound_error;
    if (BoundSizeLocked(bound_error) != SQLITE_OK) return fail(bound_error);
  }
  std::string commit_error;
  if (Exec(db_, "COMMIT", commit_error) != SQLITE_OK) return fail(commit_error);
  sweep_all_ = false;
  return SQLITE_OK;
}

int HistoryStore::BoundSizeLocked(std::string& error) {
  auto pragma = [this](const char* sql) {
    Stmt q(db_, sql);
    return q.ok() && q.Step() == SQLITE_ROW ? q.ColInt(0) : int64_t{0};
  };
  const int64_t page = std::max<int64_t>(512, pragma("PRAGMA page_size"));
  // The WAL may grow to twice wal_bytes before it is cut back; the database
  // file holds the rest. Once past it, rows go until 1/16 below, so the
  // (full-table) deletes run once per sixteenth of the bound written, not
  // on every commit.
  const int64_t wal = static_cast<int64_t>(2 * opt_.wal_bytes);
  const int64_t bound = std::max<int64_t>(static_cast<int64_t>(opt_.max_bytes) - wal,
                                          static_cast<int64_t>(opt_.max_bytes) / 2);
  auto used = [&] {
    return (pragma("PRAGMA page_count") - pragma("PRAGMA freelist_count")) * page;
  };
  if (used() <= bound) return SQLITE_OK;
  const int64_t target = bound - bound / 16;
  Stmt records(db_,
               "DELETE FROM round_record WHERE id IN (SELECT id FROM round_record WHERE id NOT IN "
               "(SELECT MAX(id) FROM round_record GROUP BY data_id, type) ORDER BY id LIMIT ?1)");
  Stmt events(db_,
              "DELETE FROM alarm_event WHERE id IN (SELECT id FROM alarm_event ORDER BY id "
              "LIMIT ?1)");
  Stmt rows(db_, "SELECT (SELECT COUNT(*) FROM round_record) + (SELECT COUNT(*) FROM alarm_event)");
  for (Stmt* s : {&records, &events, &rows}) {
    if (!s->ok()) {
      error = s->Error();
      return s->rc();
    }
  }
  const int64_t count = rows.Step() == SQLITE_ROW ? rows.ColInt(0) : 0;
  for (int pass = 0; pass < 64; ++pass) {
    const int64_t now = used();
    if (now <= target) return SQLITE_OK;
    // Rows for the excess at the average row size, and some more: pages
    // only come free once every row on them is gone.
    const int64_t chunk =
        16 + (now - target) / std::max<int64_t>(1, now / std::max<int64_t>(1, count));
    int deleted = 0;
    for (Stmt* s : {&records, &events}) {
      s->Int(1, chunk);
      if (s->Step() != SQLITE_DONE) {
        error = s->Error();
        return s->rc();
      }
      s->Reset();
      deleted = sqlite3_changes(db_);
      bound_deleted_ += static_cast<uint64_t>(deleted);
      // Alarm events go only when no record is left to delete.
      if (deleted > 0) break;
    }
    if (deleted == 0) break;
  }
  if (used() > bound && !bound_stuck_logged_) {
    bound_stuck_logged_ = true;
    Log("history: " + opt_.path + " is over its size bound of " + std::to_string(opt_.max_bytes) +
        " bytes with only the newest records and the raised alarms left");
  }
  return SQLITE_OK;
}

std::vector<HistoryRecord> HistoryStore::Records(uint32_t data_id, int64_t from, int64_t to) const {
  std::vector<HistoryRecord> out;
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return out;
  Stmt q(db_,
         "SELECT id, type, t, local_time, image FROM round_record "
         "WHERE data_id = ?1 AND t BETWEEN ?2 AND ?3 ORDER BY t, id");
  if (q.ok()) {
    q.Int(1, data_id).Int(2, from).Int(3, to);
    while (q.Step() == SQLITE_ROW) {
      out.push_back(RecordRow(q, data_id));
    }
  }
  if (!q.ok())
    Log("history: reading records of " + std::to_string(data_id) + " failed: " + q.Error());
  return out;
}

std::vector<HistoryEvent> HistoryStore::Events(uint32_t data_id, int64_t from, int64_t to) const {
  std::vector<HistoryEvent> out;
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return out;
  Stmt q(db_,
         "SELECT id, t, local_time, raised, level, key, code, seq, name, text FROM alarm_event "
         "WHERE data_id = ?1 AND t BETWEEN ?2 AND ?3 ORDER BY t, id");
  if (q.ok()) {
    q.Int(1, data_id).Int(2, from).Int(3, to);
    while (q.Step() == SQLITE_ROW) {
      out.push_back(EventRow(q, data_id));
    }
  }
  if (!q.ok())
    Log("history: reading events of " + std::to_string(data_id) + " failed: " + q.Error());
  return out;
}

HistoryStore::RecordRange HistoryStore::RecordsNewest(uint32_t data_id, int type, int64_t from,
                                                      int64_t to, size_t limit) const {
  RecordRange out;
  if (to < from || limit == 0) return out;
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return out;
  // Backwards through (data_id, t): the newest `limit`, then turned round.
  Stmt q(db_,
         "SELECT id, type, t, local_time, image FROM round_record WHERE data_id = ?1 AND type = ?2 "
         "AND t BETWEEN ?3 AND ?4 ORDER BY t DESC, id DESC LIMIT ?5");
  if (q.ok()) {
    q.Int(1, data_id).Int(2, type).Int(3, from).Int(4, to).Int(5, static_cast<int64_t>(limit));
    while (q.Step() == SQLITE_ROW) out.records.push_back(RecordRow(q, data_id));
  }
  if (!q.ok()) {
    Log("history: reading records of " + std::to_string(data_id) + " failed: " + q.Error());
    out.records.clear();
    return out;
  }
  std::reverse(out.records.begin(), out.records.end());
  out.stored = out.records.size();
  if (out.records.size() == limit) {
    // Some may have been left out: count them all.
    Stmt c(db_,
           "SELECT COUNT(*) FROM round_record WHERE data_id = ?1 AND type = ?2 "
           "AND t BETWEEN ?3 AND ?4");
    if (c.ok()) {
      c.Int(1, data_id).Int(2, type).Int(3, from).Int(4, to);
      if (c.Step() == SQLITE_ROW) out.stored = static_cast<uint64_t>(c.ColInt(0));
    }
    if (!c.ok())
      Log("history: counting records of " + std::to_string(data_id) + " failed: " + c.Error());
  }
  return out;
}

std::vector<HistoryRecord> HistoryStore::RecordsBefore(uint32_t data_id, int64_t t,
                                                       int type) const {
  std::vector<HistoryRecord> out;
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return out;
  // One seek per type through (data_id, t), newest first.
  Stmt q(db_, type != 0
                  ? "SELECT id, type, t, local_time, image FROM round_record WHERE data_id = ?1 "
                    "AND type = ?3 AND t < ?2 ORDER BY t DESC, id DESC LIMIT 1"
                  : "SELECT id, type, t, local_time, image FROM round_record WHERE id IN ("
                    "SELECT (SELECT id FROM round_record WHERE data_id = ?1 AND type = u.type "
                    "AND t < ?2 ORDER BY t DESC, id DESC LIMIT 1) FROM (SELECT DISTINCT type "
                    "FROM round_record WHERE data_id = ?1) u) ORDER BY type");
  if (q.ok()) {
    q.Int(1, data_id).Int(2, t);
    if (type != 0) q.Int(3, type);
    while (q.Step() == SQLITE_ROW) out.push_back(RecordRow(q, data_id));
  }
  if (!q.ok())
    Log("history: reading records of " + std::to_string(data_id) + " failed: " + q.Error());
  return out;
}

std::vector<HistoryEvent> HistoryStore::EventsNewest(uint32_t data_id, int64_t from, int64_t to,
                                                     size_t limit) const {
  std::vector<HistoryEvent> out;
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return out;
  Stmt q(db_,
         "SELECT id, t, local_time, raised, level, key, code, seq, name, text FROM alarm_event "
         "WHERE data_id = ?1 AND t BETWEEN ?2 AND ?3 ORDER BY t DESC, id DESC LIMIT ?4");
  if (q.ok()) {
    q.Int(1, data_id).Int(2, from).Int(3, to).Int(4, static_cast<int64_t>(limit));
    while (q.Step() == SQLITE_ROW) {
      out.push_back(EventRow(q, data_id));
    }
  }
  if (!q.ok())
    Log("history: reading events of " + std::to_string(data_id) + " failed: " + q.Error());
  std::reverse(out.begin(), out.end());
  return out;
}

std::vector<AuditEntry> HistoryStore::Audit(int64_t from, int64_t to, size_t limit) const {
  std::vector<AuditEntry> out;
  if (limit == 0) return out;
  {
    std::lock_guard<std::mutex> lock(db_mu_);
    if (OpenLocked()) {
      Stmt q(db_,
             "SELECT id, t, via, who, peer, device, code, byte, request_id, outcome, result, "
             "reason FROM control_audit WHERE t >= ?1 AND t <= ?2 ORDER BY id DESC LIMIT ?3");
      if (q.ok()) {
        q.Int(1, from).Int(2, to).Int(3, static_cast<int64_t>(limit));
        while (q.Step() == SQLITE_ROW) {
          AuditEntry a;
          a.id = q.ColInt(0);
          a.time = q.ColInt(1);
          a.via = q.ColText(2);
          a.who = q.ColText(3);
          a.peer = q.ColText(4);
          a.device = static_cast<uint32_t>(q.ColInt(5));
          a.code = static_cast<int>(q.ColInt(6));
          a.byte = static_cast<int>(q.ColInt(7));
          a.request_id = q.ColText(8);
          a.outcome = q.ColText(9);
          a.result = static_cast<int>(q.ColInt(10));
          a.reason = q.ColText(11);
          out.push_back(std::move(a));
        }
      }
      if (!q.ok()) Log("history: reading the audit failed: " + q.Error());
    }
  }
  std::reverse(out.begin(), out.end());
  // Attempts not committed yet are the newest.
  std::lock_guard<std::mutex> plock(pend_mu_);
  for (const Pending& p : pending_)
    if (p.is_audit && p.audit.time >= from && p.audit.time <= to) out.push_back(p.audit);
  if (out.size() > limit) out.erase(out.begin(), out.end() - static_cast<std::ptrdiff_t>(limit));
  return out;
}

std::optional<std::vector<unsigned char>> HistoryStore::LastImage(uint32_t data_id,
                                                                  int type) const {
  {
    std::lock_guard<std::mutex> plock(pend_mu_);
    for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
      if (!it->is_event && !it->is_audit && !it->is_notice && it->record.data_id == data_id &&
          it->record.type == type) {
        return it->record.image;
      }
    }
  }
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return std::nullopt;
  Stmt q(db_,
         "SELECT image FROM round_record WHERE data_id = ?1 AND type = ?2 "
         "ORDER BY id DESC LIMIT 1");
  if (q.ok()) {
    q.Int(1, data_id).Int(2, type);
    if (q.Step() == SQLITE_ROW) return q.ColBlob(0);
  }
  if (!q.ok())
    Log("history: reading the last image of " + std::to_string(data_id) + " failed: " + q.Error());
  return std::nullopt;
}

std::vector<std::pair<int, std::vector<unsigned char>>> HistoryStore::LastImages(
    uint32_t data_id) const {
  std::vector<std::pair<int, std::vector<unsigned char>>> out;
  auto seen = [&out](int type) {
    for (const auto& p : out)
      if (p.first == type) return true;
    return false;
  };
  {
    std::lock_guard<std::mutex> plock(pend_mu_);
    for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
      if (!it->is_event && !it->is_audit && !it->is_notice && it->record.data_id == data_id &&
          !seen(it->record.type))
        out.emplace_back(it->record.type, it->record.image);
    }
  }
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return out;
  Stmt q(db_,
         "SELECT type, image FROM round_record WHERE id IN (SELECT MAX(id) FROM round_record "
         "WHERE data_id = ?1 GROUP BY type) ORDER BY id DESC");
  if (q.ok()) {
    q.Int(1, data_id);
    while (q.Step() == SQLITE_ROW) {
      const int type = static_cast<int>(q.ColInt(0));
      if (!seen(type)) out.emplace_back(type, q.ColBlob(1));
    }
  }
  if (!q.ok())
    Log("history: reading the last images of " + std::to_string(data_id) + " failed: " + q.Error());
  return out;
}

std::string HistoryStore::ExportRecordsCsv(uint32_t data_id, int64_t from, int64_t to) const {
  std::ostringstream out;
  out << "id,data_id,type,time,local_time,image\n";
  for (const HistoryRecord& r : Records(data_id, from, to)) {
    out << r.id << ',' << r.data_id << ',' << r.type << ',' << r.time << ','
        << CsvField(r.local_time) << ',' << Hex(r.image) << '\n';
  }
  return out.str();
}

std::string HistoryStore::ExportEventsCsv(uint32_t data_id, int64_t from, int64_t to) const {
  std::ostringstream out;
  out << "id,data_id,time,local_time,state,level,key,code,seq,name,text\n";
  for (const HistoryEvent& h : Events(data_id, from, to)) {
    const AlarmEvent& e = h.event;
    out << h.id << ',' << e.data_id << ',' << e.time << ',' << CsvField(h.local_time) << ','
        << (e.raised ? "raised" : "cleared") << ',' << e.level << ',' << CsvField(e.key) << ','
        << CsvField(e.code) << ',' << e.seq << ',' << CsvField(e.name) << ',' << CsvField(e.text)
        << '\n';
  }
  return out.str();
}

std::optional<OutboxCursor> HistoryStore::Cursor(const std::string& sink) const {
  {
    std::lock_guard<std::mutex> clock(cursor_mu_);
    auto it = cursors_.find(sink);
    if (it != cursors_.end()) return it->second;
  }
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return std::nullopt;
  Stmt q(db_, "SELECT event_id, record_id FROM outbox_cursor WHERE sink = ?1");
  if (!q.ok()) return std::nullopt;
  q.Text(1, sink);
  if (q.Step() != SQLITE_ROW) return std::nullopt;
  OutboxCursor c;
  c.event_id = q.ColInt(0);
  c.record_id = q.ColInt(1);
  return c;
}

void HistoryStore::SetCursor(const std::string& sink, const OutboxCursor& cursor) {
  std::lock_guard<std::mutex> clock(cursor_mu_);
  auto it = cursors_.find(sink);
  if (it != cursors_.end() && it->second == cursor) return;
  cursors_[sink] = cursor;
  cursors_dirty_.insert(sink);
}

void HistoryStore::Keep(const std::string& name, const std::string& body) {
  std::lock_guard<std::mutex> clock(cursor_mu_);
  auto it = kept_.find(name);
  if (it != kept_.end() && it->second == body) return;
  kept_[name] = body;
  kept_dirty_.insert(name);
}

std::optional<std::string> HistoryStore::Kept(const std::string& name) const {
  {
    std::lock_guard<std::mutex> clock(cursor_mu_);
    auto it = kept_.find(name);
    if (it != kept_.end()) return it->second;
  }
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return std::nullopt;
  Stmt q(db_, "SELECT body FROM kept_state WHERE name = ?1");
  if (!q.ok()) return std::nullopt;
  q.Text(1, name);
  if (q.Step() != SQLITE_ROW) return std::nullopt;
  return q.ColText(0);
}

void HistoryStore::SaveState(uint32_t device, const std::string& key, const std::string& json) {
  std::lock_guard<std::mutex> clock(cursor_mu_);
  const auto id = std::make_pair(device, key);
  auto it = states_.find(id);
  if (it != states_.end() && it->second == json) return;
  states_[id] = json;
  if (states_dirty_.empty()) states_dirty_since_ = opt_.clock();
  states_dirty_.insert(id);
}

std::optional<std::string> HistoryStore::LoadState(uint32_t device, const std::string& key) const {
  {
    std::lock_guard<std::mutex> clock(cursor_mu_);
    auto it = states_.find({device, key});
    if (it != states_.end()) return it->second;
  }
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return std::nullopt;
  Stmt q(db_, "SELECT body FROM device_state WHERE device = ?1 AND key = ?2");
  if (!q.ok()) return std::nullopt;
  q.Int(1, device).Text(2, key);
  if (q.Step() != SQLITE_ROW) return std::nullopt;
  return q.ColText(0);
}

namespace {
// Binds a discharge row's fields from ?1 (device) to ?11 (expected_ah).
void BindDischarge(Stmt& s, const DischargeRow& r) {
  s.Int(1, r.device).Int(2, r.start_ms).Int(3, r.end_ms).Text(4, r.cause).Real(5, r.ah);
  s.Real(6, r.kwh).Real(7, r.min_v).Real(8, r.end_v).Real(9, r.min_temp).Text(10, r.result);
  s.Real(11, r.expected_ah);
}
}  // namespace

int64_t HistoryStore::AddDischarge(const DischargeRow& row) {
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return 0;
  std::string error;
  if (Exec(db_, "BEGIN IMMEDIATE", error) != SQLITE_OK) {
    Log("history: storing a discharge failed: " + error);
    return 0;
  }
  int64_t id = 0;
  {
    Stmt ins(db_,
             "INSERT INTO discharge(device, start_ms, end_ms, cause, ah, kwh, min_v, end_v, "
             "min_temp, result, expected_ah) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
    Stmt trim(db_,
              "DELETE FROM discharge WHERE device = ?1 AND id <= "
              "(SELECT id FROM discharge WHERE device = ?1 ORDER BY id DESC LIMIT 1 OFFSET ?2)");
    if (ins.ok() && trim.ok()) {
      BindDischarge(ins, row);
      if (ins.Step() == SQLITE_DONE) {
        id = sqlite3_last_insert_rowid(db_);
        trim.Int(1, row.device).Int(2, kMaxDischargeRows);
        if (trim.Step() != SQLITE_DONE) error = trim.Error();
      } else {
        error = ins.Error();
      }
    } else {
      error = ins.ok() ? trim.Error() : ins.Error();
    }
  }
  if (error.empty() && Exec(db_, "COMMIT", error) == SQLITE_OK) return id;
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  Log("history: storing a discharge failed: " + error);
  return 0;
}

bool HistoryStore::UpdateDischarge(const DischargeRow& row) {
  if (row.id == 0) return AddDischarge(row) != 0;
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return false;
  Stmt up(db_,
          "UPDATE discharge SET device = ?1, start_ms = ?2, end_ms = ?3, cause = ?4, ah = ?5, "
          "kwh = ?6, min_v = ?7, end_v = ?8, min_temp = ?9, result = ?10, expected_ah = ?11 "
          "WHERE id = ?12");
  if (up.ok()) {
    BindDischarge(up, row);
    up.Int(12, row.id);
    if (up.Step() == SQLITE_DONE) return true;
  }
  Log("history: updating discharge " + std::to_string(row.id) + " failed: " + up.Error());
  return false;
}

std::vector<DischargeRow> HistoryStore::Discharges(uint32_t device, int64_t from_s, int64_t to_s,
                                                   size_t limit) const {
  std::vector<DischargeRow> out;
  if (limit == 0 || from_s > to_s) return out;
  // Seconds to milliseconds without overflow at the ends of the range.
  auto ms = [](int64_t s, int64_t extra) {
    constexpr int64_t kMax = INT64_MAX / 1000 - 1;
    return std::clamp<int64_t>(s, -kMax, kMax) * 1000 + extra;
  };
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return out;
  Stmt q(db_,
         "SELECT id, device, start_ms, end_ms, cause, ah, kwh, min_v, end_v, min_temp, result, "
         "expected_ah FROM discharge WHERE (?1 = 0 OR device = ?1) AND start_ms >= ?2 AND "
         "start_ms <= ?3 ORDER BY start_ms DESC, id DESC LIMIT ?4");
  if (q.ok()) {
    q.Int(1, device).Int(2, ms(from_s, 0)).Int(3, ms(to_s, 999));
    q.Int(4, static_cast<int64_t>(std::min<size_t>(limit, INT64_MAX)));
    while (q.Step() == SQLITE_ROW) {
      DischargeRow r;
      r.id = q.ColInt(0);
      r.device = static_cast<uint32_t>(q.ColInt(1));
      r.start_ms = q.ColInt(2);
      r.end_ms = q.ColInt(3);
      r.cause = q.ColText(4);
      r.ah = q.ColReal(5);
      r.kwh = q.ColReal(6);
      r.min_v = q.ColOptReal(7);
      r.end_v = q.ColOptReal(8);
      r.min_temp = q.ColOptReal(9);
      r.result = q.ColText(10);
      r.expected_ah = q.ColReal(11);
      out.push_back(std::move(r));
    }
  }
  if (!q.ok()) Log("history: reading discharges failed: " + q.Error());
  return out;
}

std::vector<StoredNotice> HistoryStore::NoticesAfter(int64_t after, size_t limit) const {
  std::vector<StoredNotice> out;
  if (limit == 0) return out;
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return out;
  Stmt q(db_, "SELECT id, t, body FROM notice WHERE id > ?1 ORDER BY id LIMIT ?2");
  if (q.ok()) {
    q.Int(1, after).Int(2, static_cast<int64_t>(limit));
    while (q.Step() == SQLITE_ROW) out.push_back({q.ColInt(0), q.ColInt(1), q.ColText(2)});
  }
  if (!q.ok()) Log("history: reading notices for the outbox failed: " + q.Error());
  return out;
}

NoticeBacklog HistoryStore::NoticesPast(int64_t after) const {
  NoticeBacklog b;
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return b;
  Stmt q(db_, "SELECT COUNT(*), MIN(t), (SELECT MAX(id) FROM notice) FROM notice WHERE id > ?1");
  if (!q.ok()) return b;
  q.Int(1, after);
  if (q.Step() == SQLITE_ROW) {
    b.count = static_cast<uint64_t>(q.ColInt(0));
    b.oldest = q.ColInt(1);
    b.head = q.ColInt(2);
  }
  return b;
}

std::vector<HistoryEvent> HistoryStore::EventsAfter(int64_t after, size_t limit) const {
  std::vector<HistoryEvent> out;
  if (limit == 0) return out;
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return out;
  Stmt q(db_,
         "SELECT id, t, local_time, raised, level, key, code, seq, name, text, data_id "
         "FROM alarm_event WHERE id > ?1 ORDER BY id LIMIT ?2");
  if (q.ok()) {
    q.Int(1, after).Int(2, static_cast<int64_t>(limit));
    while (q.Step() == SQLITE_ROW) out.push_back(EventRow(q, static_cast<uint32_t>(q.ColInt(10))));
  }
  if (!q.ok()) Log("history: reading events for the outbox failed: " + q.Error());
  return out;
}

std::vector<HistoryRecord> HistoryStore::RecordsAfter(int64_t after, size_t limit) const {
  std::vector<HistoryRecord> out;
  if (limit == 0) return out;
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return out;
  Stmt q(db_,
         "SELECT id, type, t, local_time, image, data_id FROM round_record WHERE id > ?1 "
         "ORDER BY id LIMIT ?2");
  if (q.ok()) {
    q.Int(1, after).Int(2, static_cast<int64_t>(limit));
    while (q.Step() == SQLITE_ROW) out.push_back(RecordRow(q, static_cast<uint32_t>(q.ColInt(5))));
  }
  if (!q.ok()) Log("history: reading records for the outbox failed: " + q.Error());
  return out;
}

OutboxCursor HistoryStore::Heads() const {
  OutboxCursor c;
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return c;
  Stmt q(db_,
         "SELECT (SELECT COALESCE(MAX(id), 0) FROM alarm_event), "
         "(SELECT COALESCE(MAX(id), 0) FROM round_record)");
  if (q.ok() && q.Step() == SQLITE_ROW) {
    c.event_id = q.ColInt(0);
    c.record_id = q.ColInt(1);
  }
  return c;
}

OutboxBacklog HistoryStore::Backlog(const OutboxCursor& cursor) const {
  OutboxBacklog b;
  std::lock_guard<std::mutex> lock(db_mu_);
  if (!OpenLocked()) return b;
  // Ids are handed out as the largest plus one and the newest row is never
  // deleted: the ids past the cursor that are not there any more went
  // before they were delivered.
  auto count = [this](const char* sql, int64_t after, int64_t& head, int64_t& oldest) {
    Stmt q(db_, sql);
    if (!q.ok()) return uint64_t{0};
    q.Int(1, after);
    if (q.Step() != SQLITE_ROW) return uint64_t{0};
    head = q.ColInt(1);
    if (q.ColInt(0) > 0) oldest = q.ColInt(2);
    return static_cast<uint64_t>(q.ColInt(0));
  };
  int64_t oldest_event = 0, oldest_record = 0;
  b.events = count(
      "SELECT (SELECT COUNT(*) FROM alarm_event WHERE id > ?1), "
      "(SELECT COALESCE(MAX(id), 0) FROM alarm_event), "
      "(SELECT t FROM alarm_event WHERE id > ?1 ORDER BY id LIMIT 1)",
      cursor.event_id, b.head_event, oldest_event);
  b.records = count(
      "SELECT (SELECT COUNT(*) FROM round_record WHERE id > ?1), "
      "(SELECT COALESCE(MAX(id), 0) FROM round_record), "
      "(SELECT t FROM round_record WHERE id > ?1 ORDER BY id LIMIT 1)",
      cursor.record_id, b.head_record, oldest_record);
  if (b.head_event > cursor.event_id)
    b.lost_events = static_cast<uint64_t>(b.head_event - cursor.event_id) - b.events;
  if (b.head_record > cursor.record_id)
    b.lost_records = static_cast<uint64_t>(b.head_record - cursor.record_id) - b.records;
  b.oldest_record = oldest_record;
  if (oldest_event != 0 && oldest_record != 0)
    b.oldest = std::min(oldest_event, oldest_record);
  else
    b.oldest = oldest_event != 0 ? oldest_event : oldest_record;
  return b;
}

size_t HistoryStore::pending() const {
  std::lock_guard<std::mutex> lock(pend_mu_);
  return pending_.size();
}

uint64_t HistoryStore::commits() const { return commits_; }
uint64_t HistoryStore::bound_deleted() const { return bound_deleted_; }

uint64_t HistoryStore::dropped() const {
  std::lock_guard<std::mutex> lock(pend_mu_);
  return dropped_;
}

bool HistoryStore::is_open() const {
  std::lock_guard<std::mutex> lock(db_mu_);
  return db_ != nullptr;
}

}  // namespace qmx::store
