#include "mqtt/mqtt_messages.h"

#include <fmt/format.h>
#include <json/json.h>

#include <chrono>

namespace qmx::exporter {

int64_t EpochNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string DeviceTopicOf(const MqttConfig& cfg, const std::string& device_topic,
                          const std::string& leaf) {
  return cfg.prefix + "/" + device_topic + "/" + leaf;
}

namespace {
std::string ClientId(const MqttConfig& cfg) {
  return cfg.client_id.empty() ? DefaultClientId() : cfg.client_id;
}
}  // namespace

std::string GatewayTopicOf(const MqttConfig& cfg, const std::string& leaf) {
  return cfg.prefix + "/gateway/" + TopicName(ClientId(cfg)) + "/" + leaf;
}

std::string GatewayNodeOf(const MqttConfig& cfg) {
  return "k417t_gateway_" + TopicName(ClientId(cfg));
}

bool SafePublishTopic(const std::string& t) {
  return !t.empty() && t.size() < 1024 &&
         t.find_first_of(std::string("+#\0", 3)) == std::string::npos;
}

std::string PointId(uint32_t data_id, const std::string& key, uint32_t seq) {
  return TopicName(fmt::format("{}_{}_{}", data_id, key, seq));
}

bool IsCommAlarm(const std::string& key) { return key == kCommAlarmKey; }

std::string UnitShape(const view::UnitValues& u) {
  std::string shape = std::to_string(u.type);
  for (const view::Value& v : u.values) {
    const view::Field& f = v.field;
    shape +=
        fmt::format("|{}/{}/{}/{}/{}/{}/{}", f.key, f.label, f.unit, static_cast<int>(f.quantity),
                    static_cast<int>(f.entity), f.diagnostic, f.precision);
    for (const std::string& w : f.options) shape += "," + w;
  }
  return shape;
}

std::string UnitStatePayload(const std::string& device, uint64_t round, int64_t time,
                             const view::UnitValues& u, std::string* values) {
  const Json::Value v = view::ValuesJson(u);
  if (values != nullptr) *values = json::CompactAscii(v);
  Json::Value state(Json::objectValue);
  state["device"] = device;
  state["data_id"] = u.data_id;
  state["type"] = view::DeviceTypeOf(u.type);
  state["round"] = static_cast<Json::UInt64>(round);
  state["time"] = static_cast<Json::Int64>(time);
  state["record_time"] = u.time > 0 ? Json::Value(static_cast<Json::Int64>(u.time)) : Json::Value();
  state["values"] = v;
  if (!u.error.empty()) state["error"] = u.error;
  return json::CompactAscii(state);
}

std::string AlarmsPayload(const std::vector<store::ActiveAlarm>& alarms, view::Severity worst) {
  Json::Value active(Json::objectValue);
  for (const store::ActiveAlarm& a : alarms)
    active[PointId(a.data_id, a.key, a.seq)] = view::AlarmPointJson(a);
  Json::Value v(Json::objectValue);
  v["count"] = static_cast<Json::UInt>(alarms.size());
  v["severity"] = view::SeverityWord(worst);
  v["active"] = active;
  return json::CompactAscii(v);
}

Json::Value AlarmPointRecord(const store::ActiveAlarm& a) {
  Json::Value point(Json::objectValue);
  point["data_id"] = a.data_id;
  point["key"] = a.key;
  point["seq"] = a.seq;
  point["name"] = a.name;
  point["text"] = a.text;
  return point;
}

std::string EventPayload(const store::AlarmEvent& e, uint64_t id) {
  Json::Value v = view::AlarmEventJson(e);
  v["id"] = static_cast<Json::UInt64>(id);
  return json::CompactAscii(v);
}

std::string HistoryPayload(const std::string& device, int64_t id, const view::UnitValues& u) {
  Json::Value v = view::UnitJson(u);
  v["id"] = static_cast<Json::Int64>(id);
  v["device"] = device;
  return json::CompactAscii(v);
}

}  // namespace qmx::exporter
