#pragma once

// The MQTT export as one of the runner's front ends: started from the site
// file's "mqtt" object (or the command line, through `load`), handed every
// round and link change, and on a reload either given the new device list on
// the same connection or, when its own settings changed, started again.
#include <json/value.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "mqtt/mqtt_config.h"
#include "mqtt/mqtt_export.h"
#include "view/site_view.h"

namespace qmx::exporter {

class MqttFrontEnd : public view::FrontEnd {
 public:
  // Reads the export's settings from a site file; `enabled` false: no export.
  // False with the problem on a bad setting.
  using Load = std::function<bool(const Json::Value& site, bool& enabled, MqttConfig& cfg,
                                  std::string& error)>;
  MqttFrontEnd(view::SiteView& view, Json::Value site, Load load,
               std::function<void(const std::string&)> log);
  ~MqttFrontEnd() override;

  const char* name() const override { return "mqtt"; }
  bool Start(std::string& error) override;
  void Stop() override;
  void OnRound(const view::RoundView& round) override;
  void OnLink(const LinkReport& link) override;
  void OnAlarm(const view::AlarmNotice& notice) override;
  bool CheckReload(const Json::Value& site, std::string& error) override;
  void OnReload(const Json::Value& site) override;

  // The running export; null when there is none.
  std::shared_ptr<MqttExport> current() const;

 private:
  // What a reload compares to decide whether the export starts again (its
  // broker settings); a changed device list alone goes to the running one.
  static std::string Signature(bool enabled, const Json::Value& site);
  std::shared_ptr<MqttExport> Make(const MqttConfig& cfg) const;
  // The running export is stopped (its last messages sent) before `next`
  // starts: both would use the same client id.
  void Replace(std::shared_ptr<MqttExport> next);

  view::SiteView& view_;
  Json::Value site_;
  const Load load_;
  const std::function<void(const std::string&)> log_;
  std::string signature_;  // of the running settings
  mutable std::mutex mu_;
  std::shared_ptr<MqttExport> export_;
};

}  // namespace qmx::exporter
