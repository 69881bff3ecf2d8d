// History bench: bytes the history writes to the disk. One controller (an AC
// screen, the rectifier group with three modules, two DC units) polled for N
// rounds without pacing through the real host (line session, alarm service,
// job runner, SQLite history) and the plug-in, the power system answering over
// an in-memory line. The host's clock moves 2 s a round, as a controller is
// polled in the field. Prints the process's own write_bytes (/proc/self/io),
// the database size and the commits, per round and per controller-day.
//
//   history_bench [--rounds N] [--values steady|realistic|changing]
//                 [--scenario FILE] [--db PATH] [--every-round]
//                 [--max-mb N] [--max-written-per-round BYTES] [--sinks N]
//
// --sinks N: N northbound sinks (MQTT, remote write) caught up with the
// history, each acknowledging what is stored at every round: their cursors
// move every round and ride the commits the history makes anyway.
// --every-round stores every round and commits it at once (the history as it
// was written before records on change). --max-written-per-round: exit 1 when
// more was written per round (CI runs the steady values with it). The
// database must be on a disk file system: tmpfs counts no write_bytes.
#include <json/json.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "controller/k417t.h"
#include "sim/scenario.h"
#include "site/site_host.h"
#include "support/power_system.h"
#include "view/dead_band.h"
#include "view/unit_values.h"
#include "wire/memory_transport.h"

extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

constexpr int kSecondsPerRound = 2;
constexpr double kRoundsPerDay = 86400.0 / kSecondsPerRound;

uint64_t WriteBytes() {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value)
    if (key == "write_bytes:") return value;
  return 0;
}

uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

Json::Value Parse(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string err;
  std::istringstream in(text);
  Json::parseFromStream(b, in, &v, &err);
  return v;
}

// The example plant (examples/scenario.json without its timeline) with the
// motion of each kind of values: noise inside every dead band below, a step
// every 15 minutes, a low-voltage alarm for a minute every hour; or noise
// past the dead bands every round.
Json::Value Scenario(const std::string& values) {
  Json::Value s = Parse(R"({
    "ac": [ { "inputs": [ { "a": 380.5, "b": 381.2, "c": 379.8, "f": 50.0 },
                          { "a": 0.0, "b": 0.0, "c": 0.0, "f": 0.0 } ],
              "ia": 31.5, "ib": 30.8, "ic": 32.1 } ],
    "rectifier": { "value": 53.5, "modules": [
      { "value": 40.2, "user": [53.5, 45.0, 0, 0, 0, 0, 0] },
      { "value": 39.8, "user": [53.5, 44.0, 0, 0, 0, 0, 0] },
      { "value": 0.0, "states": [1, 0, 0] } ] },
    "dc": [ { "v": 53.5, "i": 120.4, "m": [60.2, 60.2], "user": [25.0, 26.5] },
            { "v": 53.4, "i": 80.0, "m": [40.0, 40.0] } ] })");
  if (values == "realistic") {
    s["noise"] = Parse(R"({"voltage": 0.04, "current": 0.4, "seed": 7})");
    s["steps"] = Parse(R"({"every_rounds": 450, "voltage": 1.0, "current": 12})");
    s["alarms"] = Parse(R"({"every_rounds": 1800, "rounds": 30})");
  } else if (values == "changing") {
    s["noise"] = Parse(R"({"voltage": 8, "current": 30, "seed": 7})");
  }
  return s;
}

// The unit dead bands of examples/site.json (the second DC unit keeps the
// unit's defaults, 0.1 V and 20 A).
Json::Value Setting() {
  Json::Value s = Parse(R"({
    "address": 1, "timeout_ms": 1000,
    "acSetting": [ { "data_id": 11, "appSetting": { "diff_v": 5, "diff_i": 2 } } ],
    "dcSetting": [ { "data_id": 21, "appSetting": { "diff_v": 0.5, "diff_i": 10 } },
                   { "data_id": 22 } ],
    "rcSetting": {} })");
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned rounds = 3000;
  std::string values = "realistic", scenario_file, db = "k417t-history-bench.db";
  bool every_round = false;
  unsigned sinks = 0;
  double max_mb = 0, bound = 0;
  for (int k = 1; k < argc; ++k) {
    const std::string a = argv[k];
    const char* next = k + 1 < argc ? argv[k + 1] : nullptr;
    if (a == "--every-round") {
      every_round = true;
    } else if (next == nullptr) {
      std::cerr << "history_bench: " << a << " needs a value (see the head of history_bench.cpp)\n";
      return 2;
    } else if (a == "--rounds") {
      rounds = static_cast<unsigned>(std::atol(argv[++k]));
    } else if (a == "--values") {
      values = argv[++k];
    } else if (a == "--scenario") {
      scenario_file = argv[++k];
    } else if (a == "--db") {
      db = argv[++k];
    } else if (a == "--max-mb") {
      max_mb = std::atof(argv[++k]);
    } else if (a == "--sinks") {
      sinks = static_cast<unsigned>(std::atol(argv[++k]));
    } else if (a == "--max-written-per-round") {
      bound = std::atof(argv[++k]);
    } else {
      std::cerr << "history_bench: unknown option " << a << "\n";
      return 2;
    }
  }
  if (rounds == 0 || (values != "steady" && values != "realistic" && values != "changing")) {
    std::cerr << "history_bench: --rounds must be positive, --values steady|realistic|changing\n";
    return 2;
  }
  Json::Value scenario = Scenario(values);
  if (!scenario_file.empty()) {
    std::string err;
    if (!k417t::sim::LoadScenarioFile(scenario_file, &scenario, &err)) {
      std::cerr << "history_bench: " << err << "\n";
      return 2;
    }
    values = scenario_file;
  }
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
  std::ofstream quiet("/dev/null");
  std::streambuf* console = std::cout.rdbuf(quiet.rdbuf());

  // The run ends now: its database can be looked at with the runner's page.
  std::atomic<int64_t> clock{static_cast<int64_t>(std::time(nullptr)) -
                             static_cast<int64_t>(rounds) * kSecondsPerRound};
  qmx::SiteHost::Options o;
  o.db_path = db;
  o.poll_tick_ms = 0;
  o.clock = [&clock] { return clock.load(); };
  if (!every_round) {
    o.heartbeat_s = 300;
    o.commit_s = 30;
    o.changed_past_dead_band = [](int type, const std::vector<unsigned char>& a,
                                  const std::vector<unsigned char>& b) -> std::optional<bool> {
      if (type != qmx::view::kRectifierType) return std::nullopt;
      return qmx::view::MovedPast(type, a, b, qmx::view::DeadBand{});
    };
  }
  o.history_max_bytes = static_cast<uint64_t>(max_mb * 1048576.0);
  std::string logged;
  auto host = std::make_shared<qmx::SiteHost>(o, [&logged](const std::string& l) {
    if (l.find("history") != std::string::npos && logged.size() < 4096) logged += l + "\n";
  });
  host->OpenHistory();
  auto host_ctrl =
      std::make_shared<QMXController>(std::shared_ptr<qmx::HostServices>(host, host.get()));
  auto ctrl = std::make_shared<K417T>();
  ctrl->Init(host_ctrl, 100);
  ctrl->InitSetting(Setting());
  auto pair = qmx::wire::MemoryTransport::make_pair("bench");
  k417t_test::PowerSystem system(std::move(pair.second), {});
  std::string err;
  auto sim = k417t::sim::Simulator::Create(scenario, &err);
  if (!sim) {
    std::cout.rdbuf(console);
    std::cerr << "history_bench: scenario: " << err << "\n";
    return 2;
  }
  system.controllers.push_back(std::move(sim));
  host->AddDevice(ctrl, std::move(pair.first));

  const uint64_t written_at_start = WriteBytes();
  uint64_t done = 0;
  while (done < rounds) {
    host->RunOnce(0);
    system.Answer();
    const uint64_t now = host->rounds(100);
    if (now != done) {
      done = now;
      clock += kSecondsPerRound;
      if (sinks > 0) {
        const qmx::store::OutboxCursor head = host->history()->Heads();
        for (unsigned i = 0; i < sinks; ++i)
          host->history()->SetCursor("sink" + std::to_string(i), head);
      }
      ctrl->last_update -= boost::posix_time::seconds(3);
    }
  }
  // The round-end jobs of the last round (and their commit) belong to the run.
  const uint64_t commits_running = host->history()->commits();
  const uint64_t written_running = WriteBytes() - written_at_start;
  host->Shutdown();
  const uint64_t written_all = WriteBytes() - written_at_start;
  const uint64_t commits = host->history()->commits();
  std::cout.rdbuf(console);
  // Pages in use: the database as a copy or a checkpoint would leave it (the
  // WAL is bounded apart).
  uint64_t stored = FileSize(db);
  sqlite3* check = nullptr;
  if (sqlite3_open_v2(db.c_str(), &check, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    int64_t pages = 0, free_pages = 0, page = 0;
    for (auto [sql, out] : {std::pair<const char*, int64_t*>{"PRAGMA page_count", &pages},
                            {"PRAGMA freelist_count", &free_pages},
                            {"PRAGMA page_size", &page}}) {
      sqlite3_stmt* q = nullptr;
      if (sqlite3_prepare_v2(check, sql, -1, &q, nullptr) == SQLITE_OK &&
          sqlite3_step(q) == SQLITE_ROW)
        *out = sqlite3_column_int64(q, 0);
      sqlite3_finalize(q);
    }
    if (pages > 0) stored = static_cast<uint64_t>((pages - free_pages) * page);
  }
  sqlite3_close(check);

  const double hours = rounds * kSecondsPerRound / 3600.0;
  const double per_round = static_cast<double>(written_running) / rounds;
  std::printf("values %s, %u rounds (%.1f h at one round per %d s)%s, %u outbox sink%s\n",
              values.c_str(), rounds, hours, kSecondsPerRound,
              every_round ? ", every round stored and committed" : "", sinks, sinks == 1 ? "" : "s");
  std::printf("written:  %llu bytes while polling (%llu with the clean stop)\n",
              static_cast<unsigned long long>(written_running),
              static_cast<unsigned long long>(written_all));
  std::printf("          %.0f bytes a round, %.1f MB a controller-day\n", per_round,
              per_round * kRoundsPerDay / 1e6);
  std::printf("stored:   %llu bytes, %.0f a round, %.2f MB a controller-day\n",
              static_cast<unsigned long long>(stored), static_cast<double>(stored) / rounds,
              static_cast<double>(stored) / rounds * kRoundsPerDay / 1e6);
  std::printf("commits:  %llu while polling, %.1f an hour\n",
              static_cast<unsigned long long>(commits_running), commits_running / hours);
  if (max_mb > 0)
    std::printf("bound:    %.1f MiB, %llu rows deleted for it\n", max_mb,
                static_cast<unsigned long long>(host->history()->bound_deleted()));
  (void)commits;
  if (!logged.empty()) std::printf("log:\n%s", logged.c_str());
  if (bound > 0 && per_round > bound) {
    std::printf("FAIL: %.0f bytes written a round, the bound is %.0f\n", per_round, bound);
    return 1;
  }
  return 0;
}
