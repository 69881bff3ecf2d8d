// Four lines polling on their own threads while four other threads send
// control commands, query results and read snapshots; lines removed and
// added while others read (run under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "controller/k417t.h"
#include "site/site_host.h"
#include "support/power_system.h"
#include "wire/memory_transport.h"

extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

using namespace std::chrono_literals;

qmx::SiteHost::Options Paced(int spacing_ms) {
  qmx::SiteHost::Options o;
  o.control_spacing_ms = spacing_ms;
  return o;
}

struct Site {
  std::shared_ptr<qmx::SiteHost> host;
  std::vector<std::shared_ptr<QMXController>> host_ctrls;
  std::vector<std::shared_ptr<K417T>> ctrls;
  std::vector<std::unique_ptr<k417t_test::PowerSystemThread>> power;

  explicit Site(int lines, qmx::SiteHost::Options o = Paced(10))
      : host(std::make_shared<qmx::SiteHost>(o, [](const std::string&) {})) {
    for (int i = 0; i < lines; ++i) Add(100 * static_cast<unsigned>(i + 1));
  }
  // A controller on a line of its own, with a power system answering.
  void Add(unsigned id) {
    auto host_ctrl =
        std::make_shared<QMXController>(std::shared_ptr<qmx::HostServices>(host, host.get()));
    auto k = std::make_shared<K417T>();
    k->Init(host_ctrl, id);
    EXPECT_TRUE(k->InitSetting(k417t_test::SmallSetting(1, 2000, id)));
    auto pair = qmx::wire::MemoryTransport::make_pair("line-" + std::to_string(id));
    k417t_test::PowerSystem system(std::move(pair.second), {});
    Json::Value scen = k417t_test::SmallScenario(1);
    scen["control_rtn"]["10"] = 7;  // command 100
    system.controllers.push_back(k417t::sim::Simulator::Create(scen, nullptr));
    power.push_back(std::make_unique<k417t_test::PowerSystemThread>(std::move(system)));
    EXPECT_TRUE(host->AddDevice(k, std::move(pair.first)));
    host_ctrls.push_back(host_ctrl);
    ctrls.push_back(k);
  }
  ~Site() { host->Shutdown(); }
};

}  // namespace

TEST(SiteHostConcurrency, ControlAndSnapshotsFromFourThreadsWhileFourLinesPoll) {
  Site s(4);
  testing::internal::CaptureStdout();
  s.host->Start();
  std::atomic<int> answered{0}, failed{0};
  std::vector<std::thread> fronts;
  for (int t = 0; t < 4; ++t) {
    fronts.emplace_back([&, t] {
      // Each device gets four commands, one a round (a round every 2 s or
      // so): the wait is bounded well past that, for slow sanitizer builds.
      for (int n = 0; n < 4; ++n) {
        const unsigned id = 100 * static_cast<unsigned>((t + n) % 4 + 1);
        const qmx::ControlResult r = s.host->Control(id, n % 2 ? 106 : 100, {0x03}, 20000ms);
        (r.result >= 0 ? answered : failed)++;
        s.host->ControlQuery(id);
        const auto snap = s.host->Snapshot(id);
        EXPECT_TRUE(snap.has_value());
        s.host->ActiveAlarms();
        s.host->LastImage(id, 5092);
        s.host->rounds(id);
      }
    });
  }
  for (auto& f : fronts) f.join();
  for (unsigned id : {100u, 200u, 300u, 400u})
    EXPECT_TRUE([&] {
      for (int i = 0; i < 2000 && s.host->rounds(id) == 0; ++i) std::this_thread::sleep_for(5ms);
      return s.host->rounds(id) > 0;
    }()) << id;
  s.host->Stop();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(16, answered.load());
  EXPECT_EQ(0, failed.load());
}

// A flood of control requests for one device: every caller gets an answer,
// commands are paced, refusals come at once, and the device keeps polling.
TEST(SiteHostConcurrency, AControlFloodIsPacedAndTheDeviceKeepsPolling) {
  const int spacing_ms = 200;
  Site s(1, Paced(spacing_ms));
  testing::internal::CaptureStdout();
  s.host->Start();
  for (int i = 0; i < 2000 && s.host->rounds(100) == 0; ++i) std::this_thread::sleep_for(5ms);
  const uint64_t rounds0 = s.host->rounds(100);
  std::atomic<int> answered{0}, refused{0};
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> flood;
  for (int t = 0; t < 8; ++t)
    flood.emplace_back([&] {
      for (int n = 0; n < 25; ++n) {
        const qmx::ControlResult r = s.host->Control(100, 100, {0x03}, 1000ms);
        (r.result >= 0 ? answered : refused)++;
      }
    });
  for (auto& f : flood) f.join();
  const auto elapsed = std::chrono::steady_clock::now() - t0;
  const uint64_t rounds_during = s.host->rounds(100) - rounds0;
  for (int i = 0; i < 2000 && s.host->rounds(100) <= rounds0; ++i) std::this_thread::sleep_for(5ms);
  s.host->Stop();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(200, answered.load() + refused.load());
  EXPECT_GT(answered.load(), 0);
  EXPECT_GT(refused.load(), 100);
  EXPECT_LE(answered.load(), 1 + elapsed / std::chrono::milliseconds(spacing_ms));
  // A command restarts the device's round: rounds went on completing between
  // them, at most one command a round.
  EXPECT_LE(static_cast<uint64_t>(answered.load()), rounds_during + 1);
  EXPECT_GT(s.host->rounds(100), rounds0);
}

TEST(SiteHostConcurrency, CommandMadeDirectlyOnAnotherThreadIsHandedToTheLine) {
  Site s(1);
  testing::internal::CaptureStdout();
  s.host->Start();
  std::thread other([&] {
    for (int n = 0; n < 20; ++n) {
      int out = 0, len = 0;
      s.ctrls[0]->DeviceIoControl(n % 2 ? 104 : 1, nullptr, 0, &out, 4, len);
      std::this_thread::sleep_for(1ms);
    }
  });
  other.join();
  const bool polled_on = [&] {
    for (int i = 0; i < 2000 && s.host->rounds(100) == 0; ++i) std::this_thread::sleep_for(5ms);
    return s.host->rounds(100) > 0;
  }();
  s.host->Stop();
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(polled_on);
}

// A reload's work on the host (a line stopped and its device let go, a new
// line added and started) while front ends read and send commands.
TEST(SiteHostConcurrency, LinesRemovedAndAddedWhileOtherThreadsRead) {
  // With history on change: the lines publish, the job worker saves and a
  // removed line writes its units' latest images, all at once.
  char dir[] = "/tmp/k417t-conc-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  qmx::SiteHost::Options o = Paced(10);
  o.db_path = std::string(dir) + "/h.db";
  o.heartbeat_s = 300;
  o.commit_s = 30;
  Site s(2, o);
  s.host->OpenHistory();
  s.host->Start();
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::vector<std::thread> fronts;
  for (int t = 0; t < 3; ++t) {
    fronts.emplace_back([&, t] {
      for (int n = 0; !stop; ++n) {
        for (unsigned id : s.host->DeviceIds()) {
          if ((n + t) % 4 == 0) s.host->Control(id, 100, {}, 300ms);
          s.host->ControlQuery(id);
          if (auto snap = s.host->Snapshot(id)) reads += snap->device_id == id ? 1 : 0;
          s.host->rounds(id);
        }
        s.host->ActiveAlarms();
        std::this_thread::sleep_for(1ms);
      }
    });
  }
  for (int cycle = 0; cycle < 5; ++cycle) {
    size_t line = 0;
    EXPECT_TRUE(s.host->LineOf(200, line));
    EXPECT_TRUE(s.host->RemoveLine(line));
    s.Add(200);
    s.host->RetireAlarms();
    s.host->Start();
    for (int i = 0; i < 2000 && s.host->rounds(200) == 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_GT(s.host->rounds(200), 0u) << cycle;
  }
  stop = true;
  for (auto& f : fronts) f.join();
  // The line that stayed polled on all along.
  const uint64_t seen = s.host->rounds(100);
  for (int i = 0; i < 2000 && s.host->rounds(100) <= seen; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_GT(s.host->rounds(100), seen);
  s.host->Stop();
  EXPECT_GT(reads.load(), 0);
  // Every start of device 200 stored its units' first round.
  s.host->Shutdown();
  EXPECT_GE(s.host->history()->Records(202, 0, INT64_MAX / 2).size(), 5u);
  std::system(("rm -rf " + std::string(dir)).c_str());
}
