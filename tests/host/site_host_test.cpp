// The real host's exchange bookkeeping over an in-memory line, with the test
// playing the power system.
#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <thread>

#include "controller/k417t.h"
#include "site/site_host.h"
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
    host_ctrl = std::make_shared<QMXController>(std::shared_ptr<qmx::HostServices>(host, host.get()));
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
    const auto f = qmx::wire::encode_frame(0x21, 0x01, 0x40, 0x00, info);
    device->write(f.data(), f.size());
  }
};

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
