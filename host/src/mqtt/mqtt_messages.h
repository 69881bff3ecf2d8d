#pragma once

// The export's messages as text: topics and the payloads of the unit states,
// the active alarms, alarm events and control results. Pure functions of what
// the view gives; the broker session sends what they make.
#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "input/checked_json.h"
#include "mqtt/mqtt_config.h"
#include "view/site_view.h"

namespace qmx::exporter {

// Epoch seconds now (the time of a control result).
int64_t EpochNow();

// "<prefix>/<device topic>/<leaf>".
std::string DeviceTopicOf(const MqttConfig& cfg, const std::string& device_topic,
                          const std::string& leaf);
// "<prefix>/gateway/<client id>/<leaf>".
std::string GatewayTopicOf(const MqttConfig& cfg, const std::string& leaf);
// The gateway's node in Home Assistant: "k417t_gateway_<client id>".
std::string GatewayNodeOf(const MqttConfig& cfg);
// A topic the export may publish on: not empty, no wildcard, no NUL.
bool SafePublishTopic(const std::string& topic);

// An alarm point's object id: "<data id>_<key>_<seq>", as a topic level.
std::string PointId(uint32_t data_id, const std::string& key, uint32_t seq);
// The communication alarm of a device (raised while it does not answer).
bool IsCommAlarm(const std::string& key);

// What tells a change of a unit's entities: its type and every field's key,
// label, unit, quantity, entity, precision and state words.
std::string UnitShape(const view::UnitValues& u);

// A unit's state message (retained on units/<data id>); `values` gets the
// values alone, to tell a change.
std::string UnitStatePayload(const std::string& device, uint64_t round, int64_t time,
                             const view::UnitValues& u, std::string* values);

// The active alarms: {"count", "severity" (the worst), "active": {id: point}}.
std::string AlarmsPayload(const std::vector<store::ActiveAlarm>& alarms, view::Severity worst);
// The active alarms with the board's word on each: every entry of "active"
// gains the board's members (view::AlarmStateJson: state, acknowledged,
// shelved, unknown, chattering, suppressed_by, attached, annunciated,
// name_en, place_en, ...); "listed" has every alarm the board lists for the
// device by id (cleared and unacknowledged ones too), "annunciated" counts
// those shown as needing the operators (a chattering one among them while it
// chatters; with no board listing anything, the active points),
// "unacknowledged" those of them not acknowledged (and the cleared ones not
// acknowledged), "maintenance" is null or {who, time, comment, until}.
// `steady` gets the payload without what a chattering point changes at each
// transition (whether and since when it is raised, the count and the worst
// severity of the raw points), to tell a change worth a new retained message.
std::string AlarmsPayload(const std::vector<store::ActiveAlarm>& alarms, view::Severity worst,
                          const std::vector<view::AlarmState>& states,
                          const std::optional<view::AlarmMark>& maintenance,
                          std::string* steady = nullptr);
// What discovery names an alarm point by: data_id, key, seq, name, text, and
// the readable name_en and place_en ("" when the label table has none).
Json::Value AlarmPointRecord(const store::ActiveAlarm& a, const std::string& name_en = {},
                             const std::string& place_en = {});

// An alarm event with its number: its row in the history (stable across
// restarts and repeats), or its number in this run without a history.
std::string EventPayload(const store::AlarmEvent& e, uint64_t id);
// A record stored while the broker was away (on <device>/history):
// UnitJson with "id" (its row in the history) and "device" (its name).
std::string HistoryPayload(const std::string& device, int64_t id, const view::UnitValues& u);

}  // namespace qmx::exporter
