// Soak: one controller polled for N rounds (default 20,000) without pacing,
// through the real host (line session, alarm service, job runner, SQLite
// history with its WAL) and the plug-in, the power system answering over an
// in-memory line. Prints RSS every 1,000 rounds and the growth over the last
// half; exits 1 when that growth is 64 KiB or more. Not a test: run
// build/bench/soak_bench [ROUNDS] [DB|none] by hand ("none": no history).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "controller/k417t.h"
#include "site/site_host.h"
#include "support/power_system.h"
#include "wire/memory_transport.h"

extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

long RssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned rounds = argc > 1 ? static_cast<unsigned>(std::atol(argv[1])) : 20000;
  const std::string db = argc > 2 ? argv[2] : "/tmp/k417t-soak.db";
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
  // The plug-in's traces go nowhere.
  std::ofstream quiet("/dev/null");
  std::streambuf* console = std::cout.rdbuf(quiet.rdbuf());

  qmx::SiteHost::Options o;
  o.db_path = db == "none" ? std::string() : db;
  o.poll_tick_ms = 0;
  auto host = std::make_shared<qmx::SiteHost>(o, [](const std::string&) {});
  host->OpenHistory();
  auto host_ctrl =
      std::make_shared<QMXController>(std::shared_ptr<qmx::HostServices>(host, host.get()));
  auto ctrl = std::make_shared<K417T>();
  ctrl->Init(host_ctrl, 100);
  ctrl->InitSetting(k417t_test::SmallSetting(1, 1000, 100));
  auto pair = qmx::wire::MemoryTransport::make_pair("soak");
  k417t_test::PowerSystem system(std::move(pair.second), {1});
  host->AddDevice(ctrl, std::move(pair.first));

  std::vector<std::pair<unsigned, long>> curve;
  uint64_t done = 0;
  while (done < rounds) {
    host->RunOnce(0);
    system.Answer();
    const uint64_t now = host->rounds(100);
    if (now != done) {
      done = now;
      // The controller waits 2 s between rounds; the soak does not.
      ctrl->last_update -= boost::posix_time::seconds(3);
      if (done % 1000 == 0) curve.emplace_back(static_cast<unsigned>(done), RssKiB());
    }
  }
  host->Shutdown();
  std::cout.rdbuf(console);
  std::printf("rounds  RSS kB\n");
  for (const auto& [n, kib] : curve) std::printf("%6u  %ld\n", n, kib);
  const long half = curve.size() >= 2 ? curve[curve.size() / 2 - 1].second : curve.front().second;
  const long growth = curve.back().second - half;
  std::printf("growth over the last %u rounds: %ld kB\n", rounds / 2, growth);
  return growth < 64 ? 0 : 1;
}
