// The export's threads against a real broker: round and link reports from
// several line threads at once, control requests from the broker handled by
// the worker, snapshots read and the device list changed meanwhile, then a
// stop while all of it runs. Alarm events come from the history's outbox,
// written by another thread meanwhile, and its health is read as the page
// reads it.
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/mqtt_export.h"
#include "store/history_store.h"
#include "view/outbox.h"
#include "support/mqtt_broker.h"

namespace {

using namespace qmx;
using namespace qmx::exporter;
using qmx::exporter::MqttExport;

view::RoundView Report(unsigned device, uint64_t round, bool alarm) {
  RoundReport r;
  r.device_id = device;
  r.round = round;
  r.time = 1700000000 + static_cast<int64_t>(round);
  // A DC unit's 238-byte image with its voltage and current.
  std::vector<unsigned char> image(238, 0);
  const float v = 50.0f + static_cast<float>(round % 7), i = 12.5f;
  std::memcpy(image.data() + 4, &v, 4);
  std::memcpy(image.data() + 8, &i, 4);
  r.images.push_back({device + 1, 5093, image});
  store::AlarmEvent e;
  e.data_id = device + 1;
  e.key = "DC_0";
  e.seq = 1;
  e.raised = alarm;
  e.time = r.time;
  r.events.push_back(e);
  view::RoundView rv;
  rv.report = r;
  for (const UnitImage& img : r.images) rv.units.push_back(view::ReadUnit(img.data_id, img.type, img.image));
  return rv;
}

}  // namespace

TEST(MqttExportThreads, ReportsFromEveryLineAndControlFromTheBroker) {
  std::string dir = (std::filesystem::temp_directory_path() / "k417t-mqtt-XXXXXX").string();
  ASSERT_NE(nullptr, mkdtemp(dir.data()));
  k417t_test::Broker broker(dir);
  ASSERT_TRUE(broker.Start()) << "mosquitto is needed (scripts/install-deps.sh installs it)";

  MqttConfig cfg;
  cfg.host = "127.0.0.1";
  cfg.port = broker.port();
  cfg.client_id = "concurrency";
  cfg.check_every_ms = 10;
  cfg.replay_rate = 1000;
  for (unsigned d = 0; d < 4; ++d) {
    MqttDevice dev;
    dev.id = 100 * (d + 1);
    dev.name = "power-" + std::to_string(d);
    dev.topic = dev.name;
    dev.control = {100, 106};
    cfg.devices.push_back(dev);
  }
  std::atomic<int> controls{0};
  MqttSource source;
  source.device = [](unsigned id) {
    view::DeviceView d;
    d.id = id;
    d.answering = true;
    d.rounds = 1;
    return std::optional<view::DeviceView>(d);
  };
  source.control = [&controls](const view::ControlAttempt& a) {
    const int code = a.code;
    ++controls;
    return ControlResult{code == 100 ? 0 : 4, ""};
  };
  store::HistoryOptions ho;
  ho.path = dir + "/h.db";
  ho.full_sync = false;
  store::HistoryStore history(ho);
  ASSERT_TRUE(history.Open());
  source.outbox = std::make_shared<view::Outbox>(history, "mqtt");
  source.device_of_unit = [](unsigned id) { return std::optional<unsigned>(id - 1); };
  std::atomic<int> logs{0};
  MqttExport exporter(cfg, source, [&logs](const std::string&) { ++logs; });
  k417t_test::Observer observer(broker.port());
  exporter.Start();
  // Requests go out once both ends are connected and the export subscribed.
  ASSERT_TRUE(observer.WaitTopic("k417t/gateway/concurrency/availability", "online", 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  std::vector<std::thread> lines;
  for (unsigned d = 0; d < 4; ++d) {
    lines.emplace_back([&exporter, d] {
      const unsigned id = 100 * (d + 1);
      for (uint64_t round = 1; round <= 200; ++round) {
        exporter.OnRound(Report(id, round, round % 2 == 0));
        if (round % 50 == 0) {
          LinkReport link;
          link.device_id = id;
          link.answering = round % 100 == 0;
          exporter.OnLink(link);
        }
        if (round % 20 == 0) exporter.stats();
      }
    });
  }
  // The history's writer: events of every device, committed as they come;
  // and a reader of the outbox's health, as the page polls it.
  lines.emplace_back([&history] {
    for (int n = 0; n < 200; ++n) {
      store::AlarmEvent e;
      e.data_id = 100 * (1 + n % 3) + 1;  // not power-3's, which comes and goes
      e.key = "DC_0";
      e.raised = n % 2 == 0;
      e.time = 1700000000 + n;
      history.AppendEvent(e);
      history.Flush();
    }
  });
  std::atomic<bool> reading{true};
  std::thread health([&source, &reading] {
    while (reading) {
      (void)source.outbox->Health();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  // Reloads meanwhile: the last device leaves the site and comes back.
  lines.emplace_back([&exporter, &cfg] {
    for (int n = 0; n < 10; ++n) {
      std::vector<MqttDevice> devices = cfg.devices;
      if (n % 2 == 0) devices.pop_back();
      exporter.UpdateDevices(devices);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    exporter.UpdateDevices(cfg.devices);
  });
  for (int i = 0; i < 20; ++i) {
    // (not to power-3, which comes and goes)
    observer.Publish("k417t/power-" + std::to_string(i % 3) + "/control/set",
                     i % 3 == 0 ? R"({"code": 106, "byte": 3})" : R"({"code": 100})");
  }
  for (auto& t : lines) t.join();
  EXPECT_TRUE(observer.WaitFor(
      [](const std::vector<k417t_test::Message>& all) {
        // Each request is answered, in a result of its own or counted in a
        // later one's "left_out" (results are rate-limited per device).
        int results = 0;
        for (const auto& m : all) {
          if (m.topic.find("/control/result") == std::string::npos) continue;
          Json::Value v;
          std::istringstream(m.payload) >> v;
          results += (v.isMember("code") ? 1 : 0) + v.get("left_out", 0).asInt();
        }
        return results >= 20;
      },
      20));
  // Every event the history holds reaches the broker.
  EXPECT_TRUE(observer.WaitFor(
      [](const std::vector<k417t_test::Message>& all) {
        int events = 0;
        for (const auto& m : all)
          if (m.topic.find("/events") != std::string::npos) ++events;
        return events >= 200;
      },
      30));
  reading = false;
  health.join();
  exporter.Stop();
  EXPECT_EQ(200, source.outbox->cursor().event_id);
  // At most control_queue requests wait; the rest are refused, each with a result.
  EXPECT_GT(controls.load(), 0);
  EXPECT_LE(controls.load(), 20);
  EXPECT_GT(exporter.stats().messages, 0u);
  broker.Kill();
  std::filesystem::remove_all(dir);
}
