// Control from a real broker through the view's door, with the history's
// audit trail: what runs, what is refused, and what the audit and the log
// say about each attempt.
#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/mqtt_export.h"
#include "support/mqtt_broker.h"

namespace {

using namespace qmx;
using namespace qmx::exporter;

const std::string kSet = "k417t/power-1/control/set";
const std::string kResult = "k417t/power-1/control/result";

// A site without controllers behind its view: a command that gets through
// the door reaches the host, which answers "no device 100". That answer is
// how a test tells a command that ran from one refused before.
struct Site {
  std::string dir = (std::filesystem::temp_directory_path() / "k417t-mqttctl-XXXXXX").string();
  std::mutex mu;
  std::vector<std::string> lines;  // the host's and the export's log
  std::shared_ptr<SiteHost> host;
  std::unique_ptr<view::SiteView> view;
  std::unique_ptr<k417t_test::Broker> broker;
  std::unique_ptr<MqttExport> exporter;

  Site() {
    EXPECT_NE(nullptr, mkdtemp(dir.data()));
    SiteHost::Options o;
    o.db_path = dir + "/h.db";
    host = std::make_shared<SiteHost>(o, [this](const std::string& l) { Log(l); });
    view = std::make_unique<view::SiteView>(*host);
    broker = std::make_unique<k417t_test::Broker>(dir);
  }
  ~Site() {
    if (exporter) exporter->Stop();
    broker->Kill();
    std::filesystem::remove_all(dir);
  }
  void Log(const std::string& l) {
    std::lock_guard<std::mutex> lock(mu);
    lines.push_back(l);
  }
  void Start(std::set<int> control) {
    MqttConfig cfg;
    cfg.host = "127.0.0.1";
    cfg.port = broker->port();
    cfg.client_id = "control-test";
    cfg.check_every_ms = 10;
    MqttDevice d;
    d.id = 100;
    d.name = d.topic = "power-1";
    d.control = std::move(control);
    cfg.devices.push_back(d);
    exporter = std::make_unique<MqttExport>(cfg, MqttSource::Of(*view),
                                            [this](const std::string& l) { Log(l); });
    exporter->Start();
  }
  std::vector<store::AuditEntry> Audit() {
    host->history()->Flush();
    return view->History()->Audit(0, INT64_MAX, 1000);
  }
  std::vector<std::string> Lines(const std::string& with) {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<std::string> out;
    for (const std::string& l : lines)
      if (l.find(with) != std::string::npos) out.push_back(l);
    return out;
  }
};

size_t Count(const std::vector<store::AuditEntry>& audit, const std::string& reason) {
  size_t n = 0;
  for (const store::AuditEntry& a : audit) n += a.reason.find(reason) != std::string::npos;
  return n;
}

size_t Results(const std::vector<k417t_test::Message>& ms) {
  size_t n = 0;
  for (const auto& m : ms) n += m.topic == kResult;
  return n;
}

bool WaitResults(k417t_test::Observer& obs, size_t n) {
  return obs.WaitFor([n](const std::vector<k417t_test::Message>& ms) { return Results(ms) >= n; },
                     10);
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace

// A control message kept on the broker (published with retain) is handed
// over at every connect: it never runs, not at the first connect nor after a
// reconnect, and leaves one audit row and one log line with how to clear it.
TEST(MqttControlBroker, RetainedMessageRunsNothingAlsoAfterAReconnect) {
  Site s;
  ASSERT_TRUE(s.broker->Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  k417t_test::Observer obs(s.broker->port());
  ASSERT_TRUE(obs.Ready(10));
  const std::string payload = R"({"code":110,"byte":1})";
  obs.Publish(kSet, payload, true);
  s.Start({110});
  ASSERT_TRUE(obs.WaitTopic(kResult, "retained", 10));

  // The broker restarts (it forgets what it kept, so the message is kept
  // again): the export reconnects and is handed it once more.
  s.broker->Kill();
  ASSERT_TRUE(s.broker->Start());
  ASSERT_TRUE(obs.Ready(15));
  obs.Publish(kSet, payload, true);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < until &&
         (s.exporter->stats().connects < 2 || s.exporter->stats().retained_again < 1))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_GE(s.exporter->stats().connects, 2u);
  EXPECT_EQ(1u, s.exporter->stats().retained_again);
  s.exporter->Stop();

  const auto audit = s.Audit();
  ASSERT_EQ(1u, audit.size());
  EXPECT_EQ("refused", audit[0].outcome);
  EXPECT_EQ(110, audit[0].code);
  EXPECT_EQ("mqtt", audit[0].via);
  EXPECT_NE(std::string::npos, audit[0].reason.find("mosquitto_pub -r -n -t " + kSet));
  EXPECT_EQ(0u, Count(audit, "no device")) << "nothing reached the host";
  EXPECT_EQ(1u, s.Lines("control: mqtt").size());
  EXPECT_TRUE(s.Lines("control code").empty()) << "the host was never asked";
}

// The request's id goes to the door: the same id twice runs once; a request
// whose time is older than the door takes is refused; the result carries the
// id. Each attempt leaves one audit row and one log line.
TEST(MqttControlBroker, SameIdRunsOnceAndAnOldRequestNotAtAll) {
  Site s;
  ASSERT_TRUE(s.broker->Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  k417t_test::Observer obs(s.broker->port());
  ASSERT_TRUE(obs.Ready(10));
  s.Start({110});
  ASSERT_TRUE(obs.WaitTopic("k417t/gateway/control-test/availability", "online", 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // subscribed

  const std::string now = std::to_string(Now());
  const std::string request = R"({"code":110,"byte":1,"id":"r-42","time":)" + now + "}";
  obs.Publish(kSet, request);
  ASSERT_TRUE(WaitResults(obs, 1));
  obs.Publish(kSet, request);
  ASSERT_TRUE(WaitResults(obs, 2));
  obs.Publish(kSet,
              R"({"code":110,"byte":1,"id":"r-43","time":)" + std::to_string(Now() - 120) + "}");
  ASSERT_TRUE(WaitResults(obs, 3));
  s.exporter->Stop();

  const auto audit = s.Audit();
  ASSERT_EQ(3u, audit.size());
  EXPECT_EQ(1u, Count(audit, "no device 100")) << "ran once";
  EXPECT_EQ(1u, Count(audit, "already run"));
  // The request was sent 120 s before the door looked: a slow machine (qemu)
  // may see it a second later.
  EXPECT_EQ(1u, Count(audit, " s ago (at most"));
  for (const auto& a : audit) EXPECT_FALSE(a.request_id.empty());
  EXPECT_EQ(3u, s.Lines("control: mqtt").size());
  EXPECT_TRUE(s.Lines("from the broker").empty()) << "the door's line is the only one";
  size_t with_id = 0;
  for (const auto& m : obs.All()) {
    if (m.topic != kResult) continue;
    Json::Value v;
    std::istringstream(m.payload) >> v;
    with_id += v["id"].asString() == "r-42" || v["id"].asString() == "r-43";
  }
  EXPECT_EQ(3u, with_id);
}

// With control off (the default), a member name sent to forge a log line is
// one log line, with the newline and ESC shown, not acted on.
TEST(MqttControlBroker, ForgedMemberNameMakesOneSafeLogLine) {
  Site s;
  ASSERT_TRUE(s.broker->Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  k417t_test::Observer obs(s.broker->port());
  ASSERT_TRUE(obs.Ready(10));
  s.Start({});
  ASSERT_TRUE(obs.WaitTopic("k417t/gateway/control-test/availability", "online", 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  obs.Publish(kSet, "{\"\\nalarm cleared 22 #5 [DC_3] 06001 FAKE (critical)\\u001b[2J\":1}");
  ASSERT_TRUE(WaitResults(obs, 1));
  s.exporter->Stop();
  const auto fake = s.Lines("FAKE");
  ASSERT_EQ(1u, fake.size());
  EXPECT_EQ(0u, fake[0].find("control: mqtt")) << fake[0];
  EXPECT_NE(std::string::npos, fake[0].find("\\x0Aalarm cleared")) << fake[0];
  EXPECT_NE(std::string::npos, fake[0].find("\\x1B[2J")) << fake[0];
  for (const char c : fake[0]) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20) << fake[0];
  EXPECT_EQ(1u, s.Audit().size());
}

// A flood of refused requests on one topic: the first is audited at once,
// the rest as one row with their count (here at the stop, before the 30 s).
TEST(MqttControlBroker, FloodOfRefusalsIsAuditedAsACount) {
  Site s;
  ASSERT_TRUE(s.broker->Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";
  k417t_test::Observer obs(s.broker->port());
  ASSERT_TRUE(obs.Ready(10));
  s.Start({110});
  ASSERT_TRUE(obs.WaitTopic("k417t/gateway/control-test/availability", "online", 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int i = 0; i < 50; ++i) obs.Publish(kSet, R"({"code":110)");
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until && s.exporter->stats().control_refused < 50)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(50u, s.exporter->stats().control_refused);
  EXPECT_EQ(49u, s.exporter->stats().refusals_counted);
  s.exporter->Stop();
  const auto audit = s.Audit();
  ASSERT_EQ(2u, audit.size());
  EXPECT_NE(std::string::npos, audit[1].reason.find("49 more control requests on " + kSet))
      << audit[1].reason;
  EXPECT_EQ(2u, s.Lines("control: mqtt").size());
}
