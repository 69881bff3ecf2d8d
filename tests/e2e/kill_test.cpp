// A runner killed with SIGKILL while it writes history loses no committed row
// and no alarm event it reported, and the database opens cleanly and passes
// SQLite's integrity check.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_util.h"

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
    if (sqlite3_prepare_v2(h, sql, -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
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

// `out`: where the runner's --json lines go; `scen`: the scenario file;
// `extra`: more options.
pid_t Start(const std::string& db, const std::string& dir, const std::string& out = "/dev/null",
            std::string scen = "", const std::vector<std::string>& extra = {}) {
  if (scen.empty()) scen = std::string(K417T_EXAMPLES) + "/scenario.json";
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string site = dir + "/site.json";
    FILE* f = fopen(site.c_str(), "w");
    fputs(R"({"devices": [{"data_id": 100, "setting": {"address": 1, "acSetting": [{"data_id": 11}],
           "dcSetting": [{"data_id": 21}, {"data_id": 22}], "rcSetting": {}}}]})",
          f);
    fclose(f);
    freopen(out.c_str(), "a", stdout);
    freopen("/dev/null", "w", stderr);
    std::vector<std::string> args =
        e2e::RunnerCommand({"--site", site, "--simulate", scen, "--db", db, "--json"});
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
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
    // Records every second: the kill lands while history is being written.
    const pid_t pid =
        Start(db, dir, "/dev/null", "", {"--history-heartbeat", "1", "--history-commit", "1"});
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

// Every alarm event the runner has reported (its round lines come after the
// round's commit) is in the database after a SIGKILL, whenever it comes:
// records wait for their commit interval, alarm events do not.
TEST(RunnerKill, SigkillLosesNoReportedAlarmEvent) {
  char tmpl[] = "/tmp/k417t-killev-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string db = dir + "/h.db";
  const std::string out = dir + "/out.jsonl";
  // The example plant without its timeline, a low-voltage alarm every four
  // rounds for two, values moving inside their dead bands.
  const std::string scen = dir + "/scenario.json";
  {
    std::ifstream in(std::string(K417T_EXAMPLES) + "/scenario.json");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t changes = text.find("\"changes\"");
    ASSERT_NE(changes, std::string::npos);
    text = text.substr(0, changes) +
           "\"noise\": {\"voltage\": 0.02, \"current\": 0.5},"
           " \"alarms\": {\"every_rounds\": 4, \"rounds\": 2}}";
    std::ofstream(scen) << text;
  }
  for (int run = 0; run < 3; ++run) {
    std::remove(out.c_str());
    const long before = std::max(0L, Inspect(db).events);
    const pid_t pid = Start(db, dir, out, scen);
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(9000 + 1300 * run));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream lines(out);
    long reported = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.find("\"kind\":\"round\"") == std::string::npos) continue;
      for (size_t at = line.find("\"DC_0\""); at != std::string::npos;
           at = line.find("\"DC_0\"", at + 1))
        ++reported;
    }
    const Counts after = Inspect(db);
    EXPECT_EQ("ok", after.integrity) << run;
    EXPECT_GT(reported, 0) << run << ": no alarm reported; is the scenario moving?";
    EXPECT_GE(after.events - before, reported) << run;
  }
  std::system(("rm -rf " + dir).c_str());
}
