#pragma once
// One controller (AC screen 11, DC unit 21, the rectifier group 100, unless
// the test gives another setting) on an
// in-memory line through the real plug-in and host, answered by the
// simulator: polled round by round on the test's own thread. With `db`, the
// host keeps its history there.
#include <gtest/gtest.h>
#include <json/json.h>

#include <memory>
#include <sstream>
#include <string>

#include "controller/k417t.h"
#include "sim/simulator.h"
#include "site/site_host.h"
#include "view/unit_values.h"
#include "wire/memory_transport.h"

namespace k417t_test {

struct OneRound {
  std::shared_ptr<qmx::SiteHost> host;
  std::shared_ptr<QMXController> host_ctrl;
  std::shared_ptr<K417T> ctrl = std::make_shared<K417T>();
  std::unique_ptr<qmx::wire::MemoryTransport> end;
  std::unique_ptr<k417t::sim::Simulator> sim;

  static constexpr const char* kSetting =
      R"({"address": 1, "timeout_ms": 200, "acSetting": [{"data_id": 11}],
          "dcSetting": [{"data_id": 21}], "rcSetting": {}})";

  // `setting`: the controller's setting (its units), when not the one above.
  explicit OneRound(const Json::Value& scenario, const std::string& db = "",
                    const std::string& setting = kSetting) {
    qmx::SiteHost::Options o;
    o.db_path = db;
    host = std::make_shared<qmx::SiteHost>(o, [](const std::string&) {});
    if (!db.empty()) {
      EXPECT_TRUE(host->OpenHistory());
    }
    host_ctrl =
        std::make_shared<QMXController>(std::shared_ptr<qmx::HostServices>(host, host.get()));
    ctrl->Init(host_ctrl, 100);
    Json::Value s;
    std::istringstream(setting) >> s;
    EXPECT_TRUE(ctrl->InitSetting(s));
    auto pair = qmx::wire::MemoryTransport::make_pair();
    end = std::move(pair.second);
    host->AddDevice(ctrl, std::move(pair.first));
    std::string err;
    sim = k417t::sim::Simulator::Create(scenario, &err);
    EXPECT_NE(nullptr, sim) << err;
  }
  ~OneRound() { host->Shutdown(); }

  // Polls until the device has completed `rounds` rounds.
  void Poll(uint64_t rounds = 1) {
    testing::internal::CaptureStdout();  // the plug-in's traces
    for (int i = 0; i < 2000 && host->rounds(100) < rounds; ++i) {
      host->RunOnce(5);
      uint8_t buf[512];
      for (long n; (n = end->read(buf, sizeof buf, 0)) > 0;)
        for (const auto& out : sim->Feed(buf, static_cast<size_t>(n)))
          end->write(out.bytes.data(), out.bytes.size());
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(rounds, host->rounds(100));
  }

  // A unit's values as the host holds its newest image.
  qmx::view::UnitValues Unit(unsigned id, const qmx::view::UnitLabels* labels = nullptr) {
    auto snap = host->Snapshot(100);
    for (const auto& img : snap->images)
      if (img.data_id == id) return qmx::view::ReadUnit(img.data_id, img.type, img.image, labels);
    ADD_FAILURE() << "no image of unit " << id;
    return {};
  }
};

}  // namespace k417t_test
