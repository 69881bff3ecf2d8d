#include "mqtt/mqtt_discovery.h"

#include <fmt/format.h>

#include <utility>

#include "mqtt/mqtt_messages.h"

namespace qmx::exporter {
namespace {

// Home Assistant's device class of a measurement; none for plain values.
const char* DeviceClassOf(view::Quantity q) {
  switch (q) {
    case view::Quantity::kVoltage:
      return "voltage";
    case view::Quantity::kCurrent:
      return "current";
    case view::Quantity::kFrequency:
      return "frequency";
    case view::Quantity::kTemperature:
      return "temperature";
    case view::Quantity::kPower:
      return "power";
    default:
      return nullptr;
  }
}

// How an entity's name starts: the unit's kind and data identifier.
std::string UnitName(int type, unsigned int data_id) {
  const char* kind = type == view::kAcType          ? "AC"
                     : type == view::kRectifierType ? "Rectifiers"
                     : type == view::kDcType        ? "DC"
                                                    : "Unit";
  return fmt::format("{} {}", kind, data_id);
}

// A key goes into a template and a topic only when it is a plain name.
bool PlainKey(const std::string& key) {
  if (key.empty() || key.size() > 64) return false;
  for (char c : key)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  return true;
}

// A word goes into a template's list as a quoted literal only when nothing in
// it could end the literal or start an expression.
bool PlainWord(const std::string& w) {
  if (w.empty() || w.size() > 64) return false;
  for (char c : w)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
          c == ' ' || c == '-' || c == '.'))
      return false;
  return true;
}

// A value of the unit's state message. A null or missing value renders as
// "None", which Home Assistant shows as unknown, never as a reading.
// (`value_json.values` would be the dict's method: subscript it.)
std::string ValueTemplate(const std::string& key) {
  return fmt::format("{{{{ value_json['values'].get('{}') }}}}", key);
}

// A state as one of `words`, any other word (a code the controller sends
// outside them reads "state N") as kOtherStateWord; no value stays "None".
std::string EnumTemplate(const std::string& key, const std::vector<std::string>& words) {
  std::string list;
  for (const std::string& w : words) list += (list.empty() ? "'" : ", '") + w + "'";
  return fmt::format(
      "{{% set v = value_json['values'].get('{}') %}}"
      "{{{{ v if v is none or v in [{}] else '{}' }}}}",
      key, list, kOtherStateWord);
}

Json::Value Availability(const std::vector<std::string>& topics) {
  Json::Value list(Json::arrayValue);
  for (const std::string& t : topics) {
    Json::Value a(Json::objectValue);
    a["topic"] = t;
    list.append(a);
  }
  return list;
}

class Announcer {
 public:
  Announcer(const MqttConfig& cfg, const DiscoveryDevice& d) : cfg_(cfg), d_(d) {
    node_ = "k417t_" + d.topic;
    device_["identifiers"].append(node_);
    device_["name"] = d.name;
    // The controller's own model text once it answered the model query.
    device_["model"] = d.model.empty() ? "K417T" : d.model;
    if (!d.version.empty()) device_["sw_version"] = d.version;
    if (!cfg.configuration_url.empty()) device_["configuration_url"] = cfg.configuration_url;
    device_["via_device"] = GatewayNodeOf(cfg);
    gateway_only_ = Availability({GatewayTopicOf(cfg, "availability")});
    with_device_ = Availability({GatewayTopicOf(cfg, "availability"), Topic("availability")});
  }

  std::string Topic(const std::string& leaf) const { return DeviceTopicOf(cfg_, d_.topic, leaf); }

  // An entity available while the gateway and the device are.
  void Value(const std::string& component, const std::string& object, Json::Value config) {
    Add(component, object, std::move(config), with_device_);
  }
  // An entity available while the gateway is, whether the device answers or not.
  void Gateway(const std::string& component, const std::string& object, Json::Value config) {
    Add(component, object, std::move(config), gateway_only_);
  }

  std::vector<DiscoveryMessage> Take() { return std::move(out_); }

 private:
  void Add(const std::string& component, const std::string& object, Json::Value config,
           const Json::Value& availability) {
    config["unique_id"] = node_ + "_" + object;
    config["device"] = device_;
    config["availability"] = availability;
    config["availability_mode"] = "all";
    out_.push_back(
        {cfg_.discovery_prefix + "/" + component + "/" + node_ + "/" + object + "/config",
         json::CompactAscii(config)});
  }

  const MqttConfig& cfg_;
  const DiscoveryDevice& d_;
  std::string node_;
  Json::Value device_{Json::objectValue};
  Json::Value gateway_only_, with_device_;
  std::vector<DiscoveryMessage> out_;
};

// Every measurement is a sensor; a state is a sensor of its words or a
// problem; settings read from the controller are diagnostics.
void AnnounceField(Announcer& a, unsigned int id, const DiscoveryUnit& u, const view::Field& f) {
  Json::Value c(Json::objectValue);
  c["name"] = UnitName(u.type, id) + " " + f.label;
  c["state_topic"] = a.Topic("units/" + std::to_string(id));
  c["value_template"] = ValueTemplate(f.key);
  const std::string object = TopicName(fmt::format("u{}_{}", id, f.key));
  if (f.quantity == view::Quantity::kState) {
    if (f.entity == view::StateEntity::kEnum) {
      c["device_class"] = "enum";
      std::vector<std::string> words;
      for (const std::string& w : f.options)
        if (PlainWord(w) && w != kOtherStateWord) words.push_back(w);
      c["value_template"] = EnumTemplate(f.key, words);
      Json::Value options(Json::arrayValue);
      for (const std::string& w : words) options.append(w);
      options.append(kOtherStateWord);
      c["options"] = options;
      a.Value("sensor", object, c);
    } else if (f.entity == view::StateEntity::kProblem) {
      c["device_class"] = "problem";
      c["payload_on"] = "fault";
      c["payload_off"] = "normal";
      a.Value("binary_sensor", object, c);
    }
    return;
  }
  if (const char* dc = DeviceClassOf(f.quantity)) c["device_class"] = dc;
  if (!f.unit.empty()) c["unit_of_measurement"] = f.unit;
  c["state_class"] = "measurement";
  if (f.precision >= 0) c["suggested_display_precision"] = f.precision;
  if (f.diagnostic) c["entity_category"] = "diagnostic";
  a.Value("sensor", object, c);
}

// The line's counters (of the whole port when controllers share it).
void AnnounceLine(Announcer& a) {
  const std::pair<const char*, const char*> counters[] = {
      {"rounds", "Rounds"},     {"requests", "Requests"}, {"answers", "Answers"},
      {"timeouts", "Timeouts"}, {"late", "Late answers"}, {"dropped", "Dropped frames"}};
  for (const auto& [key, label] : counters) {
    Json::Value c(Json::objectValue);
    c["name"] = std::string("Line ") + label;
    c["state_topic"] = a.Topic("line");
    c["value_template"] = fmt::format("{{{{ value_json.get('{}') }}}}", key);
    c["state_class"] = "total_increasing";
    c["entity_category"] = "diagnostic";
    a.Value("sensor", std::string("line_") + key, c);
  }
}

// The energy and battery figures, from the device's battery state. The
// totals are what Home Assistant's energy dashboard takes: kWh sensors of
// device class energy that only grow (total_increasing); the Ah totals have
// no device class of their own. A figure the view has no value for renders
// "None" (unknown), never a number.
void AnnounceBattery(Announcer& a, bool battery) {
  struct Total {
    const char* object;
    const char* name;
    const char* key;
    bool kwh;
    bool battery;
  };
  static const Total totals[] = {
      {"load_energy", "DC load energy", "load_kwh", true, false},
      {"rectifier_energy", "Rectifier energy", "rectifier_kwh", true, false},
      {"battery_charge_energy", "Battery charge energy", "charge_kwh", true, true},
      {"battery_discharge_energy", "Battery discharge energy", "discharge_kwh", true, true},
      {"battery_charge_ah", "Battery charge", "charge_ah", false, true},
      {"battery_discharge_ah", "Battery discharge", "discharge_ah", false, true},
  };
  for (const Total& t : totals) {
    if (t.battery && !battery) continue;
    Json::Value c(Json::objectValue);
    c["name"] = t.name;
    c["state_topic"] = a.Topic("battery");
    c["value_template"] =
        fmt::format("{{{{ (value_json.get('total') or {{}}).get('{}') }}}}", t.key);
    if (t.kwh) c["device_class"] = "energy";
    c["unit_of_measurement"] = t.kwh ? "kWh" : "Ah";
    c["state_class"] = "total_increasing";
    c["suggested_display_precision"] = t.kwh ? 2 : 1;
    a.Gateway("sensor", t.object, c);
  }
  {
    Json::Value c(Json::objectValue);
    c["name"] = "DC load power";
    c["state_topic"] = a.Topic("battery");
    c["value_template"] = "{{ value_json.get('power_w') }}";
    c["device_class"] = "power";
    c["unit_of_measurement"] = "W";
    c["state_class"] = "measurement";
    c["suggested_display_precision"] = 0;
    a.Value("sensor", "load_power", c);
  }
  if (!battery) return;
  {
    Json::Value c(Json::objectValue);
    c["name"] = "Battery state of charge";
    c["state_topic"] = a.Topic("battery");
    c["value_template"] =
        "{% set s = value_json.get('soc') %}{{ (s * 100) | round(1) if s is number else None }}";
    c["device_class"] = "battery";
    c["unit_of_measurement"] = "%";
    c["state_class"] = "measurement";
    c["suggested_display_precision"] = 0;
    a.Value("sensor", "battery_soc", c);
  }
  {
    // An estimate, named as one; its band and the inputs it used are the
    // attributes.
    Json::Value c(Json::objectValue);
    c["name"] = "Battery autonomy estimate";
    c["state_topic"] = a.Topic("battery");
    c["value_template"] =
        "{% set e = value_json.get('autonomy') or {} %}{% set m = e.get('minutes') %}"
        "{{ m | round(1) if e.get('valid') and m is number else None }}";
    c["device_class"] = "duration";
    c["unit_of_measurement"] = "min";
    c["state_class"] = "measurement";
    c["suggested_display_precision"] = 0;
    c["json_attributes_topic"] = a.Topic("battery");
    c["json_attributes_template"] = "{{ (value_json.get('autonomy') or {}) | tojson }}";
    a.Value("sensor", "battery_autonomy", c);
  }
}

// An alarm's entity is on while the board shows it as needing the
// operators (annunciated, or chattering: on once, not flapping); a lost
// device's alarms are unknown ("None"), not standing truths. Before the board
// lists anything (no board behind the view) the active points are what is
// shown.
std::string AlarmOnTemplate(const std::string& id) {
  return "{% set l = value_json.get('listed') or {} %}{% set a = l.get('" + id +
         "') %}{% if a %}{{ 'ON' if a['annunciated'] or a['state'] == 'chattering' else "
         "('None' if a['unknown'] else 'OFF') }}{% else %}{{ 'ON' if '" +
         id + "' in value_json['active'] and not l else 'OFF' }}{% endif %}";
}

// Severity, code, text and since of the point while it is listed, with the
// board's state, acknowledgement, shelving and the readable name and place.
std::string AlarmAttributesTemplate(const std::string& id) {
  return "{% set a = (value_json.get('listed') or {}).get('" + id +
         "') or value_json['active'].get('" + id +
         "', {}) %}{{ ({'severity': a.get('severity'), 'code': a.get('code'), 'text': "
         "a.get('text'), 'since': a.get('since'), 'state': a.get('state'), 'acknowledged': "
         "a.get('acknowledged'), 'shelved': a.get('shelved'), 'name_en': a.get('name_en'), "
         "'place_en': a.get('place_en')} if a else {}) | tojson }}";
}

void AnnounceAlarms(Announcer& a, const DiscoveryDevice& d) {
  {
    Json::Value c(Json::objectValue);
    c["name"] = "alarm";
    c["state_topic"] = a.Topic("alarms");
    // Alarms shown as needing the operators (the active points where the
    // payload has no such count).
    c["value_template"] =
        "{{ 'ON' if value_json.get('annunciated', value_json['count']) > 0 else 'OFF' }}";
    c["device_class"] = "problem";
    c["json_attributes_topic"] = a.Topic("alarms");
    c["json_attributes_template"] =
        "{{ {'count': value_json['count'], 'severity': value_json.get('severity'), "
        "'annunciated': value_json.get('annunciated'), 'unacknowledged': "
        "value_json.get('unacknowledged')} | tojson }}";
    a.Gateway("binary_sensor", "alarm", c);
  }
  {
    // The device in maintenance: its alarms are out of service meanwhile.
    Json::Value c(Json::objectValue);
    c["name"] = "maintenance";
    c["state_topic"] = a.Topic("alarms");
    c["value_template"] = "{{ 'ON' if value_json.get('maintenance') else 'OFF' }}";
    c["json_attributes_topic"] = a.Topic("alarms");
    c["json_attributes_template"] = "{{ (value_json.get('maintenance') or {}) | tojson }}";
    c["icon"] = "mdi:wrench";
    a.Gateway("binary_sensor", "maintenance", c);
  }
  for (const auto& [id, point] : d.alarm_points) {
    // Ids come from PointId: letters, digits, '-', '_' and '.' only, safe
    // inside a quoted template literal.
    Json::Value c(Json::objectValue);
    const std::string name_en = point["name_en"].asString();
    const std::string place_en = point["place_en"].asString();
    if (!name_en.empty())
      c["name"] = name_en + (place_en.empty() ? "" : ", " + place_en) + " (" + id + ")";
    else
      c["name"] = point["name"].asString() + " " + point["text"].asString() + " (" + id + ")";
    c["state_topic"] = a.Topic("alarms");
    c["value_template"] = AlarmOnTemplate(id);
    c["device_class"] = "problem";
    c["json_attributes_topic"] = a.Topic("alarms");
    c["json_attributes_template"] = AlarmAttributesTemplate(id);
    if (IsCommAlarm(point["key"].asString()))
      a.Gateway("binary_sensor", "alarm_" + id, c);
    else
      a.Value("binary_sensor", "alarm_" + id, c);
  }
}

}  // namespace

std::vector<DiscoveryMessage> DeviceDiscovery(const MqttConfig& cfg, const DiscoveryDevice& d) {
  Announcer a(cfg, d);
  for (const auto& [id, u] : d.units)
    for (const view::Field& f : u.fields)
      if (PlainKey(f.key)) AnnounceField(a, id, u, f);
  AnnounceLine(a);
  AnnounceBattery(a, d.battery);
  AnnounceAlarms(a, d);
  return a.Take();
}

DiscoveryMessage GatewayDiscovery(const MqttConfig& cfg) {
  const std::string node = GatewayNodeOf(cfg);
  const std::string id = cfg.client_id.empty() ? DefaultClientId() : cfg.client_id;
  Json::Value device(Json::objectValue);
  device["identifiers"].append(node);
  device["name"] = "k417t gateway " + id;
  if (!cfg.configuration_url.empty()) device["configuration_url"] = cfg.configuration_url;
  Json::Value c(Json::objectValue);
  c["name"] = "Connection";
  c["unique_id"] = node + "_connectivity";
  c["state_topic"] = GatewayTopicOf(cfg, "availability");
  c["payload_on"] = "online";
  c["payload_off"] = "offline";
  c["device_class"] = "connectivity";
  c["entity_category"] = "diagnostic";
  c["device"] = device;
  return {cfg.discovery_prefix + "/binary_sensor/" + node + "/connectivity/config",
          json::CompactAscii(c)};
}

}  // namespace qmx::exporter
