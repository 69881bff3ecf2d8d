#include "store/history_store.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "view/site_view.h"

namespace qmx::store {
namespace {

using Bytes = std::vector<unsigned char>;
constexpr int64_t kT0 = 1700000000;

// A fresh directory (mkdtemp), removed with its contents at the end, and the
// store's log lines.
struct Fixture {
  std::string dir = [] {
    std::string p = (std::filesystem::temp_directory_path() / "qmx-store-XXXXXX").string();
    return mkdtemp(p.data()) != nullptr ? p : std::string();
  }();
  std::string log;  // every line, each ended by '\n'
  ~Fixture() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
  HistoryOptions Options(const std::string& name = "history.db") {
    HistoryOptions o;
    o.path = dir + "/" + name;
    o.busy_timeout_ms = 50;
    o.log = [this](const std::string& line) { log += line + '\n'; };
    return o;
  }
  bool Logged(const std::string& part) const { return log.find(part) != std::string::npos; }
};

AlarmEvent Event(uint32_t data_id, int64_t t, bool raised, const std::string& text = "ok") {
  return AlarmEvent{t, data_id, 3, "p40_44_3", "401410701", "熔丝断", text, 4, raised};
}

auto Fields(const AlarmEvent& e) {
  return std::tie(e.time, e.data_id, e.level, e.key, e.code, e.name, e.text, e.seq, e.raised);
}

void AddRecord(HistoryStore& h, uint32_t data_id, int type, int64_t t, const Bytes& image) {
  h.AppendRecord(data_id, type, t, image.data(), image.size());
}

// "YYYY-MM-DD HH:MM:SS"
bool IsLocalTime(const std::string& s) {
  return s.size() == 19 && s[4] == '-' && s[7] == '-' && s[10] == ' ' && s[13] == ':';
}

TEST(HistoryStore, RoundTripsImagesAndEventsByteForByte) {
  Fixture f;
  Bytes every(256);
  for (int i = 0; i < 256; ++i) every[i] = static_cast<unsigned char>(255 - i);
  const Bytes newer{0x00, 0x00, 0x7E, 0x0D, 0x00};
  const AlarmEvent event = Event(9, kT0, true, "a,\"b\"\n c");
  {
    HistoryStore h(f.Options());
    ASSERT_TRUE(h.Open());
    AddRecord(h, 9, 5093, kT0, every);
    AddRecord(h, 9, 5092, kT0, Bytes{});
    h.AppendEvent(event);
    AddRecord(h, 9, 5093, kT0 + 5, newer);
    EXPECT_EQ(h.LastImage(9, 5093), newer);  // pending, yet already the newest
    EXPECT_TRUE(h.Flush());
  }
  HistoryStore h(f.Options());
  const auto recs = h.Records(9, kT0, kT0 + 5);
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(std::tie(recs[0].image, recs[0].type, recs[0].time), std::make_tuple(every, 5093, kT0));
  EXPECT_TRUE(recs[1].image.empty());
  EXPECT_EQ(recs[2].image, newer);
  EXPECT_EQ(h.Records(9, kT0 + 1, kT0 + 9).size(), 1u);
  EXPECT_EQ(h.LastImage(9, 5093), newer);
  EXPECT_FALSE(h.LastImage(9, 5091).has_value());
  const auto evs = h.Events(9, 0, kT0);
  ASSERT_EQ(evs.size(), 1u);
  EXPECT_EQ(Fields(evs[0].event), Fields(event));
}

TEST(HistoryStore, RetentionKeepsTheNewestRows) {
  Fixture f;
  HistoryOptions o = f.Options();
  o.retention.max_rows = 3;
  o.retention.max_days = 2;
  o.clock = [] { return kT0; };
  HistoryStore h(o);
  const int64_t old = kT0 - 3 * 86400;
  // Unit 1: five rounds, a flush each; unit 2: one stale round, its newest,
  // so it stays; unit 3: a stale round, then a fresh one.
  for (int i = 0; i < 5; ++i) {
    AddRecord(h, 1, 5093, kT0 - 10 + i, Bytes{static_cast<unsigned char>(i)});
    ASSERT_TRUE(h.Flush());
  }
  AddRecord(h, 2, 5091, old, Bytes{0xAA});
  AddRecord(h, 3, 5092, old, Bytes{0xB0});
  AddRecord(h, 3, 5092, kT0, Bytes{0xB1});
  h.AppendEvent(Event(3, old, true));
  h.AppendEvent(Event(3, kT0, false));
  ASSERT_TRUE(h.Flush());

  const auto one = h.Records(1, 0, kT0);
  ASSERT_EQ(one.size(), 3u);
  EXPECT_EQ(one[0].image, Bytes{2});
  EXPECT_EQ(h.Records(2, 0, kT0).size(), 1u);
  const auto three = h.Records(3, 0, kT0);
  ASSERT_EQ(three.size(), 1u);
  EXPECT_EQ(three[0].image, Bytes{0xB1});
  const auto evs = h.Events(3, 0, kT0);
  ASSERT_EQ(evs.size(), 1u);
  EXPECT_FALSE(evs[0].event.raised);
}

TEST(HistoryStore, CorruptFileKeepsTheNewestItemsUntilItCanBeWritten) {
  Fixture f;
  HistoryOptions o = f.Options();
  o.max_pending = 3;
  std::ofstream(o.path, std::ios::binary) << std::string(8192, 'x');
  HistoryStore h(o);
  EXPECT_FALSE(h.Open());
  for (int i = 0; i < 5; ++i) h.AppendEvent(Event(5, kT0 + i, i % 2 == 0));
  EXPECT_FALSE(h.Flush());
  EXPECT_FALSE(h.Flush());
  EXPECT_EQ(h.pending(), 3u);
  EXPECT_EQ(h.dropped(), 2u);
  EXPECT_TRUE(f.Logged("cannot open " + o.path));
  EXPECT_TRUE(f.Logged("dropped the oldest (1 dropped so far)"));

  // The operator moves the broken file away: the next flush gets in.
  std::filesystem::rename(o.path, o.path + ".broken");
  EXPECT_TRUE(h.Flush());
  EXPECT_TRUE(f.Logged("accepts writes again"));
  const auto evs = h.Events(5, 0, kT0 + 10);
  ASSERT_EQ(evs.size(), 3u);
  EXPECT_EQ(evs[0].event.time, kT0 + 2);
}

TEST(HistoryStore, LockedDatabaseKeepsItemsInMemory) {
  Fixture f;
  HistoryOptions o = f.Options();
  HistoryStore h(o);
  ASSERT_TRUE(h.Open());
  sqlite3* other = nullptr;  // another process holds the write lock
  ASSERT_EQ(sqlite3_open(o.path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  h.AppendEvent(Event(6, kT0, true));
  AddRecord(h, 6, 5093, kT0, Bytes{1, 2, 3});
  EXPECT_FALSE(h.Flush());
  EXPECT_EQ(h.pending(), 2u);
  EXPECT_TRUE(f.Logged("they stay in memory"));
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_TRUE(h.Flush());
  EXPECT_EQ(h.Records(6, 0, kT0).size(), 1u);
}

// The raise of an alarm still active survives retention and a restart; a
// database from before the alarm state was kept gets it from its events.
TEST(HistoryStore, OpenAlarmsSurviveRetentionRestartAndUpgrade) {
  Fixture f;
  HistoryOptions o = f.Options();
  o.retention.max_event_rows = 1;
  {
    HistoryStore h(o);
    AlarmEvent a = Event(7, kT0, true, "a"), b = Event(7, kT0 + 1, true, "b");
    b.seq = 5;
    h.AppendEvent(a);
    h.AppendEvent(b);
    ASSERT_TRUE(h.Flush());
    b.raised = false;
    b.time = kT0 + 2;
    h.AppendEvent(b);  // b cleared, and retention drops a's raise
    ASSERT_TRUE(h.Flush());
    AlarmEvent c = Event(8, kT0 + 3, true, "pending");
    h.AppendEvent(c);  // not written yet
    const auto open = h.OpenAlarms();
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(std::make_tuple(open[0].data_id, open[0].text, open[0].time),
              std::make_tuple(7u, std::string("a"), kT0));
    EXPECT_EQ(open[1].text, "pending");
  }
  {
    HistoryStore h(o);
    const auto open = h.OpenAlarms();
    ASSERT_EQ(open.size(), 2u);
    EXPECT_TRUE(open[0].raised);
    EXPECT_EQ(h.Events(7, 0, kT0 + 10).size(), 1u);
  }
  // An older file: no alarm_state table.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(o.path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "DROP TABLE alarm_state", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  HistoryStore h(o);
  const auto open = h.OpenAlarms();
  ASSERT_EQ(open.size(), 1u);  // c; a's raise was dropped by retention before
  EXPECT_EQ(open[0].text, "pending");
}

// A database file removed (or replaced) while the store has it open is
// noticed at the next write and created again, with what is pending and the
// alarms raised now; the WAL stays short round after round.
TEST(HistoryStore, RemovedDatabaseIsCreatedAgainAndWalStaysBounded) {
  Fixture f;
  HistoryOptions o = f.Options();
  o.full_sync = false;
  o.wal_bytes = 256 * 1024;
  o.active_alarms = [] { return std::vector<AlarmEvent>{Event(9, kT0, true, "still on")}; };
  HistoryStore h(o);
  const Bytes image(13560, 0x5A);
  for (int i = 0; i < 300; ++i) {
    AddRecord(h, 100, 5092, kT0 + i, image);
    ASSERT_TRUE(h.Flush());
  }
  // Checkpointed by size: about wal_bytes and one commit, never 4 MB.
  const auto wal = std::filesystem::file_size(o.path + "-wal");
  EXPECT_LE(wal, 2 * o.wal_bytes) << wal;

  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(o.path + suffix);
  AddRecord(h, 100, 5092, kT0 + 1000, Bytes{1, 2, 3});
  EXPECT_TRUE(h.Flush());
  EXPECT_TRUE(f.Logged("was removed or replaced while open; creating it again")) << f.log;
  EXPECT_TRUE(std::filesystem::exists(o.path));
  HistoryStore again(f.Options());
  EXPECT_EQ(again.Records(100, 0, kT0 + 2000).size(), 1u);
  ASSERT_EQ(again.OpenAlarms().size(), 1u);
  EXPECT_EQ(again.OpenAlarms()[0].text, "still on");
}

// A database of the first layout (AUTOINCREMENT ids, two record indexes) is
// rebuilt in place at open: every row keeps its id, today's queries read it,
// new rows continue after the old ids, and the open alarms stay.
TEST(HistoryStore, OlderLayoutIsRebuiltInPlaceKeepingRowsAndIds) {
  Fixture f;
  HistoryOptions o = f.Options();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(o.path.c_str(), &db), SQLITE_OK);
  const char* old_layout =
      "PRAGMA journal_mode=WAL;"
      "CREATE TABLE round_record(id INTEGER PRIMARY KEY AUTOINCREMENT, data_id INTEGER NOT NULL,"
      " type INTEGER NOT NULL, t INTEGER NOT NULL, local_time TEXT NOT NULL, image BLOB NOT NULL);"
      "CREATE INDEX round_record_unit ON round_record(data_id, type);"
      "CREATE INDEX round_record_time ON round_record(data_id, t);"
      "CREATE TABLE alarm_event(id INTEGER PRIMARY KEY AUTOINCREMENT, data_id INTEGER NOT NULL,"
      " t INTEGER NOT NULL, local_time TEXT NOT NULL, raised INTEGER NOT NULL,"
      " level INTEGER NOT NULL, key TEXT NOT NULL, code TEXT NOT NULL, seq INTEGER NOT NULL,"
      " name TEXT NOT NULL, text TEXT NOT NULL);"
      "CREATE INDEX alarm_event_time ON alarm_event(data_id, t);"
      "INSERT INTO round_record VALUES(5, 102, 5093, 1700000000, 'x', x'0102');"
      "INSERT INTO round_record VALUES(9, 102, 5093, 1700000010, 'x', x'0304');"
      "INSERT INTO alarm_event VALUES(40, 102, 1700000005, 'x', 1, 3, 'DC_0', '06008', 1, 'n',"
      " 'low');";
  ASSERT_EQ(sqlite3_exec(db, old_layout, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  {
    HistoryStore h(o);
    ASSERT_TRUE(h.Open());
    EXPECT_TRUE(f.Logged("rebuilt in the current layout")) << f.log;
    const auto records = h.Records(102, 0, kT0 + 100);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(std::make_tuple(records[0].id, records[0].image),
              std::make_tuple(int64_t{5}, Bytes{1, 2}));
    EXPECT_EQ(records[1].id, 9);
    ASSERT_EQ(h.OpenAlarms().size(), 1u);  // from the events, as before
    EXPECT_EQ(h.OpenAlarms()[0].text, "low");
    AddRecord(h, 102, 5093, kT0 + 20, Bytes{5});
    ASSERT_TRUE(h.Flush());
    EXPECT_EQ(h.Records(102, 0, kT0 + 100).back().id, 10);
    EXPECT_EQ(h.Events(102, 0, kT0 + 100).at(0).id, 40);
  }
  ASSERT_EQ(sqlite3_open(o.path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* q = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "SELECT group_concat(name) FROM sqlite_master WHERE sql LIKE "
                               "'%AUTOINCREMENT%' OR name = 'round_record_unit'",
                               -1, &q, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_text(q, 0), nullptr) << "no AUTOINCREMENT table, no second index";
  sqlite3_finalize(q);
  sqlite3_close(db);
  // Opened again: nothing to rebuild.
  f.log.clear();
  HistoryStore again(o);
  ASSERT_TRUE(again.Open());
  EXPECT_FALSE(f.Logged("rebuilt")) << f.log;
  EXPECT_EQ(again.Records(102, 0, kT0 + 100).size(), 3u);
}

// Records wait for the commit interval (by the store's clock); an alarm event
// takes everything pending with it at once; a clock set back does not hold
// records back. The record before a range is what the range starts with.
// A chart's read: one type's records of the range, oldest first; with a
// limit the newest ones, and the count of all that are stored there.
TEST(HistoryStore, RecordsNewestTakesTheNewestOfOneTypeAndCountsTheRange) {
  Fixture f;
  HistoryStore h(f.Options());
  ASSERT_TRUE(h.Open());
  for (int k = 0; k < 50; ++k) {
    AddRecord(h, 9, 5093, kT0 + k, Bytes{static_cast<unsigned char>(k)});
    AddRecord(h, 9, 5092, kT0 + k, Bytes{0xEE});  // another type of the same id
    AddRecord(h, 8, 5093, kT0 + k, Bytes{0xDD});  // another unit
  }
  ASSERT_TRUE(h.Flush());
  HistoryStore::RecordRange all = h.RecordsNewest(9, 5093, kT0 + 10, kT0 + 39, 100);
  EXPECT_EQ(all.stored, 30u);
  ASSERT_EQ(all.records.size(), 30u);
  for (size_t k = 0; k < all.records.size(); ++k) {
    EXPECT_EQ(all.records[k].time, kT0 + 10 + static_cast<int64_t>(k));
    EXPECT_EQ(all.records[k].image, Bytes{static_cast<unsigned char>(10 + k)});
    EXPECT_EQ(all.records[k].type, 5093);
  }
  // Exactly as many as the limit: still all of them, counted.
  EXPECT_EQ(h.RecordsNewest(9, 5093, kT0 + 10, kT0 + 39, 30).stored, 30u);
  HistoryStore::RecordRange few = h.RecordsNewest(9, 5093, kT0, kT0 + 100, 5);
  EXPECT_EQ(few.stored, 50u);
  ASSERT_EQ(few.records.size(), 5u);
  EXPECT_EQ(few.records.front().time, kT0 + 45);
  EXPECT_EQ(few.records.back().time, kT0 + 49);
  EXPECT_EQ(h.RecordsNewest(9, 5093, kT0 + 60, kT0 + 100, 5).stored, 0u);
  EXPECT_TRUE(h.RecordsNewest(9, 5093, kT0 + 5, kT0, 5).records.empty());  // to before from
}

TEST(HistoryStore, FlushDueWaitsForTheCommitIntervalButNotForAlarmEvents) {
  Fixture f;
  HistoryOptions o = f.Options();
  int64_t now = kT0;
  o.clock = [&now] { return now; };
  o.commit_s = 30;
  HistoryStore h(o);
  AddRecord(h, 102, 5093, now, Bytes{1});
  now += 29;
  EXPECT_TRUE(h.FlushDue());
  EXPECT_EQ(std::make_tuple(h.pending(), h.commits()), std::make_tuple(size_t{1}, uint64_t{0}));
  h.AppendEvent(Event(102, now, true));
  EXPECT_TRUE(h.FlushDue());
  EXPECT_EQ(std::make_tuple(h.pending(), h.commits()), std::make_tuple(size_t{0}, uint64_t{1}));
  AddRecord(h, 102, 5093, now, Bytes{2});
  AddRecord(h, 100, 5092, now, Bytes{7});
  now += 30;
  EXPECT_TRUE(h.FlushDue());
  EXPECT_EQ(h.commits(), 2u);
  AddRecord(h, 102, 5093, now, Bytes{3});
  now -= 3600;  // the clock set back an hour
  EXPECT_TRUE(h.FlushDue());
  EXPECT_EQ(h.commits(), 3u);

  const auto before = h.RecordsBefore(102, kT0 + 59);
  ASSERT_EQ(before.size(), 1u);
  EXPECT_EQ(before[0].image, Bytes{2});
  EXPECT_TRUE(h.RecordsBefore(102, kT0).empty());
  AddRecord(h, 100, 5093, kT0 + 70, Bytes{8});  // a second type under the same id
  ASSERT_TRUE(h.Flush());
  const auto both = h.RecordsBefore(100, kT0 + 1000);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(std::make_tuple(both[0].type, both[0].image), std::make_tuple(5092, Bytes{7}));
  EXPECT_EQ(std::make_tuple(both[1].type, both[1].image), std::make_tuple(5093, Bytes{8}));
  const auto one = h.RecordsBefore(100, kT0 + 1000, 5092);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].image, Bytes{7});
}

// The size bound holds while records keep coming: the oldest records go
// first, each unit's newest stays, and alarm events stay while there are
// records to delete.
TEST(HistoryStore, SizeBoundDeletesTheOldestRecordsAndKeepsEvents) {
  Fixture f;
  HistoryOptions o = f.Options();
  o.max_bytes = 1 << 20;
  o.wal_bytes = 64 * 1024;
  o.full_sync = false;
  HistoryStore h(o);
  h.AppendEvent(Event(102, kT0, true, "first"));
  Bytes image(900, 0);
  for (int i = 0; i < 3000; ++i) {
    image[0] = static_cast<unsigned char>(i);
    AddRecord(h, 102 + (i % 2), 5093, kT0 + i, image);
    if (i % 50 == 49) {
      ASSERT_TRUE(h.Flush());
    }
  }
  AddRecord(h, 104, 5091, kT0, Bytes{4});  // a unit written once, early
  for (int i = 0; i < 1000; ++i) AddRecord(h, 102, 5093, kT0 + 3000 + i, image);
  ASSERT_TRUE(h.Flush());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(o.path.c_str(), &db), SQLITE_OK);
  auto one = [db](const char* sql) {
    sqlite3_stmt* q = nullptr;
    int64_t v = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &q, nullptr) == SQLITE_OK && sqlite3_step(q) == SQLITE_ROW)
      v = sqlite3_column_int64(q, 0);
    sqlite3_finalize(q);
    return v;
  };
  const int64_t used =
      (one("PRAGMA page_count") - one("PRAGMA freelist_count")) * one("PRAGMA page_size");
  sqlite3_close(db);
  EXPECT_LE(used, static_cast<int64_t>(o.max_bytes - 2 * o.wal_bytes));
  EXPECT_GT(h.bound_deleted(), 2000u);
  EXPECT_TRUE(h.Records(102, kT0, kT0 + 100).empty()) << "the oldest went first";
  EXPECT_EQ(h.Records(102, kT0 + 3999, kT0 + 3999).size(), 1u);
  EXPECT_EQ(h.Records(104, 0, kT0 + 9999).size(), 1u) << "a unit's newest record stays";
  EXPECT_EQ(h.Events(102, 0, kT0 + 9999).size(), 1u);
  EXPECT_EQ(h.Events(102, 0, kT0 + 9999)[0].event.text, "first");
}

TEST(HistoryStore, ExportsCsvAndJson) {
  Fixture f;
  HistoryStore h(f.Options());
  AddRecord(h, 2, 5093, kT0, Bytes{0x0A, 0xFF, 0x00});
  h.AppendEvent(Event(2, kT0, true, "48.5,low"));
  ASSERT_TRUE(h.Flush());

  const std::string when = h.Records(2, 0, kT0).at(0).local_time;
  EXPECT_TRUE(IsLocalTime(when)) << when;
  EXPECT_EQ(h.ExportRecordsCsv(2, 0, kT0),
            "id,data_id,type,time,local_time,image\n1,2,5093,1700000000," + when + ",0AFF00\n");
  EXPECT_EQ(h.ExportEventsCsv(2, 0, kT0),
            "id,data_id,time,local_time,state,level,key,code,seq,name,text\n1,2,1700000000," +
                when + ",raised,3,p40_44_3,401410701,4,熔丝断,\"48.5,low\"\n");
  // The JSON export: the records as stored, the events in the view's alarm form.
  const Json::Value root = qmx::view::HistoryExportJson(h, 2, 0, kT0);
  ASSERT_EQ(root["records"].size(), 1u);
  ASSERT_EQ(root["events"].size(), 1u);
  EXPECT_EQ(root["records"][0]["image"].asString(), "0AFF00");
  EXPECT_EQ(root["events"][0]["name"].asString() + root["events"][0]["state"].asString(),
            "熔丝断raised");
}

}  // namespace
}  // namespace qmx::store

namespace qmx::store {
namespace {

// The outbox: what lies past a sink's cursor comes back in write order
// across devices; moving the cursor costs no commit of its own (it rides
// the next one, or the last Flush); a reopened store starts where the
// cursor was written; and rows the size bound takes past a cursor are
// counted as lost, not silently skipped.
TEST(HistoryStore, OutboxCursorRidesTheNextCommitAndCountsWhatIsOwed) {
  Fixture f;
  HistoryOptions o = f.Options();
  o.commit_s = 60;
  int64_t now = kT0;
  o.clock = [&now] { return now; };
  {
    HistoryStore h(o);
    ASSERT_TRUE(h.Open());
    EXPECT_FALSE(h.Cursor("mqtt").has_value()) << "a sink never seen has no cursor";
    AddRecord(h, 21, 5093, kT0, Bytes{1});
    h.AppendEvent(Event(21, kT0, true));
    AddRecord(h, 11, 5091, kT0 + 1, Bytes{2});
    h.AppendEvent(Event(11, kT0 + 1, true));
    ASSERT_TRUE(h.Flush());
    const uint64_t commits = h.commits();

    // Write order across devices, from past the cursor.
    const std::vector<HistoryEvent> ev = h.EventsAfter(0, 10);
    ASSERT_EQ(2u, ev.size());
    EXPECT_EQ(21u, ev[0].event.data_id);
    EXPECT_EQ(11u, ev[1].event.data_id);
    EXPECT_LT(ev[0].id, ev[1].id);
    const std::vector<HistoryRecord> rec = h.RecordsAfter(0, 10);
    ASSERT_EQ(2u, rec.size());
    EXPECT_EQ(Bytes{2}, rec[1].image);
    EXPECT_EQ(1u, h.RecordsAfter(rec[0].id, 10).size());
    EXPECT_EQ(1u, h.EventsAfter(0, 1).size()) << "the limit holds";

    h.SetCursor("mqtt", OutboxCursor{ev[0].id, rec[0].id});
    OutboxBacklog b = h.Backlog(*h.Cursor("mqtt"));
    EXPECT_EQ(1u, b.events);
    EXPECT_EQ(1u, b.records);
    EXPECT_EQ(kT0 + 1, b.oldest);
    EXPECT_EQ(ev[1].id, b.head_event);
    // A cursor alone is not a reason to write.
    EXPECT_TRUE(h.FlushDue());
    EXPECT_EQ(commits, h.commits());
    // It goes with the next commit (an alarm event: due at once).
    h.AppendEvent(Event(21, kT0 + 2, false));
    ASSERT_TRUE(h.FlushDue());
    EXPECT_EQ(commits + 1, h.commits());
    h.SetCursor("mqtt", OutboxCursor{ev[1].id, rec[1].id});
  }  // the last Flush writes the moved cursor
  {
    HistoryStore h(o);
    ASSERT_TRUE(h.Open());
    const std::optional<OutboxCursor> c = h.Cursor("mqtt");
    ASSERT_TRUE(c.has_value());
    const OutboxBacklog b = h.Backlog(*c);
    EXPECT_EQ(1u, b.events) << "the clear written after the cursor";
    EXPECT_EQ(0u, b.records);
    EXPECT_EQ(0u, b.lost_events + b.lost_records);
  }
}

TEST(HistoryStore, OutboxCountsRowsTheBoundsTookBeforeDelivery) {
  Fixture f;
  HistoryOptions o = f.Options();
  o.retention.max_rows = 3;  // records kept per unit
  HistoryStore h(o);
  ASSERT_TRUE(h.Open());
  for (int i = 0; i < 10; ++i) AddRecord(h, 21, 5093, kT0 + i, Bytes{static_cast<unsigned char>(i)});
  ASSERT_TRUE(h.Flush());
  const OutboxBacklog b = h.Backlog(OutboxCursor{0, 0});
  EXPECT_EQ(3u, b.records);
  EXPECT_EQ(7u, b.lost_records);
  EXPECT_EQ(10, b.head_record);
  EXPECT_EQ(kT0 + 7, b.oldest) << "the oldest still there";
  const std::vector<HistoryRecord> left = h.RecordsAfter(0, 100);
  ASSERT_EQ(3u, left.size());
  EXPECT_EQ(Bytes{7}, left[0].image);
}

}  // namespace
}  // namespace qmx::store

namespace qmx::view {
namespace {

using store::Bytes;

// A sink configured today is owed what is written from now on, not the
// whole past; acknowledgements only move it forward; and when the history
// file was removed and made again (ids from 1), the cursor of the old file
// would skip everything: it starts again from the new file's beginning.
TEST(Outbox, NewSinkStartsAtTheHeadAndAReplacedFileIsSentFromItsStart) {
  store::Fixture f;
  store::HistoryStore h(f.Options());
  ASSERT_TRUE(h.Open());
  for (int i = 0; i < 3; ++i) h.AppendEvent(store::Event(21, store::kT0 + i, i % 2 == 0));
  ASSERT_TRUE(h.Flush());

  Outbox box(h, "mqtt");
  EXPECT_EQ(3, box.cursor().event_id) << "the past is not owed to a new sink";
  EXPECT_TRUE(box.EventsAfter(box.cursor().event_id, 10).empty());
  h.AppendEvent(store::Event(21, store::kT0 + 5, true));
  ASSERT_TRUE(h.Flush());
  const auto owed = box.EventsAfter(box.cursor().event_id, 10);
  ASSERT_EQ(1u, owed.size());
  box.AckEvents(owed[0].id, 1);
  box.AckEvents(2, 1);  // a late acknowledgement of an older one
  EXPECT_EQ(4, box.cursor().event_id);
  const OutboxHealth health = box.Health();
  EXPECT_EQ(0u, health.pending_events);
  EXPECT_EQ(2u, health.sent_events);

  // The file goes; the store makes a new one with its ids from 1.
  std::filesystem::remove(f.dir + "/history.db");
  std::filesystem::remove(f.dir + "/history.db-wal");
  std::filesystem::remove(f.dir + "/history.db-shm");
  h.AppendEvent(store::Event(21, store::kT0 + 9, false));
  ASSERT_TRUE(h.Flush());
  const auto fresh = box.EventsAfter(box.cursor().event_id, 10);
  ASSERT_FALSE(fresh.empty()) << "the new file's events are owed";
  EXPECT_EQ(store::kT0 + 9, fresh.back().event.time);
  EXPECT_EQ(0, box.cursor().event_id);
}

}  // namespace
}  // namespace qmx::view
