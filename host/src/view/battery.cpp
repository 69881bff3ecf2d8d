#include "view/battery.h"

namespace qmx::view {

// Skeleton: the engine's figures follow in the next commits.
struct BatteryEngine::Impl {};

bool ParseBatterySettings(const Json::Value& v, const std::vector<unsigned int>& dc_units,
                          BatterySettings* out, std::string* error) {
  (void)v;
  (void)dc_units;
  (void)out;
  (void)error;
  return true;
}

BatteryEngine::BatteryEngine(unsigned int device, BatterySettings settings)
    : device_(device), settings_(std::move(settings)), impl_(std::make_shared<Impl>()) {}

void BatteryEngine::Restore(const BatteryMemory& memory) { counters_ = memory.counters; }
BatteryMemory BatteryEngine::Memory() const {
  BatteryMemory m;
  m.counters = counters_;
  return m;
}
BatteryEngine::Step BatteryEngine::Round(const RoundInputs& in) {
  (void)in;
  return {};
}
std::string BatteryEngine::StartTest(int64_t now_ms, const std::string& who, Step::Command* start) {
  (void)now_ms;
  (void)who;
  (void)start;
  return "battery tests are not allowed on this device";
}
bool BatteryEngine::AbortTest(int64_t now_ms, const std::string& reason, Step::Command* stop) {
  (void)now_ms;
  (void)reason;
  (void)stop;
  return false;
}
EnergyCounters BatteryEngine::Today() const { return {}; }
EnergyCounters BatteryEngine::ThisMonth() const { return {}; }
std::optional<double> BatteryEngine::PowerW() const { return std::nullopt; }
AutonomyEstimate BatteryEngine::Autonomy() const { return {}; }
std::optional<DischargeRecord> BatteryEngine::Discharging() const { return std::nullopt; }
BatteryTestState BatteryEngine::Test() const { return {}; }

Json::Value CountersJson(const EnergyCounters& c) {
  (void)c;
  return Json::objectValue;
}
Json::Value DischargeJson(const DischargeRecord& r) {
  (void)r;
  return Json::objectValue;
}
Json::Value AutonomyJson(const AutonomyEstimate& a) {
  (void)a;
  return Json::objectValue;
}
Json::Value BatteryMemoryJson(const BatteryMemory& m) {
  (void)m;
  return Json::objectValue;
}
bool ParseBatteryMemory(const Json::Value& v, BatteryMemory* out) {
  (void)v;
  (void)out;
  return false;
}

}  // namespace qmx::view
