// A runner killed with SIGKILL while it writes history loses no committed row,
// and the database opens cleanly and passes SQLite's integrity check.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

struct Counts {
  long records = -1;
  long events = -1;
  std::string integrity;
};

Counts Inspect(const std::string& db) {
  Counts c;
  sqlite3* h = nullptr;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(h);
    return c;
  }
  sqlite3_busy_timeout(h, 2000);
  auto one = [h](const char* sql, long& n, std::string* s) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(h, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
      n = sqlite3_column_int64(st, 0);
      if (s) s->assign(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    }
    sqlite3_finalize(st);
  };
  long unused = 0;
  one("SELECT count(*) FROM round_record", c.records, nullptr);
  one("SELECT count(*) FROM alarm_event", c.events, nullptr);
  one("PRAGMA integrity_check", unused, &c.integrity);
  sqlite3_close(h);
  return c;
}

pid_t Start(const std::string& db, const std::string& dir) {
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string site = dir + "/site.json";
    FILE* f = fopen(site.c_str(), "w");
    fputs(R"({"devices": [{"data_id": 100, "setting": {"address": 1, "acSetting": [{"data_id": 11}],
           "dcSetting": [{"data_id": 21}, {"data_id": 22}], "rcSetting": {}}}]})", f);
    fclose(f);
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    const std::string scen = std::string(K417T_EXAMPLES) + "/scenario.json";
    const std::string emulator = K417T_EMULATOR;
    if (!emulator.empty())
      execl(emulator.c_str(), emulator.c_str(), K417T_RUNNER, "--site", site.c_str(), "--simulate",
            scen.c_str(), "--db", db.c_str(), "--json", static_cast<char*>(nullptr));
    execl(K417T_RUNNER, K417T_RUNNER, "--site", site.c_str(), "--simulate", scen.c_str(), "--db",
          db.c_str(), "--json", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

}  // namespace

TEST(RunnerKill, SigkillDuringWritesLosesNoCommittedRow) {
  char tmpl[] = "/tmp/k417t-kill-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string db = dir + "/h.db";
  long committed = 0;
  for (int run = 0; run < 3; ++run) {
    const pid_t pid = Start(db, dir);
    ASSERT_GT(pid, 0);
    // wait until this run has committed rows of its own, then kill it at a
    // different moment of its cycle each time
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
      const Counts c = Inspect(db);
      if (c.records >= committed + 8) {
        committed = c.records;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300 + 700 * run));
    committed = std::max(committed, Inspect(db).records);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    const Counts after = Inspect(db);
    EXPECT_EQ("ok", after.integrity) << run;
    EXPECT_GE(after.records, committed) << run;
    EXPECT_GT(after.records, 0) << run;
    committed = after.records;
  }
  std::system(("rm -rf " + dir).c_str());
}
