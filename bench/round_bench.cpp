// Decoding and dispatching one complete polling round (full fetch: every
// request of the cycle) through the controller and its units, with the
// answers the simulator builds for a realistic system and for the largest
// rectifier group one frame can carry. The 20 ms pause is linked out.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <new>

#include <benchmark/benchmark.h>
#include <json/json.h>

#include "controller/k417t.h"
#include "sim/simulator.h"

// Counts heap allocations; the replacement pair is malloc/free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<uint64_t> g_allocs{0};

void* operator new(std::size_t n) {
  ++g_allocs;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

// A host that accepts everything and keeps nothing; jobs run at once.
class NullServices : public qmx::HostServices {
 public:
  bool Publish(QMXVDevice&, int, const unsigned char*, int, bool, bool) override { return true; }
  bool ThresholdPoint(QMXVDevice&, const rule_value&) override { return true; }
  bool BatchCheck(QMXVDevice&, const std::vector<rule_value>&) override { return false; }
  void QueueJob(QMXVDevice&, std::function<void()> job) override { job(); }
  void SaveHistory(QMXVDevice&, const unsigned char*, int) override {}
  void Log(const std::string&) override {}
  int RefreshStatus(QMXSPDevice&) override { return 1; }
  void Reset(QMXSPDevice&) override {}
  bool OpenPort(QMXSPDevice&) override { return true; }
  bool SendRequest(PMBusProtocol&, uint8_t, uint8_t, const unsigned char*, int) override {
    return true;
  }
};

struct System {
  std::shared_ptr<QMXController> host = std::make_shared<QMXController>(std::make_shared<NullServices>());
  std::shared_ptr<K417T> ctrl = std::make_shared<K417T>();
  std::vector<std::vector<unsigned char>> frames;  // decoded answers, in step order

  System(int inputs, int modules, int dcs) {
    Json::Value scen(Json::objectValue);
    Json::Value setting(Json::objectValue);
    for (int k = 0; k < inputs; ++k) scen["ac"][0]["inputs"][k]["a"] = 220.0 + k;
    setting["acSetting"][0]["data_id"] = 11;
    for (int k = 0; k < modules; ++k) scen["rectifier"]["modules"][k]["value"] = 40.0 + k;
    for (int k = 0; k < dcs; ++k) {
      scen["dc"][k]["v"] = 53.5;
      setting["dcSetting"][k]["data_id"] = 21 + k;
    }
    setting["rcSetting"] = Json::Value(Json::objectValue);
    std::string err;
    auto sim = k417t::sim::Simulator::Create(scen, &err);
    if (!sim) {
      std::fprintf(stderr, "scenario: %s\n", err.c_str());
      std::abort();
    }
    ctrl->Init(host, 100);
    ctrl->InitSetting(setting);
    ctrl->check_model = 0;
    const std::pair<uint8_t, uint8_t> order[] = {{0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44},
                                                 {0x41, 0x41}, {0x41, 0x43}, {0x41, 0x44},
                                                 {0x42, 0x41}, {0x42, 0x44}, {0x40, 0x46},
                                                 {0x42, 0x46}};
    for (const auto& req : order) {
      const auto info = sim->InfoFor(req.first, req.second);
      std::vector<unsigned char> f{0x21, 0x01, req.first, 0x00,
                                   static_cast<unsigned char>((info.size() * 2) & 0xFF),
                                   static_cast<unsigned char>((info.size() * 2) >> 8)};
      f.insert(f.end(), info.begin(), info.end());
      frames.push_back(std::move(f));
    }
  }

  // Answers steps 0..9 in order; `with_end` includes the last answer, which
  // ends the round (images, alarm rows, jobs).
  int Round(bool with_end) {
    ctrl->data_valid = 0;
    ctrl->cmd_step = 0;
    int r = 0;
    const size_t n = with_end ? frames.size() : frames.size() - 1;
    for (size_t i = 0; i < n; ++i) {
      ctrl->recv_frame = frames[i].data();
      r = ctrl->process_payload();
    }
    return r;
  }
};

void Bench(benchmark::State& state, int inputs, int modules, int dcs, bool with_end) {
  System sys(inputs, modules, dcs);
  sys.Round(true);  // learn counts, allocate images
  uint64_t allocs = 0, rounds = 0;
  for (auto _ : state) {
    const uint64_t before = g_allocs.load();
    benchmark::DoNotOptimize(sys.Round(with_end));
    allocs += g_allocs.load() - before;
    ++rounds;
  }
  state.counters["allocs_per_round"] = static_cast<double>(allocs) / static_cast<double>(rounds);
  state.counters["info_bytes"] = [&] {
    size_t b = 0;
    for (const auto& f : sys.frames) b += f.size() - 6;
    return static_cast<double>(b);
  }();
}

// A value read whose key carries n leading zeros in the input number: the key
// is scanned once, so the time grows linearly with its length.
void BenchLongKey(benchmark::State& state) {
  System sys(3, 12, 2);
  sys.Round(true);
  const std::string key = "channel_" + std::string(static_cast<size_t>(state.range(0)), '0') + "_a";
  for (auto _ : state) benchmark::DoNotOptimize(sys.ctrl->ac_devices[0]->Get_Value(0, key));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(key.size()));
}

}  // namespace

BENCHMARK(BenchLongKey)->Arg(1 << 10)->Arg(1 << 16)->Arg(1 << 20);
BENCHMARK_CAPTURE(Bench, parse_dispatch_3in_12mod_2dc, 3, 12, 2, false);
BENCHMARK_CAPTURE(Bench, full_round_3in_12mod_2dc, 3, 12, 2, true);
BENCHMARK_CAPTURE(Bench, parse_dispatch_3in_61mod_2dc, 3, 61, 2, false);
BENCHMARK_CAPTURE(Bench, full_round_3in_61mod_2dc, 3, 61, 2, true);
// The units trace to standard output; the report goes to the real one.
int main(int argc, char** argv) {
  std::ostream report(std::cout.rdbuf());
  std::ofstream quiet("/dev/null");
  std::cout.rdbuf(quiet.rdbuf());
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter reporter;
  reporter.SetOutputStream(&report);
  reporter.SetErrorStream(&report);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::cout.rdbuf(report.rdbuf());
  return 0;
}
