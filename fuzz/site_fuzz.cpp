// Site files: the checked JSON reading, then every device's setting through
// the controller's InitSetting (the host protocol layer's members and the
// units' elements), as the runner does at start-up, and the northbound
// objects ("mqtt", "remote_write") and the alarm rules ("alarms") through
// their readers.
#include <json/value.h>

#include <cstdint>
#include <memory>
#include <string>

#include "controller/k417t.h"
#include "fuzz/fuzz_host.h"
#include "input/checked_json.h"
#include "mqtt/mqtt_config.h"
#include "remote_write/remote_write_config.h"
#include "view/alarm_board.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Json::Value site;
  std::string error;
  if (!qmx::json::Parse(std::string(reinterpret_cast<const char*>(data), size), "site", site,
                        error)) {
    return 0;
  }
  {
    qmx::exporter::MqttConfig mqtt;
    std::string auth_file;
    qmx::exporter::ReadSiteMqtt(qmx::json::Member(site, "mqtt"), "site", {}, mqtt, auth_file,
                                error);
    qmx::remote_write::RemoteWriteConfig rw;
    qmx::remote_write::ReadSiteRemoteWrite(qmx::json::Member(site, "remote_write"), "site", {}, rw,
                                           error);
    qmx::view::AlarmRules rules;
    qmx::view::ReadAlarmRules(site, rules, error);
  }
  const Json::Value& devices = qmx::json::Member(site, "devices");
  // A document without a device list is tried as one device's setting.
  const bool list = devices.isArray();
  const Json::ArrayIndex n = list ? devices.size() : 1;
  for (Json::ArrayIndex i = 0; i < n && i < 8; ++i) {
    const Json::Value& setting = list ? qmx::json::Member(devices[i], "setting") : site;
    k417t_fuzz::Host host;
    auto ctrl = std::make_shared<K417T>();
    uint32_t id = 0;
    qmx::json::ToUInt32(qmx::json::Member(list ? devices[i] : site, "data_id"), id);
    ctrl->Init(host.controller, id);
    if (!ctrl->InitSetting(setting)) continue;
    for (const auto& unit : ctrl->GetAllChildVDevices()) {
      if (unit) unit->RoundDone();
    }
  }
  return 0;
}
