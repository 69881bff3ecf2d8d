// Simulator scenarios: the checked JSON reading, the scenario and timeline
// checks, then one request of every kind so each answer is built from what
// was accepted.
#include <json/value.h>

#include <cstdint>
#include <string>

#include "input/checked_json.h"
#include "sim/simulator.h"
#include "wire/frame_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Json::Value root;
  std::string error;
  if (!qmx::json::Parse(std::string(reinterpret_cast<const char*>(data), size), "scenario", root,
                        error)) {
    return 0;
  }
  auto sim = k417t::sim::Simulator::Create(root, &error, [](const std::string&) {});
  if (!sim) return 0;
  static const uint8_t kRequests[][2] = {{0x40, 0x51}, {0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44},
                                         {0x41, 0x41}, {0x41, 0x43}, {0x41, 0x44}, {0x42, 0x41},
                                         {0x42, 0x44}, {0x40, 0x46}, {0x42, 0x46}, {0x41, 0x45}};
  const uint8_t group = 0xFF;
  for (int round = 0; round < 3; ++round) {
    for (const auto& r : kRequests) {
      const uint8_t command[2] = {0x20, 0x01};
      const auto frame =
          r[1] == 0x45 ? qmx::wire::encode_frame(sim->scenario().ver, sim->scenario().address, r[0], r[1], command, 2)
                       : qmx::wire::encode_frame(sim->scenario().ver, sim->scenario().address, r[0], r[1], &group, 1);
      sim->Feed(frame.data(), frame.size());
    }
  }
  return 0;
}
