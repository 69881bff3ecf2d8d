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
  int64_t time = 0;         // the request's "time": when it was sent (epoch s); 0: none
  std::string correlation;  // MQTT 5 correlation data, echoed
  std::optional<unsigned char> command_byte() const {
    return byte >= 0 ? std::optional<unsigned char>(static_cast<unsigned char>(byte))
                     : std::nullopt;
  }
  // The id as the door remembers it: the string, or the integer written in
  // decimal; "" when the request has none.
  std::string request_id() const;
};

// Reads `payload` ({"code": 106, "byte": 3, "id": "r-42", "time": 1760000000})
// for `device`. False with the reason: not JSON, unknown members, a bad "id"
// or "time", either missing when `require_id`, control off for the device, a
// code or byte the control rules refuse, a code outside the allow-list. What
// could be read (code, byte, id, time) is in `out` even when refused, for the
// audit; the reason is safe for a log line (member names sent are data).
bool ParseControlRequest(const std::string& payload, const MqttDevice& device, ControlRequest& out,
                         std::string& reason, bool require_id = false);

// "<prefix>/<level>/control/set": the device's topic level; nullopt for any
// other topic.
std::optional<std::string> ControlTopicLevel(const std::string& prefix, const std::string& topic);

// What a message on a control topic comes to: a request for the door, or a
// refusal (with what could be read of the request, for the audit).
struct ControlVerdict {
  bool taken = false;
  ControlRequest request;
  std::string reason;  // why refused; safe for a log line
};

// A message the broker delivered on control topic `topic` for `device` (null:
// no device has the topic's level). A retained message is refused whatever it
// says: the broker would hand it over again at every connect and the command
// would run each time; the reason says how to clear the topic.
ControlVerdict ReadControlMessage(const std::string& topic, const std::string& payload,
                                  bool retained, const MqttDevice* device, bool require_id);

// An operator's action on an alarm or a device, taken from an `alarm/set`
// message: {"action", "alarm", "comment", "duration_s", "request_id", "time"}.
struct AlarmRequest {
  std::string action;  // acknowledge, shelve, unshelve, maintenance, maintenance_end
  std::string alarm;   // "DATAID_KEY_SEQ" ("" for maintenance)
  std::string comment;
  int64_t duration_s = 0;
  Json::Value id;           // the request's "request_id", echoed (null: none)
  int64_t time = 0;         // when it was sent (epoch s); 0: none
  std::string correlation;  // MQTT 5 correlation data, echoed
  std::string request_id() const;
};

// Reads an `alarm/set` payload for `device`. False with the reason (safe for
// a log line): not JSON, unknown members, a member of the wrong type or
// size, an unknown action, an alarm missing for an action on an alarm,
// "request_id" or "time" missing when `require_id`, or MQTT control off for
// the device (the operators' actions from the broker take the same
// allow-list as control: a device with no control codes takes none). What
// could be read is in `out` even when refused, for the audit.
bool ParseAlarmRequest(const std::string& payload, const MqttDevice& device, AlarmRequest& out,
                       std::string& reason, bool require_id = false);

// "<prefix>/<level>/alarm/set": the device's topic level; nullopt otherwise.
std::optional<std::string> AlarmTopicLevel(const std::string& prefix, const std::string& topic);

struct AlarmVerdict {
  bool taken = false;
  AlarmRequest request;
  std::string reason;
};
// As ReadControlMessage, for an `alarm/set` message: retained messages and
// topics of no device are refused the same way.
AlarmVerdict ReadAlarmMessage(const std::string& topic, const std::string& payload, bool retained,
                              const MqttDevice* device, bool require_id);

// {"action", "alarm"?, "request_id"?, "result": "done"|"refused", "reason"?,
//  "time", "left_out"?} on `alarm/result`.
std::string AlarmResultPayload(const AlarmRequest& r, bool ok, const std::string& reason,
                               uint64_t left_out, int64_t time);

// {"code", "byte"?, "id"?, "result", "reason"?, "time", "left_out"?}.
std::string ControlResultPayload(const ControlRequest& r, const ControlResult& result,
                                 uint64_t left_out, int64_t time);
// After a flood: how many results were left out.
std::string LeftOutPayload(uint64_t left_out, int64_t time);

}  // namespace qmx::exporter
