// The alarm board on a real broker: the retained alarms and the notices
// follow what the board tells the operators (a chattering point does not
// flap them), operators' actions come in on alarm/set through the same checks
// as control and the board's audited door, and a lost controller's alarms
// read unknown, in the payload and in Home Assistant's templates.
#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/mqtt_discovery.h"
#include "mqtt/mqtt_export.h"
#include "mqtt/mqtt_messages.h"
#include "support/mqtt_broker.h"
#include "support/one_round.h"

// The plug-in's pauses between frames: the line here is in memory.
extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

using namespace qmx;
using namespace qmx::exporter;
using k417t_test::Message;

const std::string kAlarms = "k417t/power-1/alarms";
const std::string kNotices = "k417t/power-1/notices";
const std::string kSet = "k417t/power-1/alarm/set";
const std::string kResult = "k417t/power-1/alarm/result";
const std::string kId = "21_DC_3_0";  // the DC unit's low voltage

Json::Value Parse(const std::string& text) {
  Json::Value v;
  std::string errors;
  std::istringstream in(text);
  Json::parseFromStream(Json::CharReaderBuilder(), in, &v, &errors);
  return v;
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

store::AlarmEvent Low(bool raised, int64_t time) {
  store::AlarmEvent e;
  e.time = time;
  e.data_id = 21;
  e.key = "DC_3";
  e.seq = 0;
  e.level = 2;
  e.code = "06001";
  e.name = "DC";
  e.text = "low voltage";
  e.raised = raised;
  return e;
}

// One controller known to the host (the board's door acts only on those),
// its view and its board, an export to a private broker, and an observer.
struct Site {
  std::string dir = (std::filesystem::temp_directory_path() / "k417t-mqttalarm-XXXXXX").string();
  std::unique_ptr<k417t_test::OneRound> one;
  std::unique_ptr<view::SiteView> view;
  std::unique_ptr<k417t_test::Broker> broker;
  std::unique_ptr<MqttExport> exporter;
  std::mutex mu;
  std::vector<std::string> lines;

  Site() {
    EXPECT_NE(nullptr, mkdtemp(dir.data()));
    one = std::make_unique<k417t_test::OneRound>(Json::Value(Json::objectValue), dir + "/h.db");
    view = std::make_unique<view::SiteView>(*one->host);
    view::SiteInfo info;
    info[100].name = "power-1";
    view->SetSite(info);
    broker = std::make_unique<k417t_test::Broker>(dir);
  }
  ~Site() {
    view->Board().SetListener(nullptr);
    if (exporter) exporter->Stop();
    broker->Kill();
    one.reset();
    std::filesystem::remove_all(dir);
  }
  void Start(std::set<int> control) {
    MqttConfig cfg;
    cfg.host = "127.0.0.1";
    cfg.port = broker->port();
    cfg.client_id = "alarm-test";
    cfg.check_every_ms = 10;
    MqttDevice d;
    d.id = 100;
    d.name = d.topic = "power-1";
    d.control = std::move(control);
    cfg.devices.push_back(d);
    exporter =
        std::make_unique<MqttExport>(cfg, MqttSource::Of(*view), [this](const std::string& l) {
          std::lock_guard<std::mutex> lock(mu);
          lines.push_back(l);
        });
    view->Board().SetListener([this](const view::AlarmNotice& n) { exporter->OnAlarm(n); });
    exporter->Start();
  }
  std::vector<store::AuditEntry> Audit() {
    one->host->history()->Flush();
    return view->History()->Audit(0, INT64_MAX, 1000);
  }
};

size_t Count(const std::vector<Message>& ms, const std::string& topic) {
  size_t n = 0;
  for (const Message& m : ms) n += m.topic == topic;
  return n;
}

std::vector<Json::Value> Payloads(const std::vector<Message>& ms, const std::string& topic) {
  std::vector<Json::Value> out;
  for (const Message& m : ms)
    if (m.topic == topic && !m.payload.empty()) out.push_back(Parse(m.payload));
  return out;
}

// Waits until the newest retained alarms satisfy `pred`.
bool WaitAlarms(k417t_test::Observer& obs, const std::function<bool(const Json::Value&)>& pred) {
  return obs.WaitFor(
      [&](const std::vector<Message>& ms) {
        const auto all = Payloads(ms, kAlarms);
        return !all.empty() && pred(all.back());
      },
      10);
}

bool WaitCount(k417t_test::Observer& obs, const std::string& topic, size_t n) {
  return obs.WaitFor([&](const std::vector<Message>& ms) { return Count(ms, topic) >= n; }, 10);
}

// A Home Assistant template rendered by Jinja2 with value_json.
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

// The config discovery makes for the alarm point (and the device's alarm).
Json::Value AlarmConfig(const std::string& object, const std::string& name_en = "") {
  MqttConfig cfg;
  cfg.client_id = "alarm-test";
  DiscoveryDevice d;
  d.name = d.topic = "power-1";
  store::ActiveAlarm a;
  a.data_id = 21;
  a.key = "DC_3";
  a.name = "DC";
  a.text = "low voltage";
  d.alarm_points[kId] = AlarmPointRecord(a, name_en, name_en.empty() ? "" : "DC unit 21");
  for (const DiscoveryMessage& m : DeviceDiscovery(cfg, d))
    if (m.topic == "homeassistant/binary_sensor/k417t_power-1/" + object + "/config")
      return Parse(m.payload);
  return Json::Value();
}

}  // namespace

// A point raised and cleared 40 times within minutes: the operators are told
// twice (raised, then chattering), the retained alarms go out a few times,
// not once a transition, and Home Assistant's entity stays on throughout.
TEST(MqttAlarmBoard, ChatteringPointIsToldTwiceAndTheRetainedAlarmsDoNotFlap) {
  Site s;
  ASSERT_TRUE(s.broker->Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  k417t_test::Observer obs(s.broker->port());
  ASSERT_TRUE(obs.Ready(10));
  s.Start({110});
  ASSERT_TRUE(obs.WaitTopic("k417t/gateway/alarm-test/availability", "online", 10));
  ASSERT_TRUE(obs.WaitTopic(kAlarms, "", 10));
  const size_t alarms_before = Count(obs.All(), kAlarms);

  const int64_t t0 = Now() - 600;
  const int transitions = 40;
  for (int i = 0; i < transitions; ++i) {
    s.view->Board().OnEvents(100, {Low(i % 2 == 0, t0 + 10 * i)}, t0 + 10 * i);
    // Long enough for the export to read the board between transitions.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  ASSERT_TRUE(WaitAlarms(obs, [](const Json::Value& a) {
    return a["listed"][kId]["state"].asString() == "chattering";
  })) << obs.All().back().payload;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::vector<Message> ms = obs.All();
  s.exporter->Stop();

  std::map<std::string, int> kinds;
  for (const Json::Value& n : Payloads(ms, kNotices)) ++kinds[n["kind"].asString()];
  EXPECT_EQ(1, kinds["raised"]);
  EXPECT_EQ(1, kinds["chattering"]);
  EXPECT_LE(kinds["raised"] + kinds["chattering"], 2);
  const size_t alarms_sent = Count(ms, kAlarms) - alarms_before;
  EXPECT_LE(alarms_sent, 4u) << "one retained message per board notice at most, not per transition";
  std::printf(
      "figures: %d transitions -> %zu notices (%d raised, %d cleared, %d chattering), "
      "%zu retained alarms messages\n",
      transitions, Count(ms, kNotices), kinds["raised"], kinds["cleared"], kinds["chattering"],
      alarms_sent);

  // From the first alarms message that says chattering on, the entity and
  // the device's alarm stay on: they do not flap with the point.
  const Json::Value point = AlarmConfig("alarm_" + kId);
  const Json::Value any = AlarmConfig("alarm");
  ASSERT_TRUE(point.isObject());
  bool chattering = false;
  std::string last_payload;
  for (const Message& m : ms) {
    if (m.topic != kAlarms || m.payload.empty()) continue;
    last_payload = m.payload;
    chattering |= Parse(m.payload)["listed"][kId]["state"].asString() == "chattering";
    if (!chattering) continue;
    EXPECT_EQ("ON", Render(s.dir, point["value_template"].asString(), m.payload)) << m.payload;
    EXPECT_EQ("ON", Render(s.dir, any["value_template"].asString(), m.payload)) << m.payload;
  }
  EXPECT_TRUE(chattering);
  const Json::Value attrs =
      Parse(Render(s.dir, point["json_attributes_template"].asString(), last_payload));
  EXPECT_EQ("chattering", attrs["state"].asString()) << attrs;
  EXPECT_FALSE(attrs["acknowledged"].asBool()) << attrs;
  const Json::Value last = Payloads(ms, kAlarms).back();
  EXPECT_EQ("chattering", last["listed"][kId]["state"].asString()) << last;
  EXPECT_EQ(1u, last["annunciated"].asUInt()) << last;
  EXPECT_TRUE(last["maintenance"].isNull()) << last;
}

// Acknowledged by command: the door runs it once (the same request id again
// is refused, as for control), the retained alarms and a notice say so, and
// the audit has a row for each attempt.
TEST(MqttAlarmBoard, AcknowledgeByCommandRunsOnceThroughTheDoor) {
  Site s;
  ASSERT_TRUE(s.broker->Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  k417t_test::Observer obs(s.broker->port());
  ASSERT_TRUE(obs.Ready(10));
  s.Start({110});
  ASSERT_TRUE(obs.WaitTopic("k417t/gateway/alarm-test/availability", "online", 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // subscribed
  s.view->Board().OnEvents(100, {Low(true, Now())}, Now());
  ASSERT_TRUE(WaitAlarms(obs, [](const Json::Value& a) {
    return a["listed"][kId]["state"].asString() == "active_unacknowledged" &&
           a["active"].isMember(kId) == false;  // the host itself polled nothing
  }));

  const std::string ack = R"({"action":"acknowledge","alarm":")" + kId +
                          R"(","comment":"seen","request_id":"a-1","time":)" +
                          std::to_string(Now()) + "}";
  obs.Publish(kSet, ack);
  ASSERT_TRUE(WaitCount(obs, kResult, 1));
  ASSERT_TRUE(WaitAlarms(obs, [](const Json::Value& a) {
    return a["listed"][kId]["state"].asString() == "active_acknowledged";
  }));
  obs.Publish(kSet, ack);  // a replay
  ASSERT_TRUE(WaitCount(obs, kResult, 2));
  ASSERT_TRUE(obs.WaitTopic(kNotices, "\"acknowledged\"", 10));
  s.exporter->Stop();

  const auto results = Payloads(obs.All(), kResult);
  ASSERT_EQ(2u, results.size());
  EXPECT_EQ("done", results[0]["result"].asString()) << results[0];
  EXPECT_EQ("a-1", results[0]["request_id"].asString());
  EXPECT_EQ("refused", results[1]["result"].asString());
  EXPECT_NE(std::string::npos, results[1]["reason"].asString().find("already run"));
  const Json::Value last = Payloads(obs.All(), kAlarms).back();
  EXPECT_TRUE(last["listed"][kId]["acknowledged"].asBool()) << last;
  EXPECT_EQ("seen", last["listed"][kId]["ack"]["comment"].asString()) << last;
  EXPECT_EQ(0u, last["unacknowledged"].asUInt()) << last;
  const auto audit = s.Audit();
  ASSERT_EQ(2u, audit.size());
  EXPECT_EQ("done", audit[0].outcome);
  EXPECT_EQ("refused", audit[1].outcome);
  EXPECT_NE(std::string::npos, audit[1].reason.find("already run")) << audit[1].reason;
  for (const auto& a : audit) EXPECT_EQ("mqtt", a.via);
}

// With MQTT control off for the device, and for malformed or retained
// messages, nothing reaches the board: each is answered refused, audited
// (a flood as a count), and the alarm stays unacknowledged.
TEST(MqttAlarmBoard, RefusedActionsAreAuditedAndChangeNothing) {
  Site s;
  ASSERT_TRUE(s.broker->Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  k417t_test::Observer obs(s.broker->port());
  ASSERT_TRUE(obs.Ready(10));
  s.Start({});  // control off
  ASSERT_TRUE(obs.WaitTopic("k417t/gateway/alarm-test/availability", "online", 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  s.view->Board().OnEvents(100, {Low(true, Now())}, Now());
  ASSERT_TRUE(WaitAlarms(obs, [](const Json::Value& a) { return a["listed"].isMember(kId); }));

  obs.Publish(kSet, R"({"action":"acknowledge","alarm":")" + kId + R"("})");
  ASSERT_TRUE(WaitCount(obs, kResult, 1));
  const std::vector<std::string> malformed = {
      "not json",
      "[1,2]",
      R"({"action":"acknowledge"})",
      R"({"action":"explode","alarm":"21_DC_3_0"})",
      R"({"action":"shelve","alarm":"21_DC_3_0"})",
      R"({"action":"shelve","alarm":"21_DC_3_0","duration_s":-5})",
      R"({"action":{"x":1},"alarm":[1]})",
      R"({"action":"acknowledge","alarm":"21_DC_3_0","comment":7})",
      R"({"action":"acknowledge","alarm":"21_DC_3_0","extra\n\u001b":1})",
      R"({"action":"acknowledge","alarm":"21_DC_3_0","request_id":{"a":1}})",
      std::string(5000, '{'),
      std::string("{\"action\":\"acknowledge\",\0}", 26),
  };
  for (const std::string& p : malformed) obs.Publish(kSet, p);
  ASSERT_TRUE(WaitCount(obs, kResult, 5));  // the results' bucket: a burst of 5, then 1 a second
  obs.Publish(kSet, R"({"action":"acknowledge","alarm":")" + kId + R"("})", true);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const MqttStats st = s.exporter->stats();
  EXPECT_EQ(1 + malformed.size() + 1, st.control_refused);
  EXPECT_EQ(0u, st.alarm_actions) << "nothing reached the board's door";
  s.exporter->Stop();

  for (const Json::Value& r : Payloads(obs.All(), kResult))
    EXPECT_EQ("refused", r["result"].asString()) << r;
  const auto first = Payloads(obs.All(), kResult).front();
  EXPECT_NE(std::string::npos, first["reason"].asString().find("control is off")) << first;
  // The first refusal audited at once, the rest of the flood as one count.
  const auto audit = s.Audit();
  ASSERT_EQ(2u, audit.size());
  EXPECT_NE(std::string::npos, audit[0].reason.find("alarm action acknowledge " + kId))
      << audit[0].reason;
  EXPECT_NE(std::string::npos, audit[1].reason.find("more control requests on " + kSet))
      << audit[1].reason;
  const Json::Value last = Payloads(obs.All(), kAlarms).back();
  EXPECT_EQ("active_unacknowledged", last["listed"][kId]["state"].asString()) << last;
  for (const std::string& l : s.lines)
    for (const char c : l) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20) << l;
}

// A controller that stops answering: its alarms read unknown (not active)
// in the retained alarms and in Home Assistant, and the operators get the
// device's "unknown" notice.
TEST(MqttAlarmBoard, LostDevicesAlarmsShowUnknown) {
  Site s;
  ASSERT_TRUE(s.broker->Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  k417t_test::Observer obs(s.broker->port());
  ASSERT_TRUE(obs.Ready(10));
  s.Start({110});
  ASSERT_TRUE(obs.WaitTopic("k417t/gateway/alarm-test/availability", "online", 10));
  s.view->Board().OnEvents(100, {Low(true, Now())}, Now());
  ASSERT_TRUE(WaitAlarms(obs, [](const Json::Value& a) { return a["annunciated"].asUInt() == 1; }));
  s.view->Board().OnLink(100, false, Now());
  ASSERT_TRUE(WaitAlarms(
      obs, [](const Json::Value& a) { return a["listed"][kId]["state"].asString() == "unknown"; }));
  ASSERT_TRUE(obs.WaitTopic(kNotices, "\"unknown\"", 10));
  s.exporter->Stop();

  const std::vector<Message> ms = obs.All();
  std::string payload;
  for (const Message& m : ms)
    if (m.topic == kAlarms) payload = m.payload;
  const Json::Value last = Parse(payload);
  EXPECT_TRUE(last["listed"][kId]["unknown"].asBool()) << last;
  EXPECT_FALSE(last["listed"][kId]["annunciated"].asBool()) << last;
  EXPECT_EQ(0u, last["annunciated"].asUInt()) << last;
  EXPECT_EQ("None",
            Render(s.dir, AlarmConfig("alarm_" + kId)["value_template"].asString(), payload))
      << "unknown in Home Assistant";
  EXPECT_EQ("OFF", Render(s.dir, AlarmConfig("alarm")["value_template"].asString(), payload));
  bool device_notice = false;
  for (const Json::Value& n : Payloads(ms, kNotices))
    device_notice |= n["kind"].asString() == "unknown" && n["key"].asString().empty();
  EXPECT_TRUE(device_notice);
  // The English name, when the label table has one, names the entity.
  EXPECT_EQ("Low voltage, DC unit 21 (" + kId + ")",
            AlarmConfig("alarm_" + kId, "Low voltage")["name"].asString());
}
