// The real host's exchange bookkeeping over an in-memory line, with the test
// playing the power system.
#include "site/site_host.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "controller/k417t.h"
#include "support/power_system.h"
#include "wire/frame_codec.h"
#include "wire/memory_transport.h"

extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

struct Site {
  std::vector<std::string> log;
  std::shared_ptr<qmx::SiteHost> host;
  std::shared_ptr<QMXController> host_ctrl;
  std::shared_ptr<K417T> ctrl = std::make_shared<K417T>();
  std::unique_ptr<qmx::wire::MemoryTransport> device;  // the power system's end

  Site() {
    qmx::SiteHost::Options o;
    o.poll_tick_ms = 10000;  // no re-send on its own during the test
    host = std::make_shared<qmx::SiteHost>(o, [this](const std::string& l) { log.push_back(l); });
    host_ctrl =
        std::make_shared<QMXController>(std::shared_ptr<qmx::HostServices>(host, host.get()));
    ctrl->Init(host_ctrl, 100);
    Json::Value s(Json::objectValue);
    s["timeout_ms"] = 50;
    s["rcSetting"] = Json::Value(Json::objectValue);
    EXPECT_TRUE(ctrl->InitSetting(s));
    auto pair = qmx::wire::MemoryTransport::make_pair();
    device = std::move(pair.second);
    host->AddDevice(ctrl, std::move(pair.first));
  }
  ~Site() { host->Shutdown(); }

  std::string Received() {
    uint8_t buf[256];
    const long n = device->read(buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, buf + n) : std::string();
  }
  void AnswerModel(const std::string& model) {
    std::vector<uint8_t> info(model.begin(), model.end());
    info.resize(20, ' ');
    Answer(0x40, 0x00, info);
  }
  void Answer(uint8_t cid1, uint8_t rtn, const std::vector<uint8_t>& info) {
    const auto f = qmx::wire::encode_frame(0x21, 0x01, cid1, rtn, info);
    device->write(f.data(), f.size());
  }
};

std::vector<uint8_t> Info(const std::string& text) { return {text.begin(), text.end()}; }

}  // namespace

TEST(SiteHost, AnswerAfterItsTimeOutIsDroppedNotTakenForTheNextStep) {
  Site s;
  s.host->RunOnce(0);
  EXPECT_NE(std::string::npos, s.Received().find("40510000"));  // the model query
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  s.host->RunOnce(0);  // time-out: the exchange ends
  EXPECT_EQ(1u, s.host->stats(*s.ctrl).timeouts);
  s.AnswerModel("K417T");  // ... and the answer comes late
  s.host->RunOnce(5);
  EXPECT_EQ(1u, s.host->stats(*s.ctrl).late);
  EXPECT_EQ(1, s.ctrl->check_model);
  EXPECT_EQ(14, s.ctrl->cmd_step);
}

TEST(SiteHost, ModelAlarmOfTheControllerIsCommittedAtOnce) {
  Site s;
  s.host->RunOnce(0);
  s.Received();
  s.AnswerModel("K999X");
  s.host->RunOnce(5);
  EXPECT_EQ(0, s.ctrl->check_model);
  auto active = s.host->ActiveAlarms();
  ASSERT_EQ(1u, active.size());
  EXPECT_EQ("device_model", active[0].key);
  EXPECT_EQ("70319", active[0].code);
  EXPECT_EQ("本驱动类型:k417t 检测型号:K999X", active[0].text);
  EXPECT_TRUE(s.ctrl->pending_rules.empty());
  // the round request went out right after the answer
  EXPECT_NE(std::string::npos, s.Received().find("4141"));
}

TEST(ControllerModel, TextLosesItsPaddingAndShowsOddBytesAsQuestionMarks) {
  auto read = [](const std::vector<uint8_t>& info) {
    const qmx::ControllerModel m = qmx::ReadModelAnswer(info.data(), info.size());
    return m.model + "|" + m.version;
  };
  std::vector<uint8_t> blanks = Info("K417T");
  blanks.resize(20, ' ');
  std::vector<uint8_t> nuls = Info("K417T");
  nuls.resize(20, 0);
  std::vector<uint8_t> mixed = Info("K417T \0 \0");
  mixed.resize(20, ' ');
  EXPECT_EQ("K417T|", read(blanks));
  EXPECT_EQ("K417T|", read(nuls));
  EXPECT_EQ("K417T|", read(mixed));
  // Inside the text a blank stays; a NUL, a control byte and a byte above
  // ASCII do not.
  std::vector<uint8_t> odd = Info("K4 7T");
  odd.insert(odd.end(), {0x00, 0x07, 0xB0, 0x7F, 'X'});
  odd.resize(20, 0);
  EXPECT_EQ("K4 7T????X|", read(odd));
  EXPECT_EQ("|", read(std::vector<uint8_t>(20, ' ')));
  EXPECT_EQ("K4|", read(Info("K4")));  // fewer than 20 bytes: what came
  EXPECT_EQ("|", read({}));
  EXPECT_EQ("|", qmx::ReadModelAnswer(nullptr, 22).model + "|" +
                     qmx::ReadModelAnswer(nullptr, 22).version);
}

TEST(ControllerModel, VersionIsTheTwoBytesAfterTheTextInDecimal) {
  auto read = [](const std::vector<uint8_t>& info) {
    const qmx::ControllerModel m = qmx::ReadModelAnswer(info.data(), info.size());
    return m.model + "|" + m.version;
  };
  std::vector<uint8_t> info = Info("ABCDEFGHIJKLMNOPQRSTUVWX");  // 24 bytes: all text
  EXPECT_EQ("ABCDEFGHIJKLMNOPQRST|85.86", read(info));           // 'U' 'V'
  info.resize(21);
  EXPECT_EQ("ABCDEFGHIJKLMNOPQRST|", read(info));  // one version byte is none
  std::vector<uint8_t> k = Info("K417T");
  k.resize(20, ' ');
  k.insert(k.end(), {0x01, 0x14});
  EXPECT_EQ("K417T|1.20", read(k));
  k[20] = 0;
  k[21] = 255;
  EXPECT_EQ("K417T|0.255", read(k));
}

TEST(SiteHost, SnapshotKeepsTheModelAnswerOnlyOfTheModelQuery) {
  {
    Site s;
    s.host->RunOnce(0);
    s.Received();
    std::vector<uint8_t> refused = Info("K999X");
    refused.resize(22, 0x01);
    s.Answer(0x40, 0x04, refused);  // a return code other than 0: nothing kept
    s.host->RunOnce(5);
    EXPECT_EQ(1u, s.host->stats(*s.ctrl).answers);
    EXPECT_EQ("", s.host->Snapshot(100)->model);
    EXPECT_EQ("", s.host->Snapshot(100)->version);
  }
  Site s;
  s.host->RunOnce(0);
  s.Received();
  std::vector<uint8_t> model = Info("K417T");
  model.resize(20, 0);
  model.insert(model.end(), {0x02, 0x07});
  s.Answer(0x40, 0x00, model);
  s.host->RunOnce(5);
  // the next request, answered with bytes that look like a model answer
  const std::string next = s.Received();
  ASSERT_NE(std::string::npos, next.find("4141")) << next;
  std::vector<uint8_t> other = Info("NOT-A-MODEL");
  other.resize(22, 0x09);
  s.Answer(0x40, 0x00, other);
  s.host->RunOnce(5);
  EXPECT_EQ(2u, s.host->stats(*s.ctrl).answers);
  EXPECT_EQ("K417T", s.host->Snapshot(100)->model);
  EXPECT_EQ("2.7", s.host->Snapshot(100)->version);
}

// ---- lines on their own threads, with simulated power systems ----

namespace {

using namespace std::chrono_literals;

// Waits for a condition the line threads bring about; false after 20 s.
template <typename F>
bool Eventually(F done) {
  for (int i = 0; i < 4000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return done();
}

struct ThreadedSite {
  std::vector<std::string> log;
  std::mutex log_mu;
  std::shared_ptr<qmx::SiteHost> host;
  std::vector<std::shared_ptr<QMXController>> host_ctrls;
  std::vector<std::shared_ptr<K417T>> ctrls;
  std::vector<std::unique_ptr<k417t_test::PowerSystemThread>> power;

  explicit ThreadedSite(const std::string& db = "") {
    qmx::SiteHost::Options o;
    o.db_path = db;
    host = std::make_shared<qmx::SiteHost>(o, [this](const std::string& l) {
      std::lock_guard<std::mutex> lock(log_mu);
      log.push_back(l);
    });
    host->OpenHistory();
  }
  ~ThreadedSite() { host->Shutdown(); }

  std::shared_ptr<K417T> Controller(unsigned id, int address = 1) {
    auto host_ctrl =
        std::make_shared<QMXController>(std::shared_ptr<qmx::HostServices>(host, host.get()));
    auto k = std::make_shared<K417T>();
    k->Init(host_ctrl, id);
    EXPECT_TRUE(k->InitSetting(k417t_test::SmallSetting(address, 1000, id)));
    host_ctrls.push_back(host_ctrl);
    ctrls.push_back(k);
    return k;
  }
  // A controller on a line of its own with a power system answering (or a
  // port that cannot be opened).
  std::shared_ptr<K417T> AddDevice(unsigned id, bool port_opens = true) {
    auto k = Controller(id);
    auto pair = qmx::wire::MemoryTransport::make_pair("line-" + std::to_string(id));
    if (!port_opens) {
      pair.first->close();
      pair.first->set_open_fails(true);
    } else {
      k417t_test::PowerSystem system(std::move(pair.second), {1});
      system.controllers[0] = k417t::sim::Simulator::Create(ControlScenario(1), nullptr);
      power.push_back(std::make_unique<k417t_test::PowerSystemThread>(std::move(system)));
    }
    EXPECT_TRUE(host->AddDevice(k, std::move(pair.first)));
    return k;
  }
  // Command 100 (bytes 10 00) answers with return code 7.
  static Json::Value ControlScenario(int address) {
    Json::Value s = k417t_test::SmallScenario(address);
    s["control_rtn"]["10"] = 7;
    return s;
  }
  bool Logged(const std::string& part) {
    std::lock_guard<std::mutex> lock(log_mu);
    for (const auto& l : log)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
};

}  // namespace

TEST(SiteHostLines, ControlFromAnyThreadGetsTheControllersReturnCode) {
  ThreadedSite s;
  s.AddDevice(100);
  testing::internal::CaptureStdout();
  s.host->Start();
  ASSERT_TRUE(Eventually([&] { return s.host->rounds(100) >= 1; }));
  qmx::ControlResult r;
  std::thread([&] { r = s.host->Control(100, 100, {}); }).join();
  EXPECT_EQ(7, r.result) << r.reason;
  EXPECT_EQ(7, s.host->ControlQuery(100).result);
  // a command whose byte is missing, and a device that does not exist
  r = s.host->Control(100, 106, {});
  EXPECT_EQ(-1, r.result);
  EXPECT_FALSE(r.reason.empty());
  r = s.host->Control(999, 100, {});
  EXPECT_EQ(-1, r.result);
  EXPECT_NE(std::string::npos, r.reason.find("no device 999"));
  EXPECT_EQ(-1, s.host->ControlQuery(999).result);
  s.host->Stop();
  testing::internal::GetCapturedStdout();
}

TEST(SiteHostLines, PortThatCannotOpenHoldsOnlyItsOwnLine) {
  ThreadedSite s;
  s.AddDevice(100);
  s.AddDevice(200, false);
  testing::internal::CaptureStdout();
  s.host->Start();
  EXPECT_TRUE(Eventually([&] { return s.host->rounds(100) >= 1; }));
  const auto start = std::chrono::steady_clock::now();
  const qmx::ControlResult r = s.host->Control(200, 100, {});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);  // no waiting for a dead line
  s.host->Stop();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(-1, r.result);
  EXPECT_NE(std::string::npos, r.reason.find("down")) << r.reason;
  EXPECT_EQ(0u, s.host->rounds(200));
  EXPECT_TRUE(s.Logged("cannot open"));
}

TEST(SiteHostLines, SnapshotHoldsWhatTheLastRoundLeft) {
  ThreadedSite s;
  s.AddDevice(100);
  std::mutex mu;
  std::vector<qmx::RoundReport> reports;
  s.host->SetReportSink([&](const qmx::RoundReport& r) {
    std::lock_guard<std::mutex> lock(mu);
    reports.push_back(r);
  });
  testing::internal::CaptureStdout();
  s.host->Start();
  // The report is posted behind the round's alarm commits on the job thread,
  // so it lands a moment after the line counts the round.
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mu);
    return s.host->rounds(100) >= 1 && !reports.empty();
  }));
  s.host->Stop();
  testing::internal::GetCapturedStdout();
  const auto snap = s.host->Snapshot(100);
  ASSERT_TRUE(snap.has_value());
  EXPECT_TRUE(snap->answering);
  EXPECT_GE(snap->rounds, 1u);
  EXPECT_GT(snap->last_round, 0);
  EXPECT_EQ(snap->line_stats.requests, snap->line_stats.answers);
  // AC 101, DC 102 and 103, and the rectifier group under the controller's id
  std::set<std::pair<unsigned, int>> images;
  for (const auto& u : snap->images) images.insert({u.data_id, u.type});
  EXPECT_EQ(
      (std::set<std::pair<unsigned, int>>{{100, 5092}, {101, 5091}, {102, 5093}, {103, 5093}}),
      images);
  // The round report carries the same images as the round left them.
  std::lock_guard<std::mutex> lock(mu);
  ASSERT_FALSE(reports.empty());
  std::set<std::pair<unsigned, int>> reported;
  for (const auto& u : reports.back().images) reported.insert({u.data_id, u.type});
  EXPECT_EQ(images, reported);
  EXPECT_FALSE(s.host->Snapshot(7).has_value());
}

TEST(SiteHostLines, SnapshotCarriesTheModelAndVersionTheControllerReports) {
  ThreadedSite s;
  s.AddDevice(100);  // the simulator's own model and version
  auto k = s.Controller(200);
  auto pair = qmx::wire::MemoryTransport::make_pair("line-200");
  Json::Value scenario = k417t_test::SmallScenario(1);
  scenario["model_padding"] = "nul";
  scenario["version"] = "3.4";
  k417t_test::PowerSystem system(std::move(pair.second), {1});
  system.controllers[0] = k417t::sim::Simulator::Create(scenario, nullptr);
  ASSERT_NE(nullptr, system.controllers[0]);
  s.power.push_back(std::make_unique<k417t_test::PowerSystemThread>(std::move(system)));
  ASSERT_TRUE(s.host->AddDevice(k, std::move(pair.first)));
  EXPECT_EQ("", s.host->Snapshot(100)->model);  // nothing asked yet
  testing::internal::CaptureStdout();
  s.host->Start();
  ASSERT_TRUE(Eventually([&] { return s.host->rounds(100) >= 1 && s.host->rounds(200) >= 1; }));
  s.host->Stop();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ("K417T", s.host->Snapshot(100)->model);
  EXPECT_EQ("1.20", s.host->Snapshot(100)->version);
  EXPECT_EQ("K417T", s.host->Snapshot(200)->model);
  EXPECT_EQ("3.4", s.host->Snapshot(200)->version);
  // the plug-in took the longer answer as its model: no model alarm
  EXPECT_TRUE(s.host->ActiveAlarms().empty());
}

TEST(SiteHostLines, UnitsAreStoredAndRestoredUnderTheTypeTheyPublish) {
  char dir[] = "/tmp/k417t-site-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string db = std::string(dir) + "/h.db";
  {
    ThreadedSite s(db);
    s.AddDevice(100);
    testing::internal::CaptureStdout();
    s.host->Start();
    ASSERT_TRUE(Eventually([&] { return s.host->rounds(100) >= 1; }));
    s.host->Shutdown();
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(1u, s.host->history()->LastImages(100).size());
    EXPECT_EQ(5092, s.host->history()->LastImages(100)[0].first);
    EXPECT_EQ(5093, s.host->history()->LastImages(102)[0].first);
  }
  ThreadedSite again(db);
  auto k = again.Controller(100);
  testing::internal::CaptureStdout();
  again.host->RestoreUnits(*k);
  testing::internal::GetCapturedStdout();
  // the rectifier group shares the controller's identifier and still gets its own image
  EXPECT_FALSE(again.host->LastImage(100, 5092).empty());
  std::shared_ptr<QMXVDevice> rc;
  for (const auto& unit : k->GetAllChildVDevices())
    if (unit && unit->DeviceType() == "k417t-rc") rc = unit;
  ASSERT_NE(nullptr, rc);
  EXPECT_FALSE(again.host->LastImage(*rc).empty());
  ASSERT_NE(nullptr, k->GetChildVDevice(102));
  EXPECT_FLOAT_EQ(53.5f, k->GetChildVDevice(102)->Get_Value(102, "v"));
  std::system(("rm -rf " + std::string(dir)).c_str());
}

// A controller that stops answering raises its device's communication alarm
// (once, in the history too) and its values are stale; its next round clears
// it, in that round's report.
TEST(SiteHostLines, SilentControllerRaisesTheCommunicationAlarmUntilItAnswers) {
  char dir[] = "/tmp/k417t-site-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  ThreadedSite s(std::string(dir) + "/h.db");
  auto k = s.AddDevice(100);
  k->response_timeout_ms = 100;
  std::mutex mu;
  std::vector<qmx::LinkReport> links;
  std::vector<std::string> round_events;
  s.host->SetLinkSink([&](const qmx::LinkReport& r) {
    std::lock_guard<std::mutex> lock(mu);
    links.push_back(r);
  });
  s.host->SetReportSink([&](const qmx::RoundReport& r) {
    std::lock_guard<std::mutex> lock(mu);
    for (const auto& e : r.events) round_events.push_back(e.key + (e.raised ? "+" : "-"));
  });
  testing::internal::CaptureStdout();
  s.host->Start();
  ASSERT_TRUE(Eventually([&] { return s.host->rounds(100) >= 1; }));
  EXPECT_FALSE(s.host->Snapshot(100)->stale);
  s.power[0]->SetSilent(true);
  ASSERT_TRUE(Eventually([&] { return s.host->Snapshot(100)->stale; }));
  EXPECT_TRUE(s.host->ActiveAlarms().size() == 1 &&
              s.host->ActiveAlarms()[0].key == qmx::kCommAlarmKey);
  const uint64_t rounds = s.host->rounds(100);
  s.power[0]->SetSilent(false);
  ASSERT_TRUE(Eventually([&] { return s.host->rounds(100) > rounds; }));
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mu);
    return !round_events.empty();
  }));
  s.host->Shutdown();
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(s.host->Snapshot(100)->stale);
  EXPECT_TRUE(s.host->ActiveAlarms().empty());
  ASSERT_EQ(2u, links.size());
  EXPECT_FALSE(links[0].answering);
  EXPECT_EQ(3, links[0].missed);
  ASSERT_EQ(1u, links[0].events.size());
  EXPECT_TRUE(links[0].events[0].raised);
  EXPECT_TRUE(links[1].answering);
  // The clear is reported once, with the round that brought it back.
  EXPECT_TRUE(links[1].events.empty());
  EXPECT_EQ(std::vector<std::string>{"comm-"}, round_events);
  const auto stored = s.host->history()->Events(100, 0, INT64_MAX);
  ASSERT_EQ(2u, stored.size());
  EXPECT_TRUE(stored[0].event.raised && !stored[1].event.raised);
  std::system(("rm -rf " + std::string(dir)).c_str());
}

TEST(SiteHostLines, TwoControllersOnOnePortWithDifferentAddressesBothPoll) {
  ThreadedSite s;
  auto a = s.Controller(100, 1);
  auto b = s.Controller(200, 2);
  auto pair = qmx::wire::MemoryTransport::make_pair("bus");
  s.power.push_back(std::make_unique<k417t_test::PowerSystemThread>(
      k417t_test::PowerSystem(std::move(pair.second), {1, 2})));
  const size_t line = s.host->AddLine(std::move(pair.first));
  EXPECT_TRUE(s.host->AddDevice(a, line));
  EXPECT_TRUE(s.host->AddDevice(b, line));
  EXPECT_FALSE(s.host->AddDevice(s.Controller(300, 2), line));  // address 2 is taken
  testing::internal::CaptureStdout();
  s.host->Start();
  EXPECT_TRUE(Eventually([&] { return s.host->rounds(100) >= 1 && s.host->rounds(200) >= 1; }));
  s.host->Stop();
  testing::internal::GetCapturedStdout();
  const auto st = s.host->stats(*a);
  EXPECT_EQ(0u, st.timeouts + st.late + st.dropped);
}

// A site file reloaded: one line stops and its device goes while the other
// line polls on; a device on a new line starts; a device that starts again
// takes over what it had raised, and its first round clears what it no
// longer states; the alarms of a device that went are cleared in the history.
TEST(SiteHostLines, LinesComeAndGoWhileTheOthersPoll) {
  char dir[] = "/tmp/k417t-site-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  ThreadedSite s(std::string(dir) + "/h.db");
  s.AddDevice(100);
  auto silent = s.AddDevice(200);
  silent->response_timeout_ms = 100;
  testing::internal::CaptureStdout();
  s.host->Start();
  ASSERT_TRUE(Eventually([&] { return s.host->rounds(100) >= 1 && s.host->rounds(200) >= 1; }));
  s.power[1]->SetSilent(true);
  ASSERT_TRUE(Eventually([&] { return s.host->Snapshot(200)->stale; }));

  size_t line = 0;
  ASSERT_TRUE(s.host->LineOf(200, line));
  const uint64_t before = s.host->rounds(100);
  ASSERT_TRUE(s.host->RemoveLine(line));
  EXPECT_FALSE(s.host->RemoveLine(line));
  EXPECT_EQ(std::vector<unsigned>{100}, s.host->DeviceIds());
  EXPECT_FALSE(s.host->Snapshot(200).has_value());
  EXPECT_EQ(-1, s.host->Control(200, 100, {}).result);
  EXPECT_TRUE(Eventually([&] { return s.host->rounds(100) > before + 2; }));
  // The communication alarm of 200 stays raised until told otherwise ...
  EXPECT_EQ(1u, s.host->ActiveAlarms().size());
  EXPECT_EQ(1u, s.host->RetireAlarms());
  EXPECT_TRUE(s.host->ActiveAlarms().empty());
  EXPECT_TRUE(s.Logged("alarm comm [comm] of unit 200 cleared: the unit is not polled any more"));

  // A new device on a new line, after Start.
  s.AddDevice(300);
  s.host->Start();
  EXPECT_TRUE(Eventually([&] { return s.host->rounds(300) >= 1; }));

  // 100 loses its line's answers, then starts again (a changed setting)
  // with a controller that answers: its first round settles the alarm.
  s.power[0]->SetSilent(true);
  s.ctrls[0]->response_timeout_ms = 100;
  ASSERT_TRUE(Eventually([&] { return s.host->Snapshot(100)->stale; }));
  ASSERT_TRUE(s.host->LineOf(100, line));
  ASSERT_TRUE(s.host->RemoveLine(line));
  s.AddDevice(100);
  EXPECT_EQ(0u, s.host->RetireAlarms());  // 100 is polled again
  s.host->Start();
  ASSERT_EQ(1u, s.host->ActiveAlarms().size());
  EXPECT_TRUE(Eventually([&] { return s.host->ActiveAlarms().empty(); }));
  EXPECT_FALSE(s.host->Snapshot(100)->stale);
  s.host->Shutdown();
  testing::internal::GetCapturedStdout();
  // comm of 200 raised and cleared; comm of 100 raised and cleared
  std::multiset<std::string> seen;
  for (unsigned id : {100u, 200u, 300u})
    for (const auto& e : s.host->history()->Events(id, 0, INT64_MAX / 2))
      seen.insert(std::to_string(e.event.data_id) + (e.event.raised ? "+" : "-"));
  EXPECT_EQ((std::multiset<std::string>{"100+", "100-", "200+", "200-"}), seen);
  std::system(("rm -rf " + std::string(dir)).c_str());
}

// History on change, through the real units: every unit on its first round,
// a unit whose value moved past its dead band, every unit on the heartbeat,
// and at a clean stop the newest image of every unit the gate passed over, so
// the restore equals the last round.
TEST(SiteHostHistory, RecordsOnChangeHeartbeatAndTheLastRoundAtAStop) {
  char dir[] = "/tmp/k417t-gate-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::atomic<int64_t> now{1767225600};
  qmx::SiteHost::Options o;
  o.db_path = std::string(dir) + "/h.db";
  o.poll_tick_ms = 0;
  o.heartbeat_s = 300;
  o.commit_s = 30;
  o.clock = [&now] { return now.load(); };
  // The rectifier's values do not move in this plant.
  o.changed_past_dead_band = [](int type, const std::vector<unsigned char>&,
                                const std::vector<unsigned char>&) -> std::optional<bool> {
    if (type == 5092) return false;
    return std::nullopt;
  };
  auto host = std::make_shared<qmx::SiteHost>(o, [](const std::string&) {});
  auto host_ctrl =
      std::make_shared<QMXController>(std::shared_ptr<qmx::HostServices>(host, host.get()));
  auto ctrl = std::make_shared<K417T>();
  ctrl->Init(host_ctrl, 100);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(ctrl->InitSetting(k417t_test::SmallSetting(1, 1000, 100)));
  auto pair = qmx::wire::MemoryTransport::make_pair("gate");
  k417t_test::PowerSystem system(std::move(pair.second), {});
  Json::Value scenario = k417t_test::SmallScenario(1);
  // After 5 rounds the first DC unit's voltage moves by 1 V (its dead band is
  // 0.1 V); everything else holds.
  scenario["changes"][0]["after_rounds"] = 5;
  scenario["changes"][0]["set"]["dc"][0]["v"] = 54.5;
  std::string err;
  system.controllers.push_back(k417t::sim::Simulator::Create(scenario, &err));
  ASSERT_NE(nullptr, system.controllers[0]) << err;
  host->OpenHistory();
  host->AddDevice(ctrl, std::move(pair.first));
  auto run = [&](uint64_t rounds, int64_t step) {
    for (uint64_t done = host->rounds(100); done < rounds;) {
      host->RunOnce(0);
      system.Answer();
      if (host->rounds(100) != done) {
        done = host->rounds(100);
        now += step;
        ctrl->last_update -= boost::posix_time::seconds(3);
      }
    }
  };
  run(8, 2);  // first round, the change on round 6, steady rounds
  // A job worker held up (a slow disk) while the line polls on: the steady
  // rounds it then catches up with are still steady.
  std::promise<void> release;
  std::shared_future<void> held = release.get_future().share();
  host->QueueJob(*ctrl, [held] { held.wait(); });
  run(28, 2);
  release.set_value();
  now += 300;
  run(30, 2);  // round 29 on the heartbeat, round 30 held back
  const std::vector<unsigned char> last_dc = host->LastImage(102, 5093);
  host->Shutdown();
  testing::internal::GetCapturedStdout();
  qmx::store::HistoryStore& h = *host->history();
  auto count = [&h](unsigned id) { return h.Records(id, 0, INT64_MAX / 2).size(); };
  EXPECT_EQ(count(102), 4u) << "first round, the change, the heartbeat, the stop";
  EXPECT_EQ(count(103), 3u);
  EXPECT_EQ(count(101), 3u);
  EXPECT_EQ(count(100), 3u);
  EXPECT_EQ(h.LastImage(102, 5093), last_dc);
  EXPECT_LE(h.commits(), 4u) << "records of several rounds share a commit";
  std::system(("rm -rf " + std::string(dir)).c_str());
}
