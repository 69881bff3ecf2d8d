// Home Assistant discovery as Home Assistant reads it: every config's
// availability topics and value template evaluated against what the export
// publishes (templates rendered by Jinja2, the engine Home Assistant uses).
#include "mqtt/mqtt_discovery.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "input/checked_json.h"
#include "mqtt/mqtt_export.h"
#include "support/mqtt_broker.h"

namespace {

using namespace qmx;
using namespace qmx::exporter;
using k417t_test::Message;

Json::Value Parse(const std::string& text) {
  Json::Value v;
  std::string errors;
  std::istringstream in(text);
  Json::parseFromStream(Json::CharReaderBuilder(), in, &v, &errors);
  return v;
}

std::string TempDir() {
  std::string dir = (std::filesystem::temp_directory_path() / "k417t-mqtt-XXXXXX").string();
  return mkdtemp(dir.data()) != nullptr ? dir : std::string();
}

// Renders a Home Assistant value template for a state payload with Jinja2
// (value_json is the payload parsed). "<error: ...>" when it does not render.
std::string Render(const std::string& dir, const std::string& tmpl, const std::string& payload) {
  std::ofstream(dir + "/template") << tmpl;
  std::ofstream(dir + "/payload") << payload;
  const std::string cmd =
      "python3 -c \"import jinja2, json, sys\n"
      "t = jinja2.Environment().from_string(open(sys.argv[1]).read())\n"
      "sys.stdout.write(t.render(value_json=json.load(open(sys.argv[2]))))\" " +
      dir + "/template " + dir + "/payload 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return "<error: popen>";
  std::string out;
  char buf[256];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  return pclose(p) == 0 ? out : "<error: " + out + ">";
}

std::string LastPayload(const std::vector<Message>& ms, const std::string& topic) {
  std::string last;
  for (const Message& m : ms)
    if (m.topic == topic) last = m.payload;
  return last;
}

size_t Count(const std::vector<Message>& ms, const std::string& topic) {
  size_t n = 0;
  for (const Message& m : ms) n += m.topic == topic;
  return n;
}

// A DC unit's 238-byte image with its output voltage.
view::UnitValues DcUnit(unsigned int data_id, float volts) {
  std::vector<unsigned char> image(238, 0);
  const float i = 12.5f;
  std::memcpy(image.data() + 4, &volts, 4);
  std::memcpy(image.data() + 8, &i, 4);
  return view::ReadUnit(data_id, view::kDcType, image);
}

// The device as the view shows it, changed by the test while the export runs.
struct FakeSite {
  std::mutex mu;
  view::DeviceView device;
  std::optional<view::DeviceView> Get() {
    std::lock_guard<std::mutex> lock(mu);
    return device;
  }
};

}  // namespace

// A controller that stops answering: the export marks its value entities
// unavailable and sends no reading of it as live, while its communication
// alarm (and the device's alarm) stays available and shows on.
TEST(MqttHomeAssistant, LostDeviceShowsItsCommAlarmOnAndNoLiveValues) {
  const std::string dir = TempDir();
  ASSERT_FALSE(dir.empty());
  k417t_test::Broker broker(dir);
  ASSERT_TRUE(broker.Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";

  MqttConfig cfg;
  cfg.host = "127.0.0.1";
  cfg.port = broker.port();
  cfg.client_id = "ha";
  cfg.check_every_ms = 10;
  cfg.refresh_s = 1;
  MqttDevice dev;
  dev.id = 100;
  dev.name = "power-1";
  dev.topic = "power-1";
  cfg.devices.push_back(dev);

  FakeSite site;
  site.device.id = 100;
  site.device.name = "power-1";
  site.device.answering = true;
  site.device.rounds = 1;
  MqttSource source;
  source.device = [&site](unsigned) { return site.Get(); };
  source.control = [](const view::ControlAttempt&) { return ControlResult{}; };

  k417t_test::Observer obs(broker.port());
  ASSERT_TRUE(obs.Ready(10));
  MqttExport exporter(cfg, source, nullptr);
  exporter.Start();
  view::RoundView round;
  round.report.device_id = 100;
  round.report.round = 1;
  round.report.time = 1700000000;
  round.units.push_back(DcUnit(21, 53.63305f));
  exporter.OnRound(round);
  const std::string volts = "homeassistant/sensor/k417t_power-1/u21_v/config";
  ASSERT_TRUE(obs.WaitTopic(volts, "", 10));
  ASSERT_TRUE(obs.WaitTopic("k417t/power-1/availability", "online", 10));

  // The controller is lost: the host raised its communication alarm.
  store::ActiveAlarm comm;
  comm.data_id = 100;
  comm.key = "comm";
  comm.code = "comm";
  comm.level = 1;
  comm.name = "comm lost";
  comm.text = "3 answers missed";
  comm.since = 1700000010;
  {
    std::lock_guard<std::mutex> lock(site.mu);
    site.device.answering = false;
    site.device.stale = true;
    site.device.alarms = {comm};
    site.device.worst = view::Severity::kCritical;
  }
  LinkReport link;
  link.device_id = 100;
  link.answering = false;
  exporter.OnLink(link);
  const std::string comm_config =
      "homeassistant/binary_sensor/k417t_power-1/alarm_100_comm_0/config";
  ASSERT_TRUE(obs.WaitTopic(comm_config, "", 10));
  ASSERT_TRUE(obs.WaitTopic("k417t/power-1/availability", "offline", 10));
  const size_t states_when_lost = Count(obs.All(), "k417t/power-1/units/21");
  // Longer than the refresh: a live device's state would have gone out again.
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  exporter.Stop();  // the final flush sends what is pending, then offline
  const std::vector<Message> ms = obs.All();
  EXPECT_EQ(states_when_lost, Count(ms, "k417t/power-1/units/21"))
      << "a lost device's last values are not sent again as a reading";

  // Before the stop (the stop marks the gateway offline): what Home
  // Assistant read while the device was lost and the gateway running.
  std::vector<Message> running;
  for (const Message& m : ms) {
    if (m.topic == "k417t/gateway/ha/availability" && m.payload == "offline") break;
    running.push_back(m);
  }
  const std::string alarms = LastPayload(running, "k417t/power-1/alarms");
  for (const std::string object : {"alarm_100_comm_0", "alarm"}) {
    const Json::Value c = Parse(
        LastPayload(running, "homeassistant/binary_sensor/k417t_power-1/" + object + "/config"));
    ASSERT_TRUE(c.isObject()) << object;
    ASSERT_TRUE(c["availability"].isArray()) << object;
    for (const Json::Value& a : c["availability"])
      EXPECT_EQ("online", LastPayload(running, a["topic"].asString()))
          << object << " is unavailable through " << a["topic"];
    EXPECT_EQ("ON", Render(dir, c["value_template"].asString(), alarms))
        << object << ": " << alarms;
  }
  // The value entities of the lost device are unavailable (its device
  // availability among theirs).
  const Json::Value v = Parse(LastPayload(running, volts));
  bool offline = false;
  for (const Json::Value& a : v["availability"])
    offline |= LastPayload(running, a["topic"].asString()) == "offline";
  EXPECT_TRUE(offline) << v;
  // The reading is offered with the decimals worth showing.
  EXPECT_EQ(2, v["suggested_display_precision"].asInt()) << v;
  std::filesystem::remove_all(dir);
}

// Enum sensors name their words, and every state the unit's message can
// carry renders to one of them (Home Assistant refuses any other); numbers
// carry their precision.
TEST(MqttHomeAssistant, EnumStatesRenderToTheirOptionsAndReadingsStatePrecision) {
  const std::string dir = TempDir();
  ASSERT_FALSE(dir.empty());
  MqttConfig cfg;
  cfg.client_id = "ha";
  DiscoveryDevice d;
  d.name = "power-1";
  d.topic = "power-1";
  const view::UnitValues u = DcUnit(21, 53.5f);
  DiscoveryUnit du;
  du.type = u.type;
  for (const view::Value& v : u.values) du.fields.push_back(v.field);
  d.units[21] = du;
  const std::vector<DiscoveryMessage> configs = DeviceDiscovery(cfg, d);

  size_t enums = 0, measurements = 0;
  for (const view::Value& value : u.values) {
    const view::Field& f = value.field;
    Json::Value c;
    for (const DiscoveryMessage& m : configs)
      if (m.topic == "homeassistant/sensor/k417t_power-1/u21_" + f.key + "/config")
        c = Parse(m.payload);
    if (f.entity == view::StateEntity::kEnum) {
      ASSERT_TRUE(c.isObject()) << f.key;
      ++enums;
      EXPECT_EQ("enum", c["device_class"].asString());
      std::set<std::string> options;
      for (const Json::Value& o : c["options"]) options.insert(o.asString());
      for (const std::string& w : f.options) EXPECT_EQ(1u, options.count(w)) << f.key << " " << w;
      // Each word, a code outside them ("state 9"), and no value.
      std::vector<std::string> sent(f.options.begin(), f.options.end());
      sent.push_back("state 9");
      for (const std::string& w : sent) {
        Json::Value state(Json::objectValue);
        state["values"][f.key] = w;
        const std::string shown = Render(dir, c["value_template"].asString(),
                                         Json::writeString(Json::StreamWriterBuilder(), state));
        EXPECT_EQ(1u, options.count(shown)) << f.key << ": " << w << " shows as " << shown;
        if (std::find(f.options.begin(), f.options.end(), w) != f.options.end()) {
          EXPECT_EQ(w, shown);
        }
      }
      Json::Value none(Json::objectValue);
      none["values"][f.key] = Json::Value();
      EXPECT_EQ("None", Render(dir, c["value_template"].asString(),
                               Json::writeString(Json::StreamWriterBuilder(), none)))
          << f.key << ": no value is unknown";
    } else if (!value.is_state() && f.precision >= 0 && c.isObject()) {
      ++measurements;
      EXPECT_EQ(f.precision, c["suggested_display_precision"].asInt()) << f.key;
    }
  }
  EXPECT_GT(enums, 0u);
  EXPECT_GT(measurements, 0u);
  std::filesystem::remove_all(dir);
}

namespace {

// A device's battery state as BatteryJson shapes it.
std::string BatteryState(bool configured, bool valid) {
  Json::Value total(Json::objectValue);
  total["load_kwh"] = 1234.5678;
  total["rectifier_kwh"] = 1301.25;
  total["charge_ah"] = 40.5;
  total["discharge_ah"] = 38.25;
  total["charge_kwh"] = 2.25;
  total["discharge_kwh"] = 1.875;
  total["time"] = 1700000000;
  Json::Value b(Json::objectValue);
  b["configured"] = configured;
  b["total"] = total;
  b["today"] = total;
  b["month"] = total;
  b["power_w"] = valid ? Json::Value(2675.5) : Json::Value();
  b["soc"] = 0.625;
  Json::Value a(Json::objectValue);
  a["valid"] = valid;
  a["discharging"] = true;
  a["minutes"] = valid ? Json::Value(95.56) : Json::Value(0);
  a["low_min"] = 80;
  a["high_min"] = 110;
  a["basis"] = valid ? "charge+voltage" : "";
  a["why"] = valid ? "" : "no discharge current";
  b["autonomy"] = a;
  b["autonomy_low"] = false;
  b["discharging"] = Json::Value();
  b["last"] = Json::Value();
  return Json::writeString(Json::StreamWriterBuilder(), b);
}

Json::Value ConfigOf(const std::vector<DiscoveryMessage>& configs, const std::string& object) {
  for (const DiscoveryMessage& m : configs)
    if (m.topic == "homeassistant/sensor/k417t_power-1/" + object + "/config")
      return Parse(m.payload);
  return Json::Value();
}

}  // namespace

// The energy totals are what Home Assistant's energy dashboard accepts
// (device class energy, kWh, total_increasing); the Ah totals only grow;
// each entity reads its figure from the battery state, and a figure with no
// value is unknown. State of charge and autonomy only where the site names
// battery strings.
TEST(MqttHomeAssistant, EnergyEntitiesSuitTheEnergyDashboardAndReadTheBatteryState) {
  const std::string dir = TempDir();
  ASSERT_FALSE(dir.empty());
  MqttConfig cfg;
  cfg.client_id = "ha";
  DiscoveryDevice d;
  d.name = "power-1";
  d.topic = "power-1";
  d.battery = true;
  const std::vector<DiscoveryMessage> configs = DeviceDiscovery(cfg, d);
  const std::string state = BatteryState(true, true);
  const struct {
    const char* object;
    const char* device_class;  // "" none
    const char* unit;
    const char* state_class;
    const char* shown;  // rendered from `state`
  } want[] = {
      {"load_energy", "energy", "kWh", "total_increasing", "1234.5678"},
      {"rectifier_energy", "energy", "kWh", "total_increasing", "1301.25"},
      {"battery_charge_energy", "energy", "kWh", "total_increasing", "2.25"},
      {"battery_discharge_energy", "energy", "kWh", "total_increasing", "1.875"},
      {"battery_charge_ah", "", "Ah", "total_increasing", "40.5"},
      {"battery_discharge_ah", "", "Ah", "total_increasing", "38.25"},
      {"load_power", "power", "W", "measurement", "2675.5"},
      {"battery_soc", "battery", "%", "measurement", "62.5"},
      {"battery_autonomy", "duration", "min", "measurement", "95.6"},
  };
  for (const auto& w : want) {
    const Json::Value c = ConfigOf(configs, w.object);
    ASSERT_TRUE(c.isObject()) << w.object;
    EXPECT_EQ(w.device_class, c.get("device_class", "").asString()) << w.object;
    EXPECT_EQ(w.unit, c["unit_of_measurement"].asString()) << w.object;
    EXPECT_EQ(w.state_class, c["state_class"].asString()) << w.object;
    EXPECT_EQ("k417t/power-1/battery", c["state_topic"].asString()) << w.object;
    EXPECT_EQ(std::string("k417t_power-1_") + w.object, c["unique_id"].asString());
    EXPECT_EQ(w.shown, Render(dir, c["value_template"].asString(), state)) << w.object;
  }
  // No power (no bus voltage) and no estimate: unknown, not 0.
  const std::string none = BatteryState(true, false);
  for (const char* object : {"load_power", "battery_autonomy"})
    EXPECT_EQ("None", Render(dir, ConfigOf(configs, object)["value_template"].asString(), none))
        << object;
  // Before the view has any figure (an empty state): unknown too.
  EXPECT_EQ("None",
            Render(dir, ConfigOf(configs, "load_energy")["value_template"].asString(), "{}"));
  // The estimate's band and inputs go along as attributes.
  const Json::Value autonomy = ConfigOf(configs, "battery_autonomy");
  const Json::Value attrs =
      Parse(Render(dir, autonomy["json_attributes_template"].asString(), state));
  EXPECT_EQ(80, attrs["low_min"].asInt()) << attrs;
  EXPECT_EQ("charge+voltage", attrs["basis"].asString()) << attrs;
  // Totals stay available while the controller is lost (the gateway's
  // availability alone); the power follows the device.
  EXPECT_EQ(1u, ConfigOf(configs, "load_energy")["availability"].size());
  EXPECT_EQ(2u, ConfigOf(configs, "load_power")["availability"].size());

  // No battery strings: the device's energy and power, nothing of a battery.
  d.battery = false;
  const std::vector<DiscoveryMessage> plain = DeviceDiscovery(cfg, d);
  for (const char* object : {"load_energy", "rectifier_energy", "load_power"})
    EXPECT_TRUE(ConfigOf(plain, object).isObject()) << object;
  for (const char* object :
       {"battery_charge_energy", "battery_discharge_energy", "battery_charge_ah",
        "battery_discharge_ah", "battery_soc", "battery_autonomy"})
    EXPECT_TRUE(ConfigOf(plain, object).isNull()) << object;
  std::filesystem::remove_all(dir);
}

// The export publishes the view's battery state on <device>/battery and
// announces the battery's entities once the site names strings (a reload
// that adds them), removing them when it no longer does.
TEST(MqttHomeAssistant, BatteryStateIsPublishedAndItsEntitiesFollowTheSite) {
  const std::string dir = TempDir();
  ASSERT_FALSE(dir.empty());
  k417t_test::Broker broker(dir);
  ASSERT_TRUE(broker.Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  MqttConfig cfg;
  cfg.host = "127.0.0.1";
  cfg.port = broker.port();
  cfg.client_id = "ha";
  cfg.check_every_ms = 10;
  MqttDevice dev;
  dev.id = 100;
  dev.name = "power-1";
  dev.topic = "power-1";
  cfg.devices.push_back(dev);
  FakeSite site;
  site.device.id = 100;
  site.device.name = "power-1";
  site.device.answering = true;
  site.device.battery.total.load_kwh = 3.5;
  site.device.battery.power_w = 2600;
  MqttSource source;
  source.device = [&site](unsigned) { return site.Get(); };
  source.control = [](const view::ControlAttempt&) { return ControlResult{}; };
  k417t_test::Observer obs(broker.port());
  ASSERT_TRUE(obs.Ready(10));
  MqttExport exporter(cfg, source, nullptr);
  exporter.Start();
  view::RoundView round;
  round.report.device_id = 100;
  round.report.round = 1;
  round.report.time = 1700000000;
  round.units.push_back(DcUnit(21, 53.5f));
  exporter.OnRound(round);
  const std::string energy = "homeassistant/sensor/k417t_power-1/load_energy/config";
  const std::string soc = "homeassistant/sensor/k417t_power-1/battery_soc/config";
  ASSERT_TRUE(obs.WaitTopic(energy, "total_increasing", 10));
  ASSERT_TRUE(obs.WaitTopic("k417t/power-1/battery", "", 10));
  EXPECT_EQ(qmx::json::CompactAscii(view::BatteryJson(site.Get()->battery)),
            LastPayload(obs.All(), "k417t/power-1/battery"));
  EXPECT_EQ(0u, Count(obs.All(), soc));

  {
    std::lock_guard<std::mutex> lock(site.mu);
    site.device.battery.configured = true;
  }
  ASSERT_TRUE(obs.WaitTopic(soc, "\"device_class\":\"battery\"", 10));
  {
    std::lock_guard<std::mutex> lock(site.mu);
    site.device.battery.configured = false;
  }
  // Removed: its retained config emptied.
  ASSERT_TRUE(obs.WaitFor(
      [&soc](const std::vector<Message>& ms) {
        return !ms.empty() && LastPayload(ms, soc).empty() && Count(ms, soc) >= 2;
      },
      10));
  exporter.Stop();
  std::filesystem::remove_all(dir);
}
