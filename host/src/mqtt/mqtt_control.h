#pragma once

// Control requests from the broker (`<prefix>/<device>/control/set`) and the
// results the export answers with on `control/result`.
#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>

#include "mqtt/mqtt_config.h"
#include "view/site_view.h"

namespace qmx::exporter {

// A control request taken from a `control/set` message.
struct ControlRequest {
  int code = 0;
  int byte = -1;            // none
  Json::Value id;           // the request's "id", echoed (null: none)
  std::string correlation;  // MQTT 5 correlation data, echoed
  std::optional<unsigned char> command_byte() const {
    return byte >= 0 ? std::optional<unsigned char>(static_cast<unsigned char>(byte))
                     : std::nullopt;
  }
};

// Reads `payload` ({"code": 106, "byte": 3, "id": "any"}) for `device`. False
// with the reason: not JSON, unknown members, control off for the device, a
// code or byte the control rules refuse, a code outside the allow-list.
bool ParseControlRequest(const std::string& payload, const MqttDevice& device, ControlRequest& out,
                         std::string& reason);

// {"code", "byte"?, "id"?, "result", "reason"?, "time", "left_out"?}.
std::string ControlResultPayload(const ControlRequest& r, const ControlResult& result,
                                 uint64_t left_out, int64_t time);
// After a flood: how many results were left out.
std::string LeftOutPayload(uint64_t left_out, int64_t time);

}  // namespace qmx::exporter
