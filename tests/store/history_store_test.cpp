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
  o.active_alarms = [] { return std::vector<AlarmEvent>{Event(9, kT0, true, "still on")}; };
  HistoryStore h(o);
  const Bytes image(13560, 0x5A);
  for (int i = 0; i < 300; ++i) {
    AddRecord(h, 100, 5092, kT0 + i, image);
    ASSERT_TRUE(h.Flush());
  }
  const auto wal = std::filesystem::file_size(o.path + "-wal");
  EXPECT_LE(wal, 300u * 1024) << wal;

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
  Json::Value root;
  std::istringstream js(h.ExportJson(2, 0, kT0));
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), js, &root, nullptr));
  ASSERT_EQ(root["records"].size(), 1u);
  ASSERT_EQ(root["events"].size(), 1u);
  EXPECT_EQ(root["records"][0]["image"].asString(), "0AFF00");
  EXPECT_EQ(root["events"][0]["name"].asString() + root["events"][0]["state"].asString(),
            "熔丝断raised");
}

}  // namespace
}  // namespace qmx::store
