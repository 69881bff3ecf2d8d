#include "mqtt/mqtt_messages.h"

#include <fmt/format.h>
#include <json/json.h>

#include <chrono>
#include <set>

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

std::string AlarmsPayload(const std::vector<store::ActiveAlarm>& alarms, view::Severity worst,
                          const std::vector<view::AlarmState>& states,
                          const std::optional<view::AlarmMark>& maintenance, std::string* steady) {
  Json::Value listed(Json::objectValue);
  std::set<std::string> chattering;
  Json::UInt shown = 0, unacknowledged = 0;
  for (const view::AlarmState& a : states) {
    const std::string id = PointId(a.point.data_id, a.point.key, a.point.seq);
    listed[id] = view::AlarmStateJson(a);
    // Shown as needing the operators: annunciated, or chattering (shown once
    // while it chatters, whether raised or cleared at this moment).
    const bool on = a.annunciated || a.state == "chattering";
    shown += on;
    unacknowledged += !a.ack && (on || a.state == "cleared_unacknowledged");
    if (a.chattering) chattering.insert(id);
  }
  Json::Value active(Json::objectValue);
  for (const store::ActiveAlarm& a : alarms) {
    const std::string id = PointId(a.data_id, a.key, a.seq);
    Json::Value entry = view::AlarmPointJson(a);
    if (listed.isMember(id))
      for (const std::string& k : listed[id].getMemberNames())
        if (!entry.isMember(k)) entry[k] = listed[id][k];
    active[id] = std::move(entry);
  }
  Json::Value v(Json::objectValue);
  v["count"] = static_cast<Json::UInt>(alarms.size());
  v["severity"] = view::SeverityWord(worst);
  v["active"] = active;
  v["listed"] = listed;
  v["annunciated"] = states.empty() ? static_cast<Json::UInt>(alarms.size()) : shown;
  v["unacknowledged"] = unacknowledged;
  Json::Value m;
  if (maintenance) {
    m = Json::Value(Json::objectValue);
    m["who"] = maintenance->who;
    m["time"] = static_cast<Json::Int64>(maintenance->time);
    m["comment"] = maintenance->comment;
    m["until"] = static_cast<Json::Int64>(maintenance->until);
  }
  v["maintenance"] = m;
  if (steady != nullptr) {
    Json::Value s = v;
    s.removeMember("count");
    s.removeMember("severity");
    for (const std::string& id : chattering) {
      s["active"].removeMember(id);
      for (const char* k : {"active", "cleared", "since", "annunciated"})
        s["listed"][id].removeMember(k);
    }
    // Without chattering points the raw ones are steady: their count and
    // severity show in "active".
    *steady = json::CompactAscii(s);
  }
  return json::CompactAscii(v);
}

Json::Value AlarmPointRecord(const store::ActiveAlarm& a, const std::string& name_en,
                             const std::string& place_en) {
  Json::Value point(Json::objectValue);
  point["data_id"] = a.data_id;
  point["key"] = a.key;
  point["seq"] = a.seq;
  point["name"] = a.name;
  point["text"] = a.text;
  point["name_en"] = name_en;
  point["place_en"] = place_en;
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
