// A device's memory (saved states) and its battery discharges in the history.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "store/history_store.h"

namespace qmx::store {
namespace {

constexpr int64_t kT0 = 1700000000;

struct Dir {
  std::string path = [] {
    std::string p = (std::filesystem::temp_directory_path() / "qmx-state-XXXXXX").string();
    return mkdtemp(p.data()) != nullptr ? p : std::string();
  }();
  ~Dir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  HistoryOptions Options(int64_t* now, uint32_t commit_s) const {
    HistoryOptions o;
    o.path = path + "/history.db";
    o.busy_timeout_ms = 200;
    o.commit_s = commit_s;
    o.clock = [now] { return *now; };
    return o;
  }
};

// What another connection reads from the file: only what was committed.
std::optional<std::string> StoredState(const std::string& path, uint32_t device,
                                       const std::string& key) {
  sqlite3* db = nullptr;
  std::optional<std::string> out;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* q = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT body FROM device_state WHERE device = ?1 AND key = ?2", -1,
                           &q, nullptr) == SQLITE_OK) {
      sqlite3_bind_int64(q, 1, device);
      sqlite3_bind_text(q, 2, key.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(q) == SQLITE_ROW)
        out = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
    }
    sqlite3_finalize(q);
  }
  sqlite3_close(db);
  return out;
}

TEST(DeviceState, SavedStatesWaitForTheCommitAndTheLastOneIsWritten) {
  Dir d;
  int64_t now = kT0;
  HistoryStore h(d.Options(&now, 30));
  ASSERT_TRUE(h.Open());
  for (int i = 1; i <= 10; ++i) {
    h.SaveState(7, "battery", "{\"n\":" + std::to_string(i) + "}");
    now += 2;
    EXPECT_TRUE(h.FlushDue());
  }
  // 20 s into a 30 s interval: nothing written yet, the newest read back.
  EXPECT_EQ(h.commits(), 0u);
  EXPECT_EQ(StoredState(d.path + "/history.db", 7, "battery"), std::nullopt);
  EXPECT_EQ(h.LoadState(7, "battery"), "{\"n\":10}");
  now += 10;
  h.SaveState(7, "battery", "{\"n\":11}");
  h.SaveState(8, "battery", "{\"n\":1}");
  EXPECT_TRUE(h.FlushDue());
  EXPECT_EQ(h.commits(), 1u);
  EXPECT_EQ(StoredState(d.path + "/history.db", 7, "battery"), "{\"n\":11}");
  EXPECT_EQ(StoredState(d.path + "/history.db", 8, "battery"), "{\"n\":1}");
  // Nothing saved since: the next due check writes nothing.
  now += 60;
  EXPECT_TRUE(h.FlushDue());
  EXPECT_EQ(h.commits(), 1u);
  // The same document again is no change.
  h.SaveState(7, "battery", "{\"n\":11}");
  now += 60;
  EXPECT_TRUE(h.FlushDue());
  EXPECT_EQ(h.commits(), 1u);
  EXPECT_EQ(h.LoadState(9, "battery"), std::nullopt);
}

// The process dies (no destructor, no last flush) after a commit and more
// saves: a new run reads the last committed state, never nothing.
TEST(DeviceState, PowerCutKeepsTheLastCommittedStateAndACleanStopWritesTheRest) {
  Dir d;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int64_t now = kT0;
    auto* h = new HistoryStore(d.Options(&now, 30));  // never deleted: no flush at the end
    h->SaveState(3, "battery", "{\"kwh\":1}");
    now += 30;
    h->FlushDue();
    h->SaveState(3, "battery", "{\"kwh\":2}");  // lost with the power
    now += 5;
    h->FlushDue();
    _exit(h->commits() == 1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  int64_t now = kT0 + 100;
  {
    HistoryStore h(d.Options(&now, 30));
    EXPECT_EQ(h.LoadState(3, "battery"), "{\"kwh\":1}");
    h.SaveState(3, "battery", "{\"kwh\":3}");
  }  // a clean stop
  HistoryStore h(d.Options(&now, 30));
  EXPECT_EQ(h.LoadState(3, "battery"), "{\"kwh\":3}");
}

DischargeRow Row(uint32_t device, int64_t start_s, const std::string& cause) {
  DischargeRow r;
  r.device = device;
  r.start_ms = start_s * 1000 + 250;
  r.cause = cause;
  r.min_v = 50.5;
  return r;
}

TEST(Discharges, AddedAtOnceUpdatedAtTheEndAndListedNewestFirst) {
  Dir d;
  int64_t now = kT0;
  HistoryStore h(d.Options(&now, 600));
  DischargeRow a = Row(1, kT0, "mains loss");
  a.id = h.AddDischarge(a);
  ASSERT_GT(a.id, 0);
  const int64_t b = h.AddDischarge(Row(2, kT0 + 10, "rectifier shortfall"));
  const int64_t c = h.AddDischarge(Row(1, kT0 + 20, "test"));
  ASSERT_GT(b, a.id);
  ASSERT_GT(c, b);
  EXPECT_EQ(h.commits(), 0u);  // not waiting for the records' commit

  a.end_ms = (kT0 + 5) * 1000;
  a.ah = 12.5;
  a.kwh = 0.625;
  a.end_v = 48.25;
  a.min_temp = -3.5;
  a.result = "pass";
  a.expected_ah = 10;
  ASSERT_TRUE(h.UpdateDischarge(a));

  const auto all = h.Discharges(0, kT0 - 1, kT0 + 100, 10);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].id, c);
  EXPECT_EQ(all[1].id, b);
  EXPECT_EQ(all[2].id, a.id);
  const DischargeRow& got = all[2];
  EXPECT_EQ(got.device, 1u);
  EXPECT_EQ(got.start_ms, kT0 * 1000 + 250);
  EXPECT_EQ(got.end_ms, (kT0 + 5) * 1000);
  EXPECT_EQ(got.cause, "mains loss");
  EXPECT_DOUBLE_EQ(got.ah, 12.5);
  EXPECT_DOUBLE_EQ(got.kwh, 0.625);
  EXPECT_EQ(got.min_v, 50.5);
  EXPECT_EQ(got.end_v, 48.25);
  EXPECT_EQ(got.min_temp, -3.5);
  EXPECT_EQ(got.result, "pass");
  EXPECT_DOUBLE_EQ(got.expected_ah, 10);
  // No temperature stays no value; a going-on discharge has end 0.
  EXPECT_EQ(all[0].min_temp, std::nullopt);
  EXPECT_EQ(all[0].end_v, std::nullopt);
  EXPECT_EQ(all[0].end_ms, 0);

  // By device, by start time (inclusive seconds), and the limit.
  const auto one = h.Discharges(1, 0, INT64_MAX, 10);
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[0].id, c);
  EXPECT_EQ(h.Discharges(0, kT0 + 10, kT0 + 10, 10).size(), 1u);
  EXPECT_EQ(h.Discharges(0, INT64_MIN, INT64_MAX, 1).size(), 1u);
  EXPECT_TRUE(h.Discharges(0, kT0 + 30, kT0 + 10, 10).empty());

  // A row that was never stored is added when it ends.
  DischargeRow late = Row(3, kT0 + 40, "mains loss");
  late.end_ms = (kT0 + 50) * 1000;
  ASSERT_TRUE(h.UpdateDischarge(late));
  ASSERT_EQ(h.Discharges(3, 0, INT64_MAX, 10).size(), 1u);
}

TEST(Discharges, EachDeviceKeepsItsNewestRows) {
  Dir d;
  int64_t now = kT0;
  HistoryStore h(d.Options(&now, 0));
  h.AddDischarge(Row(2, kT0, "mains loss"));
  for (uint32_t i = 0; i < kMaxDischargeRows + 5; ++i)
    ASSERT_GT(h.AddDischarge(Row(1, kT0 + i, "mains loss")), 0);
  const auto rows = h.Discharges(1, 0, INT64_MAX, 5000);
  ASSERT_EQ(rows.size(), kMaxDischargeRows);
  EXPECT_EQ(rows.front().start_ms, (kT0 + kMaxDischargeRows + 4) * 1000 + 250);
  EXPECT_EQ(rows.back().start_ms, (kT0 + 5) * 1000 + 250);
  EXPECT_EQ(h.Discharges(2, 0, INT64_MAX, 10).size(), 1u);  // another device's stay
}

// A database made before these tables gains them when opened.
TEST(Discharges, AnOlderDatabaseGainsTheTables) {
  Dir d;
  const std::string path = d.path + "/history.db";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE round_record(id INTEGER PRIMARY KEY, data_id INTEGER NOT "
                         "NULL, type INTEGER NOT NULL, t INTEGER NOT NULL, local_time TEXT NOT "
                         "NULL, image BLOB NOT NULL); PRAGMA user_version=2;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  int64_t now = kT0;
  HistoryStore h(d.Options(&now, 0));
  EXPECT_GT(h.AddDischarge(Row(1, kT0, "test")), 0);
  h.SaveState(1, "battery", "{}");
  EXPECT_TRUE(h.Flush());
  EXPECT_EQ(StoredState(path, 1, "battery"), "{}");
}

}  // namespace
}  // namespace qmx::store
