// The MQTT export with Home Assistant discovery: the site file's "mqtt"
// object, overridden by the --mqtt* options.
#include <unistd.h>

#include <set>

#include "mqtt/mqtt_front_end.h"
#include "front_end_registry.h"
#include "input/checked_json.h"

namespace k417t_run {
namespace {

namespace ex = qmx::exporter;

class Mqtt : public FrontEndEntry {
 public:
  const char* name() const override { return "mqtt"; }

  void AddOptions(CLI::App& app) override {
    app.add_option("--mqtt", url_,
                   "export to an MQTT broker: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    app.add_option("--mqtt-ca", ca_, "mqtts: certificate authority file to trust");
    app.add_option("--mqtt-cert", cert_, "mqtts: client certificate file (with --mqtt-key)");
    app.add_option("--mqtt-key", key_,
                   "mqtts: the client certificate's private key (readable by its owner alone)");
    app.add_option("--mqtt-auth-file", auth_file_,
                   "MQTT user name (first line) and password (second)");
    app.add_option("--mqtt-client-id", client_id_, "MQTT client id (default: k417t-HOSTNAME)");
    app.add_option("--mqtt-prefix", prefix_, "base topic (default: k417t)");
    app.add_option("--mqtt-discovery-prefix", discovery_prefix_,
                   "Home Assistant discovery prefix (default: homeassistant)");
  }

  bool Load(const SiteFile& site, std::string& error) override {
    bool enabled = false;
    ex::MqttConfig cfg;
    return Read(site.path, site.json, site.devices, enabled, cfg, error);
  }

  // Always built: a reload may turn the export on or off.
  std::shared_ptr<qmx::view::FrontEnd> Build(const FrontEndContext& c) override {
    return std::make_shared<ex::MqttFrontEnd>(
        c.view, c.site.json,
        [this, path = c.site.path, page_url = c.page_url](const Json::Value& s, bool& enabled,
                                                          ex::MqttConfig& cfg, std::string& err) {
          if (!Read(path, s, NamedDevices(s), enabled, cfg, err)) return false;
          cfg.configuration_url = page_url;
          return true;
        },
        c.log);
  }

 private:
  // The export's settings; `enabled` false: no export. False with the
  // problem in `error` on a bad setting.
  bool Read(const std::string& path, const Json::Value& site,
            const std::vector<SiteDevice>& devices, bool& enabled, ex::MqttConfig& cfg,
            std::string& error) const {
    const Json::Value& mqtt = qmx::json::Member(site, "mqtt");
    enabled = !url_.empty() || qmx::json::Has(mqtt, "url");
    if (!enabled && mqtt.isNull()) return true;
    for (const SiteDevice& d : devices) {
      ex::MqttDevice m;
      m.id = d.data_id;
      m.name = d.name;
      cfg.devices.push_back(m);
    }
    std::set<std::string> given;
    if (!url_.empty()) {
      given.insert("url");
      if (!ex::ParseMqttUrl(url_, cfg, error)) {
        error = std::string("--mqtt: ") + error;
        return false;
      }
    }
    std::string auth_file = auth_file_;
    const std::pair<const std::string*, const char*> flags[] = {
        {&ca_, "ca_file"},
        {&auth_file_, "auth_file"},
        {&client_id_, "client_id"},
        {&prefix_, "prefix"},
        {&discovery_prefix_, "discovery_prefix"},
        {&cert_, "cert_file"},
        {&key_, "key_file"}};
    for (const auto& [value, key] : flags)
      if (!value->empty()) given.insert(key);
    if (!ca_.empty()) cfg.ca_file = ca_;
    if (!cert_.empty()) cfg.cert_file = cert_;
    if (!key_.empty()) cfg.key_file = key_;
    if (!client_id_.empty()) cfg.client_id = client_id_;
    if (!prefix_.empty()) cfg.prefix = prefix_;
    if (!discovery_prefix_.empty()) cfg.discovery_prefix = discovery_prefix_;
    if (!mqtt.isNull() && !ex::ReadSiteMqtt(mqtt, path, given, cfg, auth_file, error)) {
      return false;
    }
    if (!enabled) return true;
    if (!auth_file.empty() && !ex::ReadAuthFile(auth_file, cfg, error)) {
      return false;
    }
    if (!cfg.ca_file.empty() && access(cfg.ca_file.c_str(), R_OK) != 0) {
      error = std::string("cannot read the MQTT CA file ") + cfg.ca_file;
      return false;
    }
    if (!ex::CheckClientCertificate(cfg, error)) return false;
    for (std::string* level : {&cfg.prefix, &cfg.discovery_prefix}) {
      if (level->empty() || level->find_first_of(std::string("+#\0", 3)) != std::string::npos ||
          level->front() == '/' || level->back() == '/') {
        error = "MQTT prefix \"" + *level +
                "\" must be a topic without '+', '#' or a leading or trailing '/'";
        return false;
      }
    }
    cfg.site = path;
    if (cfg.client_id.empty()) cfg.client_id = ex::DefaultClientId(path);
    if (!ex::AssignTopics(cfg.devices, error)) {
      error = path + ": " + error;
      return false;
    }
    return true;
  }

  std::string url_, ca_, auth_file_, client_id_, prefix_, discovery_prefix_;
  std::string cert_, key_;
};

}  // namespace

std::unique_ptr<FrontEndEntry> MqttEntry() { return std::make_unique<Mqtt>(); }

}  // namespace k417t_run
