#pragma once

// The power system's end of an in-memory line: simulated K417T controllers,
// one per address, answering what the host sends. Answer() does it once, on
// the test's thread; PowerSystemThread keeps doing it on a thread of its own.
#include <json/json.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulator.h"
#include "wire/memory_transport.h"

namespace k417t_test {

// One AC screen, three rectifier modules, two DC units; control commands
// answer with return code 0 (see SmallSetting).
inline Json::Value SmallScenario(int address = 1) {
  Json::Value scen;
  Json::CharReaderBuilder b;
  std::string err;
  std::istringstream text(R"({
    "ac": [ { "inputs": [ { "a": 230 } ] } ],
    "rectifier": { "modules": [ { "value": 40 }, { "value": 39 }, { "value": 0 } ] },
    "dc": [ { "v": 53.5 }, { "v": 53.4 } ] })");
  Json::parseFromStream(b, text, &scen, &err);
  scen["address"] = address;
  return scen;
}

// The controller setting that matches SmallScenario; units numbered from `id`.
inline Json::Value SmallSetting(int address, int timeout_ms, unsigned id) {
  Json::Value s(Json::objectValue);
  s["address"] = address;
  s["timeout_ms"] = timeout_ms;
  s["acSetting"][0]["data_id"] = id + 1;
  s["dcSetting"][0]["data_id"] = id + 2;
  s["dcSetting"][1]["data_id"] = id + 3;
  s["rcSetting"] = Json::Value(Json::objectValue);
  return s;
}

struct PowerSystem {
  std::unique_ptr<qmx::wire::MemoryTransport> end;
  std::vector<std::unique_ptr<k417t::sim::Simulator>> controllers;
  bool echo = false;    // an adapter that sends every request back
  bool silent = false;  // nobody answers

  PowerSystem(std::unique_ptr<qmx::wire::MemoryTransport> e, std::vector<int> addresses)
      : end(std::move(e)) {
    for (int a : addresses) {
      std::string err;
      controllers.push_back(k417t::sim::Simulator::Create(SmallScenario(a), &err));
    }
  }

  std::string Read() {
    std::string got;
    uint8_t buf[512];
    for (long n; (n = end->read(buf, sizeof buf, 0)) > 0;) got.append(buf, buf + n);
    return got;
  }

  // Reads what the host sent and answers it; returns what was read.
  std::string Answer() {
    const std::string got = Read();
    if (got.empty()) return got;
    const auto* bytes = reinterpret_cast<const uint8_t*>(got.data());
    if (echo) end->write(bytes, got.size());
    if (silent) return got;
    for (auto& c : controllers)
      for (const auto& out : c->Feed(bytes, got.size()))
        end->write(out.bytes.data(), out.bytes.size());
    return got;
  }
};

class PowerSystemThread {
 public:
  explicit PowerSystemThread(PowerSystem system) : system_(std::move(system)) {
    thread_ = std::thread([this] {
      uint8_t buf[512];
      while (!stop_) {
        const long n = system_.end->read(buf, sizeof buf, 5);
        if (n <= 0 || silent_) continue;
        for (auto& c : system_.controllers)
          for (const auto& out : c->Feed(buf, static_cast<size_t>(n)))
            system_.end->write(out.bytes.data(), out.bytes.size());
      }
    });
  }
  // A controller unplugged (true) and plugged in again (false).
  void SetSilent(bool silent) { silent_ = silent; }
  ~PowerSystemThread() {
    stop_ = true;
    thread_.join();
  }

 private:
  PowerSystem system_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> silent_{false};
  std::thread thread_;
};

}  // namespace k417t_test
