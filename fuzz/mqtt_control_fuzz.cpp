// MQTT control messages as the broker hands them over: the topic (its device
// level), the payload and the retain flag, read into a request for the door
// or a refusal, and the result payload made from it. Input: one flag byte
// (bit 0 retained, bit 1 require_request_id, bit 2 the device's control is
// off), the topic up to the first newline, then the payload.
//
// Beyond "no crash": a refusal's reason carries no raw control character (it
// goes into the audit line and the log), the result payload none unescaped,
// and nothing retained, for an
// unknown device or outside the allow-list is ever taken.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mqtt/mqtt_control.h"
#include "units/common/safe_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t nl = rest.find('\n');
  const std::string topic =
      nl == std::string::npos ? "k417t/power-1/control/set" : rest.substr(0, nl);
  const std::string payload = nl == std::string::npos ? rest : rest.substr(nl + 1);
  const bool retained = (flags & 1) != 0;
  const bool require_id = (flags & 2) != 0;

  qmx::exporter::MqttDevice device;
  device.id = 100;
  device.name = device.topic = "power-1";
  if ((flags & 4) == 0) device.control = {100, 106, 110};

  const auto level = qmx::exporter::ControlTopicLevel("k417t", topic);
  if (!level) return 0;
  const qmx::exporter::MqttDevice* d = *level == device.topic ? &device : nullptr;
  const qmx::exporter::ControlVerdict v =
      qmx::exporter::ReadControlMessage(topic, payload, retained, d, require_id);
  if (v.taken) {
    if (retained || d == nullptr || device.control.count(v.request.code) == 0) std::abort();
    if (require_id && (v.request.request_id().empty() || v.request.time == 0)) std::abort();
  } else if (v.reason.empty() || !k417t_text::IsSafe(v.reason)) {
    std::abort();
  }
  const std::string result = qmx::exporter::ControlResultPayload(
      v.request, qmx::ControlResult{v.taken ? 0 : -1, v.reason}, 0, 1760000000);
  // JSON: control characters escaped (DEL may stay, as JSON allows).
  if (result.empty()) std::abort();
  for (const char c : result)
    if (static_cast<unsigned char>(c) < 0x20) std::abort();
  return 0;
}
