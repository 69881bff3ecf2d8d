// The runner exporting to a real mosquitto broker started by the test:
// discovery, values, alarm raise and clear, control (allowed, refused, bad),
// device availability when the controller goes silent, the last will after
// SIGKILL, and a broker restart with no alarm event lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e_util.h"
#include "support/mqtt_broker.h"

namespace {

using k417t_test::Broker;
using k417t_test::Message;
using k417t_test::Observer;

using e2e::ParseText;
using e2e::ReadText;
using e2e::TempDir;
using e2e::Wait;

Json::Value ReadJsonFile(const std::string& path) { return ParseText(ReadText(path)); }

std::string Write(const std::string& path, const Json::Value& v) {
  std::ofstream(path) << Json::writeString(Json::StreamWriterBuilder(), v);
  return path;
}

// The example scenario with its alarm raised at round 2 and cleared at round 4.
Json::Value FastScenario() {
  Json::Value s = ReadJsonFile(std::string(K417T_EXAMPLES) + "/scenario.json");
  Json::Value changes(Json::arrayValue);
  changes.append(s["changes"][0]);
  changes[0]["after_rounds"] = 1;
  changes.append(s["changes"][2]);
  changes[1]["after_rounds"] = 3;
  s["changes"] = changes;
  return s;
}

Json::Value Site(const Json::Value& mqtt) {
  Json::Value site = ReadJsonFile(std::string(K417T_EXAMPLES) + "/site.json");
  site["devices"][0]["setting"]["timeout_ms"] = 300;
  if (!mqtt.isNull()) site["mqtt"] = mqtt;
  return site;
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& out) {
  return e2e::SpawnRunner(args, out);
}

std::vector<Json::Value> Payloads(const std::vector<Message>& ms, const std::string& topic) {
  std::vector<Json::Value> out;
  for (const Message& m : ms)
    if (m.topic == topic) out.push_back(ParseText(m.payload));
  return out;
}

std::string LastPayload(const std::vector<Message>& ms, const std::string& topic) {
  std::string last;
  for (const Message& m : ms)
    if (m.topic == topic) last = m.payload;
  return last;
}

bool HasEvent(const std::vector<Message>& ms, const std::string& key, const std::string& state) {
  for (const Json::Value& e : Payloads(ms, "k417t/power-1/events"))
    if (e["key"].asString() == key && e["state"].asString() == state) return true;
  return false;
}

std::vector<std::string> RunnerArgs(const TempDir& t, const std::string& site,
                                    const std::string& scen, const Broker& b) {
  return {"--site",           site,     "--simulate",  scen,     "--db",
          t.File("h.db"),     "--log",  t.File("log"), "--mqtt", b.url(),
          "--mqtt-client-id", "gw-test"};
}

// A runner of the example site with its one device named `name`, in a folder
// of that name (site file, database, log, and its output in "out").
pid_t SpawnSite(const TempDir& t, const std::string& name, const std::string& scen,
                const std::vector<std::string>& extra) {
  Json::Value site = Site(Json::Value());
  site["devices"][0]["name"] = name;
  const std::string dir = t.File(name);
  mkdir(dir.c_str(), 0755);
  std::vector<std::string> args = {"--site",     Write(dir + "/site.json", site),
                                   "--simulate", scen,
                                   "--db",       dir + "/h.db",
                                   "--log",      dir + "/log"};
  args.insert(args.end(), extra.begin(), extra.end());
  return Spawn(args, dir + "/out");
}

}  // namespace

TEST(MqttE2E, DiscoveryValuesAlarmsAndControl) {
  TempDir t;
  Broker broker(t.path());
  ASSERT_TRUE(broker.Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  Observer obs(broker.port());
  ASSERT_TRUE(obs.Ready(10)) << "the observer connects and subscribes";
  Json::Value mqtt(Json::objectValue);
  mqtt["control"]["power-1"].append(106);
  const std::string site = Write(t.File("site.json"), Site(mqtt));
  const std::string scen = Write(t.File("scen.json"), FastScenario());
  std::vector<std::string> args = RunnerArgs(t, site, scen, broker);
  args.insert(args.end(), {"--rounds", "6"});
  const pid_t pid = Spawn(args, t.File("out"));

  ASSERT_TRUE(obs.WaitTopic("k417t/power-1/units/21", "", 15));
  obs.Publish("k417t/power-1/control/set", R"({"code": 106, "byte": 3, "id": "r1"})");
  obs.Publish("k417t/power-1/control/set", R"({"code": 110, "byte": 1, "id": "r2"})");
  obs.Publish("k417t/power-1/control/set", R"({"code": 106)");
  obs.Publish("k417t/power-1/control/set", R"({"code": 106, "byte": 256, "id": 7})");
  obs.Publish("k417t/power-1/control/set", R"({"code": 106, "id": "no-byte"})");
  obs.Publish(
      "k417t/power-1/control/set",
      R"([[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]])");
  obs.Publish("k417t/no+such/control/set", R"({"code": 106, "byte": 3})");
  obs.Publish("homeassistant/status", "online");
  ASSERT_EQ(0, Wait(pid, 30)) << t.File("log");
  const std::vector<Message> ms = obs.All();

  // Discovery: a voltage sensor of DC unit 21 tied to both availability topics.
  const auto configs = Payloads(ms, "homeassistant/sensor/k417t_power-1/u21_v/config");
  ASSERT_GE(configs.size(), 2u) << "sent at start and again when Home Assistant came online";
  const Json::Value& c = configs.front();
  EXPECT_EQ("voltage", c["device_class"].asString());
  EXPECT_EQ("V", c["unit_of_measurement"].asString());
  EXPECT_EQ("measurement", c["state_class"].asString());
  EXPECT_EQ("DC 21 Output voltage", c["name"].asString());
  EXPECT_EQ("k417t_power-1_u21_v", c["unique_id"].asString());
  EXPECT_EQ("{{ value_json['values'].get('v') }}", c["value_template"].asString());
  EXPECT_EQ("k417t/power-1/units/21", c["state_topic"].asString());
  EXPECT_EQ("k417t/gateway/gw-test/availability", c["availability"][0]["topic"].asString());
  EXPECT_EQ("k417t/power-1/availability", c["availability"][1]["topic"].asString());
  // The device: the controller's model (the product name until it answers
  // the model query), reached through the gateway; the data identifier is
  // not a serial number and "K417T" not a manufacturer.
  const Json::Value& device = c["device"];
  EXPECT_EQ("k417t_power-1", device["identifiers"][0].asString());
  EXPECT_EQ("power-1", device["name"].asString());
  EXPECT_FALSE(device["model"].asString().empty());
  // The last config sent names what the controller answered to the model query.
  const Json::Value& latest = configs.back()["device"];
  EXPECT_EQ("K417T", latest["model"].asString());
  EXPECT_EQ("1.20", latest["sw_version"].asString());
  EXPECT_EQ("k417t_gateway_gw-test", device["via_device"].asString());
  EXPECT_FALSE(device.isMember("serial_number"));
  EXPECT_FALSE(device.isMember("manufacturer"));
  EXPECT_FALSE(device.isMember("configuration_url")) << "no page is served";
  // The gateway via_device names is announced itself.
  const auto gateway =
      Payloads(ms, "homeassistant/binary_sensor/k417t_gateway_gw-test/connectivity/config");
  ASSERT_FALSE(gateway.empty());
  EXPECT_EQ("connectivity", gateway.front()["device_class"].asString());
  EXPECT_EQ("k417t/gateway/gw-test/availability", gateway.front()["state_topic"].asString());
  EXPECT_EQ("k417t_gateway_gw-test", gateway.front()["device"]["identifiers"][0].asString());

  // The entity kinds: every measurement, states as problems or enums,
  // settings and line counters as diagnostics.
  auto config = [&ms](const std::string& component, const std::string& object) {
    const auto all =
        Payloads(ms, "homeassistant/" + component + "/k417t_power-1/" + object + "/config");
    return all.empty() ? Json::Value() : all.back();
  };
  const Json::Value module_current = config("sensor", "u100_module_1_current");
  EXPECT_EQ("current", module_current["device_class"].asString());
  EXPECT_EQ("Rectifiers 100 Module 2 current", module_current["name"].asString());
  EXPECT_EQ("current", config("sensor", "u100_total_current")["device_class"].asString());
  const Json::Value fault = config("binary_sensor", "u100_module_0_fault");
  EXPECT_EQ("problem", fault["device_class"].asString());
  EXPECT_EQ("fault", fault["payload_on"].asString());
  EXPECT_EQ("normal", fault["payload_off"].asString());
  EXPECT_EQ("problem", config("binary_sensor", "u21_fuse_0")["device_class"].asString());
  EXPECT_EQ("enum", config("sensor", "u100_module_2_state")["device_class"].asString());
  EXPECT_EQ("enum", config("sensor", "u11_channel_0_f_alert")["device_class"].asString());
  EXPECT_EQ("enum", config("sensor", "u11_ia_alert")["device_class"].asString());
  EXPECT_EQ("enum", config("sensor", "u21_v_state")["device_class"].asString());
  // The example site names DC 21's m and user values; DC 22's are unnamed.
  EXPECT_EQ("DC 21 Battery 1 current", config("sensor", "u21_m_0")["name"].asString());
  EXPECT_EQ("current", config("sensor", "u21_m_0")["device_class"].asString());
  EXPECT_EQ("DC 21 Battery 2 temperature", config("sensor", "u21_user_1")["name"].asString());
  EXPECT_EQ("temperature", config("sensor", "u21_user_1")["device_class"].asString());
  EXPECT_EQ("°C", config("sensor", "u21_user_1")["unit_of_measurement"].asString());
  EXPECT_EQ("DC 22 Value m 1", config("sensor", "u22_m_0")["name"].asString());
  EXPECT_FALSE(config("sensor", "u22_m_0").isMember("device_class")) << "a plain value";
  const Json::Value param = config("sensor", "u100_dc_param_0");
  EXPECT_EQ("diagnostic", param["entity_category"].asString());
  for (const char* counter : {"timeouts", "dropped", "late", "answers", "requests", "rounds"}) {
    const Json::Value line = config("sensor", std::string("line_") + counter);
    EXPECT_EQ("diagnostic", line["entity_category"].asString()) << counter;
    EXPECT_EQ("total_increasing", line["state_class"].asString()) << counter;
    EXPECT_EQ("k417t/power-1/line", line["state_topic"].asString()) << counter;
  }
  EXPECT_TRUE(config("sensor", "u100_module_0_limit").isNull())
      << "the current-limit flag is no entity";
  // An alarm point carries its severity, code, text and since as attributes.
  const Json::Value point = config("binary_sensor", "alarm_11_AC_8_9");
  ASSERT_FALSE(point.isNull());
  EXPECT_EQ("k417t/power-1/alarms", point["json_attributes_topic"].asString());
  EXPECT_NE(std::string::npos, point["json_attributes_template"].asString().find(
                                   "value_json['active'].get('11_AC_8_9', {})"))
      << point["json_attributes_template"];

  // Values equal the scenario's.
  const auto dc = Payloads(ms, "k417t/power-1/units/21");
  ASSERT_FALSE(dc.empty());
  EXPECT_FLOAT_EQ(53.5f, dc.back()["values"]["v"].asFloat());
  EXPECT_FLOAT_EQ(120.4f, dc.back()["values"]["i"].asFloat());
  const auto ac = Payloads(ms, "k417t/power-1/units/11");
  ASSERT_FALSE(ac.empty());
  EXPECT_FLOAT_EQ(380.5f, ac.front()["values"]["channel_0_a"].asFloat());
  EXPECT_FLOAT_EQ(31.5f, ac.front()["values"]["ia"].asFloat());
  EXPECT_EQ("normal", ac.front()["values"]["channel_0_a_alert"].asString());
  const auto rc = Payloads(ms, "k417t/power-1/units/100");
  ASSERT_FALSE(rc.empty());
  EXPECT_DOUBLE_EQ(80.0, rc.front()["values"]["total_current"].asDouble());
  EXPECT_EQ("off", rc.front()["values"]["module_2_state"].asString());
  EXPECT_EQ("normal", rc.front()["values"]["module_0_fault"].asString());
  // Times are epoch seconds: the round's end and the unit record's own.
  EXPECT_TRUE(dc.back()["time"].isIntegral());
  EXPECT_GT(dc.back()["time"].asInt64(), 1600000000);
  EXPECT_TRUE(dc.back()["record_time"].isIntegral());
  EXPECT_FALSE(dc.back()["values"].isMember("time"));
  // Unchanged DC values are not re-sent every round.
  EXPECT_LT(dc.size(), 4u);

  // Alarm raise and clear from the timeline, and the active set back to empty.
  EXPECT_TRUE(HasEvent(ms, "AC_8", "raised"));
  EXPECT_TRUE(HasEvent(ms, "AC_8", "cleared"));
  bool three_active = false;
  for (const Json::Value& a : Payloads(ms, "k417t/power-1/alarms")) {
    if (a["count"].asUInt() != 3) continue;
    three_active = true;
    for (const std::string& id : a["active"].getMemberNames()) {
      const Json::Value& p = a["active"][id];
      EXPECT_FALSE(p["severity"].asString().empty()) << a;
      EXPECT_TRUE(p["since"].isIntegral()) << a;
    }
    EXPECT_NE("none", a["severity"].asString()) << a;
  }
  EXPECT_TRUE(three_active);
  for (const Json::Value& e : Payloads(ms, "k417t/power-1/events")) {
    EXPECT_FALSE(e["severity"].asString().empty()) << e;
    EXPECT_TRUE(e["time"].isIntegral()) << e;
  }

  // Control: allowed, not on the list, not JSON, byte out of range, a byte
  // missing, too deep.
  const auto results = Payloads(ms, "k417t/power-1/control/result");
  ASSERT_EQ(6u, results.size());
  int ok = 0, refused = 0;
  for (const Json::Value& r : results) {
    if (r["id"] == "r1") {
      EXPECT_EQ(0, r["result"].asInt()) << r;
      ++ok;
    } else {
      EXPECT_EQ(-1, r["result"].asInt()) << r;
      EXPECT_FALSE(r["reason"].asString().empty());
      ++refused;
    }
  }
  EXPECT_EQ(1, ok);
  EXPECT_EQ(5, refused);
  for (const Json::Value& r : results) {
    if (r["id"] == "no-byte") {
      EXPECT_NE(std::string::npos, r["reason"].asString().find("byte")) << r;
    }
  }

  // A clean stop leaves the gateway and the device offline.
  EXPECT_EQ("offline", LastPayload(ms, "k417t/gateway/gw-test/availability"));
  EXPECT_EQ("offline", LastPayload(ms, "k417t/power-1/availability"));
}

TEST(MqttE2E, SilentControllerGoesOfflineAndSigkillLeavesTheLastWill) {
  TempDir t;
  Broker broker(t.path());
  ASSERT_TRUE(broker.Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  Observer obs(broker.port());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Json::Value scen = FastScenario();
  Json::Value change(Json::objectValue);
  change["after_rounds"] = 2;
  change["set"]["faults"]["drop_every"] = 1;
  scen["changes"] = Json::Value(Json::arrayValue);
  scen["changes"].append(change);
  const std::string site = Write(t.File("site.json"), Site(Json::Value()));
  const pid_t pid =
      Spawn(RunnerArgs(t, site, Write(t.File("scen.json"), scen), broker), t.File("out"));

  ASSERT_TRUE(obs.WaitTopic("k417t/power-1/availability", "online", 15));
  ASSERT_TRUE(obs.WaitFor(
      [](const std::vector<Message>& ms) {
        return LastPayload(ms, "k417t/power-1/availability") == "offline";
      },
      20))
      << "the device goes offline once its controller stops answering";
  // No values are published while it is offline.
  const size_t before = Payloads(obs.All(), "k417t/power-1/units/21").size();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(before, Payloads(obs.All(), "k417t/power-1/units/21").size());

  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  EXPECT_TRUE(obs.WaitFor(
      [](const std::vector<Message>& ms) {
        return LastPayload(ms, "k417t/gateway/gw-test/availability") == "offline";
      },
      10))
      << "the broker publishes the last will";
}

TEST(MqttE2E, BrokerRestartLosesNoAlarmEvent) {
  TempDir t;
  Broker broker(t.path());
  ASSERT_TRUE(broker.Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  auto obs = std::make_unique<Observer>(broker.port());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string site = Write(t.File("site.json"), Site(Json::Value()));
  const pid_t pid =
      Spawn(RunnerArgs(t, site, Write(t.File("scen.json"), FastScenario()), broker), t.File("out"));
  ASSERT_TRUE(obs->WaitTopic("k417t/power-1/units/21", "", 15));
  broker.Kill();  // before round 2 raises the alarm
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  ASSERT_TRUE(broker.Start());
  obs = std::make_unique<Observer>(broker.port());
  EXPECT_TRUE(obs->WaitFor(
      [](const std::vector<Message>& ms) {
        return HasEvent(ms, "AC_8", "raised") && HasEvent(ms, "AC_9", "raised") &&
               HasEvent(ms, "AC_10", "raised") && HasEvent(ms, "AC_8", "cleared");
      },
      20))
      << "events raised while the broker was away arrive after it is back";
  EXPECT_TRUE(obs->WaitTopic("k417t/gateway/gw-test/availability", "online", 5));
  kill(pid, SIGTERM);
  EXPECT_EQ(0, Wait(pid, 10));
}

// A reload that adds a device, then one that removes the first and changes
// the second, on the same broker connection: the new one gets its discovery
// and goes online while the others stay online, the removed one's retained
// topics are emptied, and so is the config of a unit gone.
TEST(MqttE2E, ReloadBringsNewDevicesAndClearsRemovedOnes) {
  TempDir t;
  Broker broker(t.path());
  ASSERT_TRUE(broker.Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  Observer obs(broker.port());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Json::Value site = Site(Json::Value());
  const std::string site_path = Write(t.File("site.json"), site);
  const pid_t pid = Spawn(
      RunnerArgs(t, site_path, Write(t.File("scen.json"), FastScenario()), broker), t.File("out"));
  ASSERT_TRUE(obs.WaitTopic("k417t/power-1/availability", "online", 15));
  const std::string config_1 = "homeassistant/sensor/k417t_power-1/u21_v/config";
  ASSERT_TRUE(obs.WaitFor(
      [&](const std::vector<Message>& ms) { return !Payloads(ms, config_1).empty(); }, 15));

  Json::Value second = site["devices"][0];
  second["name"] = "power-2";
  second["data_id"] = 200;
  second["setting"]["port"] = "/dev/ttyUSB1";
  second["setting"]["acSetting"][0]["data_id"] = 12;
  second["setting"]["dcSetting"][0]["data_id"] = 31;
  second["setting"]["dcSetting"][1]["data_id"] = 32;
  site["devices"].append(second);
  Write(site_path, site);
  const size_t at_first_reload = obs.All().size();
  kill(pid, SIGHUP);
  ASSERT_TRUE(obs.WaitTopic("k417t/power-2/availability", "online", 20)) << t.File("log");
  ASSERT_TRUE(obs.WaitFor(
      [](const std::vector<Message>& ms) {
        return !Payloads(ms, "homeassistant/sensor/k417t_power-2/u31_v/config").empty();
      },
      15));

  for (size_t i = at_first_reload; i < obs.All().size(); ++i) {
    const Message m = obs.All()[i];
    EXPECT_FALSE((m.topic == "k417t/power-1/availability" ||
                  m.topic == "k417t/gateway/gw-test/availability") &&
                 m.payload == "offline")
        << m.topic << " went offline on a reload that left it alone";
  }
  // power-1 removed; power-2 changed: its first DC unit is 33 now.
  second["setting"]["dcSetting"][0]["data_id"] = 33;
  Json::Value only_second(Json::objectValue);
  only_second["devices"].append(second);
  Write(site_path, only_second);
  const size_t before = obs.All().size();
  kill(pid, SIGHUP);
  // The removed device's discovery is emptied (retained: Home Assistant drops it).
  EXPECT_TRUE(obs.WaitFor(
      [&](const std::vector<Message>& ms) {
        bool config = false, state = false;
        for (size_t i = before; i < ms.size(); ++i) {
          config |= ms[i].topic == config_1 && ms[i].payload.empty();
          state |= ms[i].topic == "k417t/power-1/units/21" && ms[i].payload.empty();
        }
        return config && state;
      },
      20))
      << ReadText(t.File("log"));
  // power-2 announces unit 33, and the config of unit 31, which an earlier
  // run of the export announced, is emptied.
  EXPECT_TRUE(obs.WaitFor(
      [&](const std::vector<Message>& ms) {
        bool gone = false, announced = false;
        for (size_t i = before; i < ms.size(); ++i) {
          gone |= ms[i].topic == "homeassistant/sensor/k417t_power-2/u31_v/config" &&
                  ms[i].payload.empty();
          announced |= ms[i].topic == "homeassistant/sensor/k417t_power-2/u33_v/config" &&
                       !ms[i].payload.empty();
        }
        return gone && announced;
      },
      20))
      << ReadText(t.File("log"));
  // power-2's unit 31 is gone: its retained state is emptied too.
  bool state_31_emptied = false;
  for (size_t i = before; i < obs.All().size(); ++i)
    state_31_emptied |=
        obs.All()[i].topic == "k417t/power-2/units/31" && obs.All()[i].payload.empty();
  EXPECT_TRUE(state_31_emptied);
  kill(pid, SIGTERM);
  EXPECT_EQ(0, Wait(pid, 20));
  // One connection all along.
  EXPECT_EQ(std::string::npos, ReadText(t.File("log")).find("MQTT export starts again"));
}

// A controller that marks values invalid (four equal bytes, the units' -0.1
// marker): the state messages carry null, never the raw pattern as a number,
// while a real 0 stays 0.
TEST(MqttE2E, NoValueIsNullNeverAReading) {
  TempDir t;
  Broker broker(t.path());
  ASSERT_TRUE(broker.Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  Observer obs(broker.port());
  ASSERT_TRUE(obs.Ready(10));
  Json::Value site = Site(Json::Value());
  // The scenario has one DC distribution.
  site["devices"][0]["setting"]["dcSetting"].resize(1);
  const std::string scen = std::string(K417T_EXAMPLES) + "/scenarios/no_values.json";
  std::vector<std::string> args = RunnerArgs(t, Write(t.File("site.json"), site), scen, broker);
  args.insert(args.end(), {"--rounds", "2"});
  const pid_t pid = Spawn(args, t.File("out"));
  ASSERT_EQ(0, Wait(pid, 30)) << ReadText(t.File("log"));
  const std::vector<Message> ms = obs.All();

  auto last = [&ms](const std::string& unit) {
    const auto all = Payloads(ms, "k417t/power-1/units/" + unit);
    return all.empty() ? Json::Value() : all.back()["values"];
  };
  const Json::Value ac = last("11"), rc = last("100"), dc = last("21");
  ASSERT_TRUE(ac.isObject() && rc.isObject() && dc.isObject());
  for (const char* key : {"ia", "ic"}) {
    EXPECT_TRUE(ac.isMember(key) && ac[key].isNull()) << key << ": " << ac;
  }
  EXPECT_TRUE(ac["ib"].isNumeric() && ac["ib"].asDouble() == 0.0)
      << "a real 0 is a reading: " << ac;
  for (const char* key : {"rc_value", "module_0_current", "total_current"}) {
    EXPECT_TRUE(rc.isMember(key) && rc[key].isNull()) << key << ": " << rc;
  }
  for (const char* key : {"user_0", "user_1"}) {
    EXPECT_TRUE(dc.isMember(key) && dc[key].isNull()) << key << ": " << dc;
  }
  EXPECT_DOUBLE_EQ(53.5, dc["v"].asDouble());
  // No state message shows an invalid pattern as a number.
  for (const Message& m : ms) {
    if (m.topic.rfind("k417t/power-1/units/", 0) != 0) continue;
    for (const char* bad : {"-0.1", "e-19", "nan", "NaN", "inf", "Infinity"})
      EXPECT_EQ(std::string::npos, m.payload.find(bad)) << bad << " in " << m.payload;
  }
}

// The allow-list takes control commands only: a code the controller does not
// take is a setting error, not a silent refusal later.
TEST(MqttE2E, AllowListOfNoControlCommandIsRefusedAtStart) {
  TempDir t;
  Json::Value mqtt(Json::objectValue);
  mqtt["url"] = "mqtt://127.0.0.1:1";
  mqtt["control"]["power-1"].append(107);
  const std::string site = Write(t.File("site.json"), Site(mqtt));
  const pid_t pid = Spawn({"--site", site, "--check-config"}, t.File("out"));
  EXPECT_EQ(2, Wait(pid, 20));
  EXPECT_NE(std::string::npos, ReadText(t.File("out")).find("107 is not a control command"))
      << ReadText(t.File("out"));
}

// A client key that group or others can read is a setting error (exit 2)
// naming the file; made private, the same settings are taken. The site
// file's cert_file/key_file are read like the command line's.
TEST(MqttE2E, ClientKeyReadableByOthersIsASettingError) {
  TempDir t;
  std::ofstream(t.File("client.pem")) << "certificate\n";
  std::ofstream(t.File("client.key")) << "key\n";
  chmod(t.File("client.key").c_str(), 0644);
  Json::Value mqtt(Json::objectValue);
  mqtt["url"] = "mqtts://127.0.0.1:1";
  const std::string site = Write(t.File("site.json"), Site(mqtt));
  const std::vector<std::string> args = {"--site",
                                         site,
                                         "--check-config",
                                         "--mqtt-cert",
                                         t.File("client.pem"),
                                         "--mqtt-key",
                                         t.File("client.key")};
  EXPECT_EQ(2, Wait(Spawn(args, t.File("out")), 20));
  EXPECT_NE(std::string::npos,
            ReadText(t.File("out"))
                .find(t.File("client.key") + " may be read or written by group or others"))
      << ReadText(t.File("out"));

  mqtt["cert_file"] = t.File("client.pem");
  mqtt["key_file"] = t.File("client.key");
  const std::string in_site = Write(t.File("site2.json"), Site(mqtt));
  EXPECT_EQ(2, Wait(Spawn({"--site", in_site, "--check-config"}, t.File("out2")), 20));
  EXPECT_NE(std::string::npos, ReadText(t.File("out2")).find(t.File("client.key")))
      << ReadText(t.File("out2"));

  chmod(t.File("client.key").c_str(), 0600);
  EXPECT_EQ(0, Wait(Spawn(args, t.File("out3")), 20)) << ReadText(t.File("out3"));
  EXPECT_EQ(0, Wait(Spawn({"--site", in_site, "--check-config"}, t.File("out4")), 20))
      << ReadText(t.File("out4"));
}

namespace {

// A certificate authority and a server certificate for "localhost" it signed,
// made with Debian's openssl in `dir`; false when openssl failed.
bool MakeCertificates(const std::string& dir, const std::string& ca_name) {
  const std::string d = "cd " + dir + " && ";
  const std::string quiet = " >/dev/null 2>&1";
  return std::system((d + "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + ca_name +
                      " -keyout " + ca_name + ".key -out " + ca_name + ".pem" + quiet)
                         .c_str()) == 0 &&
         std::system((d +
                      "openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout "
                      "server.key -out server.csr" +
                      quiet)
                         .c_str()) == 0 &&
         std::system((d +
                      "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > san.ext && "
                      "openssl x509 -req -in server.csr -CA " +
                      ca_name + ".pem -CAkey " + ca_name +
                      ".key -CAcreateserial -days 2 -extfile san.ext -out server.pem" + quiet)
                         .c_str()) == 0;
}

}  // namespace

// mqtts://: the runner trusts the certificate authority it is given, and
// only that one: a broker whose certificate another authority signed gets
// no connection (and polling goes on).
TEST(MqttE2E, MqttsTrustsTheGivenAuthorityOnly) {
  TempDir t;
  ASSERT_TRUE(MakeCertificates(t.path(), "site-ca"))
      << "openssl is needed (scripts/install-deps.sh)";
  TempDir other;
  ASSERT_TRUE(MakeCertificates(other.path(), "other-ca"));
  Broker broker(t.path());
  const int tls_port =
      broker.AddTlsListener(t.File("site-ca.pem"), t.File("server.pem"), t.File("server.key"));
  ASSERT_TRUE(broker.Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  Observer obs(broker.port());
  ASSERT_TRUE(obs.Ready(10));
  const std::string site = Write(t.File("site.json"), Site(Json::Value()));
  const std::string scen = Write(t.File("scen.json"), FastScenario());
  const std::string url = "mqtts://localhost:" + std::to_string(tls_port);

  const pid_t good = Spawn(
      {"--site", site, "--simulate", scen, "--db", t.File("h.db"), "--log", t.File("log"), "--mqtt",
       url, "--mqtt-ca", t.File("site-ca.pem"), "--mqtt-client-id", "gw-tls", "--rounds", "3"},
      t.File("out"));
  EXPECT_TRUE(obs.WaitTopic("k417t/power-1/units/21", "", 20)) << ReadText(t.File("log"));
  EXPECT_EQ(0, Wait(good, 30)) << ReadText(t.File("out"));
  EXPECT_NE(std::string::npos, ReadText(t.File("log")).find("mqtt: connected to localhost"))
      << ReadText(t.File("log"));
  // The clean stop's "offline" reaches the observer through the broker a
  // moment after the runner has exited.
  EXPECT_TRUE(e2e::WaitFor(
      [&] { return LastPayload(obs.All(), "k417t/gateway/gw-tls/availability") == "offline"; }, 10))
      << LastPayload(obs.All(), "k417t/gateway/gw-tls/availability");

  const pid_t wrong = Spawn({"--site", site, "--simulate", scen, "--db", t.File("h2.db"), "--log",
                             t.File("log2"), "--mqtt", url, "--mqtt-ca", other.File("other-ca.pem"),
                             "--mqtt-client-id", "gw-wrong", "--rounds", "3"},
                            t.File("out2"));
  EXPECT_EQ(0, Wait(wrong, 30)) << "polling goes on without the broker\n"
                                << ReadText(t.File("out2"));
  const std::string log2 = ReadText(t.File("log2"));
  EXPECT_EQ(std::string::npos, log2.find("mqtt: connected")) << log2;
  EXPECT_EQ(std::string::npos, broker.log().find("as gw-wrong")) << broker.log();
  for (const Message& m : obs.All())
    EXPECT_EQ(std::string::npos, m.topic.find("gw-wrong")) << m.topic;
}

// A broker that asks for a client certificate: the runner given its
// certificate and key (signed by the broker's authority) connects; without
// them it gets no connection and polls on.
TEST(MqttE2E, ClientCertificateIsShownToTheBroker) {
  TempDir t;
  ASSERT_TRUE(MakeCertificates(t.path(), "site-ca"))
      << "openssl is needed (scripts/install-deps.sh)";
  const std::string d = "cd " + t.path() + " && ";
  ASSERT_EQ(0,
            std::system((d + "openssl req -newkey rsa:2048 -nodes -subj /CN=gw-client "
                             "-keyout client.key -out client.csr >/dev/null 2>&1 && "
                             "openssl x509 -req -in client.csr -CA site-ca.pem -CAkey "
                             "site-ca.key -CAcreateserial -days 2 -out client.pem >/dev/null 2>&1 "
                             "&& chmod 600 client.key")
                            .c_str()));
  Broker broker(t.path());
  const int tls_port = broker.AddTlsListener(t.File("site-ca.pem"), t.File("server.pem"),
                                             t.File("server.key"), true);
  ASSERT_TRUE(broker.Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  Observer obs(broker.port());
  ASSERT_TRUE(obs.Ready(10));
  const std::string site = Write(t.File("site.json"), Site(Json::Value()));
  const std::string scen = Write(t.File("scen.json"), FastScenario());
  const std::string url = "mqtts://localhost:" + std::to_string(tls_port);
  std::vector<std::string> args = {"--site",   site, "--simulate", scen,
                                   "--mqtt",   url,  "--mqtt-ca",  t.File("site-ca.pem"),
                                   "--rounds", "3"};

  std::vector<std::string> with = args;
  with.insert(with.end(),
              {"--db", t.File("h.db"), "--log", t.File("log"), "--mqtt-client-id", "gw-cert",
               "--mqtt-cert", t.File("client.pem"), "--mqtt-key", t.File("client.key")});
  const pid_t good = Spawn(with, t.File("out"));
  EXPECT_TRUE(obs.WaitTopic("k417t/gateway/gw-cert/availability", "online", 20))
      << ReadText(t.File("log"));
  EXPECT_EQ(0, Wait(good, 30)) << ReadText(t.File("out"));

  std::vector<std::string> without = args;
  without.insert(without.end(), {"--db", t.File("h2.db"), "--log", t.File("log2"),
                                 "--mqtt-client-id", "gw-nocert"});
  EXPECT_EQ(0, Wait(Spawn(without, t.File("out2")), 30)) << ReadText(t.File("out2"));
  EXPECT_EQ(std::string::npos, ReadText(t.File("log2")).find("mqtt: connected"))
      << ReadText(t.File("log2"));
  for (const Message& m : obs.All())
    EXPECT_EQ(std::string::npos, m.topic.find("gw-nocert")) << m.topic;
}

// Two gateways with different site files on one broker, both with the
// default client id: each has an id of its own (no eviction), and neither
// empties a retained topic of the other's devices.
TEST(MqttE2E, TwoSitesOnOneBrokerLeaveEachOthersTopicsAlone) {
  TempDir t;
  Broker broker(t.path());
  ASSERT_TRUE(broker.Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  Observer obs(broker.port());
  ASSERT_TRUE(obs.Ready(10));
  const std::string scen = Write(t.File("scen.json"), FastScenario());
  std::vector<pid_t> runners;
  for (const char* name : {"power-a", "power-b"})
    runners.push_back(SpawnSite(t, name, scen, {"--mqtt", broker.url(), "--rounds", "5"}));
  for (const pid_t pid : runners) EXPECT_EQ(0, Wait(pid, 40));
  const std::vector<Message> ms = obs.All();
  std::set<std::string> gateways;
  size_t a_configs = 0, b_configs = 0;
  for (const Message& m : ms) {
    if (m.topic.rfind("k417t/gateway/", 0) == 0 && m.topic.size() > 27 &&
        m.topic.compare(m.topic.size() - 13, 13, "/availability") == 0)
      gateways.insert(m.topic);
    const bool a = m.topic.find("power-a") != std::string::npos;
    const bool b = m.topic.find("power-b") != std::string::npos;
    if ((a || b) && m.payload.empty()) ADD_FAILURE() << "emptied: " << m.topic;
    if (a && m.topic.rfind("homeassistant/", 0) == 0) ++a_configs;
    if (b && m.topic.rfind("homeassistant/", 0) == 0) ++b_configs;
  }
  EXPECT_EQ(2u, gateways.size()) << "a client id per site";
  EXPECT_GT(a_configs, 0u);
  EXPECT_GT(b_configs, 0u);
  for (const char* name : {"power-a", "power-b"})
    EXPECT_EQ(std::string::npos, ReadText(t.File(name) + "/log").find("left the site file"))
        << ReadText(t.File(name) + "/log");
}

// Two runners given one client id: the broker hands the id to the newer
// connection and drops the older. The dropped one waits the longest back-off
// before it takes the id back, so the two do not evict each other in a loop,
// and both go on polling.
TEST(MqttE2E, OneClientIdTwiceBacksOffInsteadOfEvicting) {
  TempDir t;
  Broker broker(t.path());
  ASSERT_TRUE(broker.Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  const std::string scen = Write(t.File("scen.json"), FastScenario());
  std::vector<pid_t> runners;
  for (const char* name : {"power-a", "power-b"}) {
    runners.push_back(SpawnSite(t, name, scen,
                                {"--json", "--mqtt", broker.url(), "--mqtt-client-id", "gw-same"}));
    // The second connects once the first holds the id.
    const std::string log = t.File(name) + "/log";
    ASSERT_TRUE(e2e::WaitFor(
        [&] { return ReadText(log).find("mqtt: connected") != std::string::npos; }, 15))
        << ReadText(log);
  }
  std::this_thread::sleep_for(std::chrono::seconds(10));
  for (const pid_t pid : runners) EXPECT_EQ(0, e2e::Stop(pid, 20));

  const std::string broker_log = ReadText(t.File("mosquitto.log"));
  size_t evictions = 0;
  for (size_t at = broker_log.find("already connected, closing old connection");
       at != std::string::npos;
       at = broker_log.find("already connected, closing old connection", at + 1))
    ++evictions;
  // Taking the id back at once evicted about twice a second; a back-off that
  // only doubles, 7 times in these 10 s. Two quick drops in a row mean the
  // longest back-off, for whichever runner has them first.
  EXPECT_GE(evictions, 1u) << broker_log;
  EXPECT_LE(evictions, 4u) << broker_log;
  const std::string logs =
      ReadText(t.File("power-a") + "/log") + ReadText(t.File("power-b") + "/log");
  EXPECT_NE(std::string::npos, logs.find("client id \"gw-same\"")) << logs;
  for (const char* name : {"power-a", "power-b"}) {
    size_t rounds = 0;
    std::istringstream out(ReadText(t.File(name) + "/out"));
    for (std::string line; std::getline(out, line);) rounds += ParseText(line)["kind"] == "round";
    EXPECT_GE(rounds, 5u) << name << " polls on";
  }
}

// A clean stop with several devices: what the broker keeps afterwards (read by
// a subscriber that comes later) says every device and the gateway are
// offline. The offline messages were lost when the connection closed before
// the broker had them all.
TEST(MqttE2E, CleanStopLeavesEveryDeviceOfflineOnTheBroker) {
  TempDir t;
  Broker broker(t.path());
  ASSERT_TRUE(broker.Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  Json::Value site = Site(Json::Value());
  const Json::Value first = site["devices"][0];
  for (unsigned k = 2; k <= 4; ++k) {
    Json::Value d = first;
    d["name"] = "power-" + std::to_string(k);
    d["data_id"] = 100 * k;
    d["setting"]["port"] = "/dev/ttyUSB" + std::to_string(k);
    d["setting"]["acSetting"][0]["data_id"] = 100 * k + 11;
    d["setting"]["dcSetting"][0]["data_id"] = 100 * k + 21;
    d["setting"]["dcSetting"][1]["data_id"] = 100 * k + 22;
    site["devices"].append(d);
  }
  Observer obs(broker.port());
  ASSERT_TRUE(obs.Ready(10));
  const pid_t pid = Spawn(RunnerArgs(t, Write(t.File("site.json"), site),
                                     Write(t.File("scen.json"), FastScenario()), broker),
                          t.File("out"));
  for (unsigned k = 1; k <= 4; ++k)
    ASSERT_TRUE(obs.WaitTopic("k417t/power-" + std::to_string(k) + "/availability", "online", 20))
        << ReadText(t.File("log"));
  kill(pid, SIGTERM);
  ASSERT_EQ(0, Wait(pid, 20)) << ReadText(t.File("log"));

  Observer later(broker.port());
  ASSERT_TRUE(later.Ready(10));
  const std::vector<Message> kept = later.All();
  for (unsigned k = 1; k <= 4; ++k) {
    const std::string topic = "k417t/power-" + std::to_string(k) + "/availability";
    EXPECT_EQ("offline", LastPayload(kept, topic)) << topic;
  }
  EXPECT_EQ("offline", LastPayload(kept, "k417t/gateway/gw-test/availability"));
}

namespace {

// Rows of the history database through the sqlite3 shell: one vector of
// columns per row.
std::vector<std::vector<std::string>> Rows(const std::string& db, const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  const std::string cmd = "sqlite3 -separator '|' " + db + " \"" + sql + "\"";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return rows;
  char buf[4096];
  while (fgets(buf, sizeof buf, p) != nullptr) {
    std::string line(buf);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string c;
    while (std::getline(ss, c, '|')) cols.push_back(c);
    rows.push_back(cols);
  }
  pclose(p);
  return rows;
}

}  // namespace

// The operator's outage: the broker goes away, the runner is stopped and
// started again (twice) while it is away, then the broker comes back. Every
// alarm event the history holds reaches the broker once it is back, in
// order, with its own time and its row id; what was stored meanwhile is
// offered on the history topic; no stop says nothing was lost when
// something was not delivered.
TEST(MqttE2E, BrokerAwayAcrossRestartsDeliversEveryEventFromTheHistory) {
  TempDir t;
  Broker broker(t.path());
  ASSERT_TRUE(broker.Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  auto obs = std::make_unique<Observer>(broker.port());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Json::Value scen = FastScenario();
  scen["alarms"]["every_rounds"] = 2;  // the first DC unit's low voltage, raised and cleared
  scen["alarms"]["rounds"] = 1;
  const std::string scen_file = Write(t.File("scen.json"), scen);
  const std::string site = Write(t.File("site.json"), Site(Json::Value()));
  std::vector<std::string> args = RunnerArgs(t, site, scen_file, broker);
  args.insert(args.end(), {"--pace", "--history-commit", "2", "--history-heartbeat", "4"});

  pid_t pid = Spawn(args, t.File("out1"));
  ASSERT_TRUE(obs->WaitTopic("k417t/power-1/units/21", "", 15));
  broker.Kill();
  obs.reset();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  kill(pid, SIGTERM);
  ASSERT_EQ(0, Wait(pid, 10));
  // What the broker acknowledged before it went away.
  const auto cursor =
      Rows(t.File("h.db"), "SELECT event_id FROM outbox_cursor WHERE sink = 'mqtt'");
  ASSERT_EQ(1u, cursor.size()) << "the stop writes the cursor";
  const int64_t acked = std::stoll(cursor[0][0]);
  const std::string log1 = ReadText(t.File("log"));
  EXPECT_EQ(std::string::npos, log1.find("0 alarm events dropped")) << log1;
  EXPECT_NE(std::string::npos, log1.find("wait in the history for the next connection")) << log1;

  // Started and stopped again with the broker still away.
  pid = Spawn(args, t.File("out2"));
  std::this_thread::sleep_for(std::chrono::seconds(4));
  kill(pid, SIGTERM);
  ASSERT_EQ(0, Wait(pid, 10));
  const std::vector<std::vector<std::string>> away =
      Rows(t.File("h.db"), "SELECT id, t FROM alarm_event ORDER BY id");
  ASSERT_GE(away.size(), 4u) << "the outage should have seen alarm changes";
  ASSERT_GT(std::stoll(away.back()[0]), acked + 2) << "alarm changes while the broker was away";

  ASSERT_TRUE(broker.Start());
  obs = std::make_unique<Observer>(broker.port());
  ASSERT_TRUE(obs->Ready(5));
  pid = Spawn(args, t.File("out3"));
  const std::string last_away = away.back()[0];
  EXPECT_TRUE(obs->WaitFor(
      [&](const std::vector<Message>& ms) {
        for (const Json::Value& e : Payloads(ms, "k417t/power-1/events"))
          if (e["id"].asString() == last_away) return true;
        return false;
      },
      30))
      << "the last event of the outage arrives";
  std::this_thread::sleep_for(std::chrono::seconds(2));
  kill(pid, SIGTERM);
  ASSERT_EQ(0, Wait(pid, 10));

  // Every event the history holds, in order, with its own time.
  std::map<std::string, std::string> sent_time;  // id -> time, first copy
  std::vector<int64_t> order;
  size_t copies = 0;
  for (const Json::Value& e : Payloads(obs->All(), "k417t/power-1/events")) {
    ++copies;
    const std::string id = e["id"].asString();
    if (sent_time.count(id) != 0) continue;
    sent_time[id] = e["time"].asString();
    order.push_back(e["id"].asInt64());
  }
  const auto held = Rows(t.File("h.db"), "SELECT id, t FROM alarm_event ORDER BY id");
  for (const auto& row : held) {
    if (std::stoll(row[0]) <= acked) continue;  // went out before the outage
    auto it = sent_time.find(row[0]);
    ASSERT_NE(it, sent_time.end()) << "event " << row[0] << " never reached the broker";
    EXPECT_EQ(row[1], it->second) << "event " << row[0] << " keeps its own time";
  }
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << "events arrive in order";
  EXPECT_LE(copies - sent_time.size(), 64u) << "duplicates only from the in-flight window";

  // Records stored while the broker was away, offered with their own time.
  const std::vector<Json::Value> history = Payloads(obs->All(), "k417t/power-1/history");
  ASSERT_FALSE(history.empty());
  EXPECT_TRUE(history.front().isMember("id") && history.front().isMember("values"));
  EXPECT_LT(history.front()["time"].asInt64(), std::stoll(held.back()[1]));
}
