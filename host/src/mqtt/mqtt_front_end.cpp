#include "mqtt/mqtt_front_end.h"

#include "input/checked_json.h"

namespace qmx::exporter {

MqttFrontEnd::MqttFrontEnd(view::SiteView& view, Json::Value site, Load load,
                           std::function<void(const std::string&)> log)
    : view_(view), site_(std::move(site)), load_(std::move(load)), log_(std::move(log)) {}

MqttFrontEnd::~MqttFrontEnd() { Stop(); }

std::string MqttFrontEnd::Signature(bool enabled, const Json::Value& site) {
  return enabled ? "on " + json::Compact(json::Member(site, "mqtt")) : "";
}

std::shared_ptr<MqttExport> MqttFrontEnd::Make(const MqttConfig& cfg) const {
  return std::make_shared<MqttExport>(cfg, MqttSource::Of(view_), log_);
}

std::shared_ptr<MqttExport> MqttFrontEnd::current() const {
  std::lock_guard<std::mutex> lock(mu_);
  return export_;
}

void MqttFrontEnd::Replace(std::shared_ptr<MqttExport> next) {
  std::shared_ptr<MqttExport> old;
  {
    std::lock_guard<std::mutex> lock(mu_);
    old.swap(export_);
  }
  if (old) old->Stop();
  if (next) next->Start();
  std::lock_guard<std::mutex> lock(mu_);
  export_ = std::move(next);
}

bool MqttFrontEnd::Start(std::string& error) {
  bool enabled = false;
  MqttConfig cfg;
  if (!load_(site_, enabled, cfg, error)) return false;
  signature_ = Signature(enabled, site_);
  Replace(enabled ? Make(cfg) : nullptr);
  return true;
}

void MqttFrontEnd::Stop() { Replace(nullptr); }

void MqttFrontEnd::OnRound(const view::RoundView& round) {
  if (auto e = current()) e->OnRound(round);
}

void MqttFrontEnd::OnLink(const LinkReport& link) {
  if (auto e = current()) e->OnLink(link);
}

void MqttFrontEnd::OnAlarm(const view::AlarmNotice& notice) {
  if (auto e = current()) e->OnAlarm(notice);
}

bool MqttFrontEnd::CheckReload(const Json::Value& site, std::string& error) {
  bool enabled = false;
  MqttConfig cfg;
  return load_(site, enabled, cfg, error);
}

void MqttFrontEnd::OnReload(const Json::Value& site) {
  bool enabled = false;
  MqttConfig cfg;
  std::string error;
  if (!load_(site, enabled, cfg, error)) {
    // Checked before the devices changed; a file read since (an auth file)
    // failed: the running export stays as it is.
    if (log_) log_("reload: the MQTT settings are kept: " + error);
    return;
  }
  site_ = site;
  const std::string signature = Signature(enabled, site);
  if (signature != signature_) {
    if (log_)
      log_(enabled ? "reload: the MQTT export starts again with the new settings"
                   : "reload: the MQTT export stops");
    signature_ = signature;
    Replace(enabled ? Make(cfg) : nullptr);
  } else if (auto e = current()) {
    e->UpdateDevices(cfg.devices);
  }
}

}  // namespace qmx::exporter
