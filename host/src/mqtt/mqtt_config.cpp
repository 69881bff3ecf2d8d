#include "mqtt/mqtt_config.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <map>

#include "input/checked_json.h"
#include "input/secret_file.h"
#include "view/control_rules.h"

namespace qmx::exporter {

bool ParseMqttUrl(const std::string& url, MqttConfig& cfg, std::string& error) {
  std::string rest;
  bool tls = false;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    tls = true;
  } else {
    error = "MQTT URL must start with mqtt:// or mqtts://: " + url;
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string host, port_text;
  bool has_port = false;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) {
      error = "MQTT URL has an unclosed '[': " + url;
      return false;
    }
    host = rest.substr(1, close - 1);
    const std::string after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') {
        error = "MQTT URL has text after the host: " + url;
        return false;
      }
      port_text = after.substr(1);
      has_port = true;
    }
  } else {
    const size_t colon = rest.find(':');
    host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      port_text = rest.substr(colon + 1);
      has_port = true;
    }
  }
  if (host.empty() || host.find_first_of("/@?# ") != std::string::npos) {
    error = "MQTT URL needs a plain host (no user, path or query): " + url;
    return false;
  }
  int port = tls ? 8883 : 1883;
  if (has_port) {
    if (port_text.empty() || port_text.size() > 5 ||
        port_text.find_first_not_of("0123456789") != std::string::npos) {
      error = "MQTT URL has a bad port: " + url;
      return false;
    }
    port = std::stoi(port_text);
    if (port < 1 || port > 65535) {
      error = "MQTT URL has a bad port: " + url;
      return false;
    }
  }
  cfg.host = host;
  cfg.port = port;
  cfg.tls = tls;
  return true;
}

bool ReadAuthFile(const std::string& path, MqttConfig& cfg, std::string& error) {
  // It holds the broker password.
  if (!SecretFileIsPrivate(path, "the MQTT auth file", error)) return false;
  std::ifstream in(path);
  if (!in) {
    error = "cannot read the MQTT auth file " + path;
    return false;
  }
  std::string user, password;
  std::getline(in, user);
  std::getline(in, password);
  for (std::string* s : {&user, &password})
    if (!s->empty() && s->back() == '\r') s->pop_back();
  if (user.empty() || user.size() > 1024 || password.size() > 1024 ||
      user.find('\0') != std::string::npos || password.find('\0') != std::string::npos) {
    error = "the MQTT auth file " + path +
            " needs a user name on its first line and the password on its second";
    return false;
  }
  cfg.username = user;
  cfg.password = password;
  return true;
}

namespace {

bool ReadText(const Json::Value& v, const std::string& where, std::string& out,
              std::string& error) {
  if (!json::ToString(v, out) || out.size() > 4096) {
    error = where + " must be a string";
    return false;
  }
  return true;
}

bool ReadCount(const Json::Value& v, const std::string& where, int64_t lo, int64_t hi, int64_t& out,
               std::string& error) {
  if (!json::ToIntIn(v, lo, hi, out)) {
    error = where + " must be an integer from " + std::to_string(lo) + " to " + std::to_string(hi);
    return false;
  }
  return true;
}

}  // namespace

bool ReadSiteMqtt(const Json::Value& mqtt, const std::string& source,
                  const std::set<std::string>& given, MqttConfig& cfg, std::string& auth_file,
                  std::string& error) {
  const std::string base = source + ": mqtt";
  if (!mqtt.isObject()) {
    error = base + " must be an object";
    return false;
  }
  static const std::set<std::string> known = {
      "url",       "ca_file",           "auth_file",  "client_id", "prefix",  "discovery_prefix",
      "discovery", "protocol",          "max_events", "refresh_s", "replay_rate", "control", "cert_file",
      "key_file",  "require_request_id"};
  for (const std::string& key : mqtt.getMemberNames()) {
    if (known.count(key) == 0) {
      error = base + " has an unknown member \"" + key + "\"";
      return false;
    }
  }
  auto take = [&](const char* key) { return json::Has(mqtt, key) && given.count(key) == 0; };
  std::string text;
  if (take("url")) {
    if (!ReadText(json::Member(mqtt, "url"), base + ".url", text, error)) return false;
    if (!ParseMqttUrl(text, cfg, error)) {
      error = base + ".url: " + error;
      return false;
    }
  }
  if (take("ca_file") &&
      !ReadText(json::Member(mqtt, "ca_file"), base + ".ca_file", cfg.ca_file, error))
    return false;
  if (take("cert_file") &&
      !ReadText(json::Member(mqtt, "cert_file"), base + ".cert_file", cfg.cert_file, error))
    return false;
  if (take("key_file") &&
      !ReadText(json::Member(mqtt, "key_file"), base + ".key_file", cfg.key_file, error))
    return false;
  if (take("require_request_id") &&
      !json::ToBool(json::Member(mqtt, "require_request_id"), cfg.require_request_id)) {
    error = base + ".require_request_id must be true or false";
    return false;
  }
  if (take("auth_file") &&
      !ReadText(json::Member(mqtt, "auth_file"), base + ".auth_file", auth_file, error))
    return false;
  if (take("client_id") &&
      !ReadText(json::Member(mqtt, "client_id"), base + ".client_id", cfg.client_id, error))
    return false;
  if (take("prefix") &&
      !ReadText(json::Member(mqtt, "prefix"), base + ".prefix", cfg.prefix, error))
    return false;
  if (take("discovery_prefix") &&
      !ReadText(json::Member(mqtt, "discovery_prefix"), base + ".discovery_prefix",
                cfg.discovery_prefix, error))
    return false;
  if (take("discovery") && !json::ToBool(json::Member(mqtt, "discovery"), cfg.discovery)) {
    error = base + ".discovery must be true or false";
    return false;
  }
  int64_t n = 0;
  if (take("protocol")) {
    if (!ReadCount(json::Member(mqtt, "protocol"), base + ".protocol", 4, 5, n, error))
      return false;
    cfg.protocol = static_cast<int>(n);
  }
  if (take("max_events")) {
    if (!ReadCount(json::Member(mqtt, "max_events"), base + ".max_events", 1, 1000000, n, error))
      return false;
    cfg.max_events = static_cast<size_t>(n);
  }
  if (take("replay_rate")) {
    if (!ReadCount(json::Member(mqtt, "replay_rate"), base + ".replay_rate", 1, 10000, n, error))
      return false;
    cfg.replay_rate = static_cast<int>(n);
  }
  if (take("refresh_s")) {
    if (!ReadCount(json::Member(mqtt, "refresh_s"), base + ".refresh_s", 1, 86400, n, error))
      return false;
    cfg.refresh_s = static_cast<int>(n);
  }
  if (json::Has(mqtt, "control")) {
    const Json::Value& control = json::Member(mqtt, "control");
    if (!control.isObject()) {
      error = base + ".control must be an object: device name to a list of control codes";
      return false;
    }
    for (const std::string& name : control.getMemberNames()) {
      MqttDevice* dev = nullptr;
      for (MqttDevice& d : cfg.devices)
        if (d.name == name) dev = &d;
      const std::string where = base + ".control." + name;
      if (dev == nullptr) {
        error = where + ": no device of that name";
        return false;
      }
      const Json::Value& codes = control[name];
      if (!codes.isArray()) {
        error = where + " must be a list of control codes";
        return false;
      }
      for (Json::ArrayIndex i = 0; i < codes.size(); ++i) {
        if (!ReadCount(codes[i], json::Path(where, i), 0, 65535, n, error)) return false;
        if (view::FindControl(static_cast<int>(n)) == nullptr) {
          error = fmt::format("{}: {} is not a control command ({})", json::Path(where, i), n,
                              view::ControlCodesText());
          return false;
        }
        dev->control.insert(static_cast<int>(n));
      }
    }
  }
  return true;
}

bool CheckClientCertificate(const MqttConfig& cfg, std::string& error) {
  if (cfg.cert_file.empty() && cfg.key_file.empty()) return true;
  if (cfg.cert_file.empty() || cfg.key_file.empty()) {
    error = "an MQTT client certificate needs both its certificate and its key file";
    return false;
  }
  if (!cfg.tls) {
    error = "an MQTT client certificate needs an mqtts:// URL";
    return false;
  }
  for (const std::string* f : {&cfg.cert_file, &cfg.key_file}) {
    if (access(f->c_str(), R_OK) != 0) {
      error = "cannot read the MQTT " + std::string(f == &cfg.key_file ? "key" : "certificate") +
              " file " + *f;
      return false;
    }
  }
  if (!SecretFileIsPrivate(cfg.key_file, "the MQTT key file", error)) return false;
  return true;
}

bool PasswordInClear(const MqttConfig& cfg) {
  if (cfg.tls || (cfg.username.empty() && cfg.password.empty())) return false;
  if (cfg.host == "localhost" || cfg.host == "::1") return false;
  in_addr a{};
  if (inet_pton(AF_INET, cfg.host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127) return false;
  return true;
}

std::string TopicName(const std::string& name) {
  std::string out;
  for (const char c : name) {
    if (out.size() >= 64) break;
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
    out.push_back(safe ? c : '_');
  }
  if (out.empty()) out = "_";
  return out;
}

bool AssignTopics(std::vector<MqttDevice>& devices, std::string& error) {
  std::map<std::string, std::string> taken;
  for (MqttDevice& d : devices) {
    d.topic = TopicName(d.name);
    if (d.topic == "gateway") {
      error = "device name \"" + d.name + "\" is reserved for the gateway's own MQTT topics";
      return false;
    }
    auto [it, fresh] = taken.emplace(d.topic, d.name);
    if (!fresh) {
      error = "devices \"" + it->second + "\" and \"" + d.name +
              "\" have the same MQTT topic name \"" + d.topic +
              "\" (names keep letters, digits, '-', '_' and '.')";
      return false;
    }
  }
  return true;
}

std::string DefaultClientId(const std::string& site) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  std::string id = std::string("k417t-") + std::string(host).substr(0, 40);
  if (!site.empty()) id += "-" + SiteTag(site);
  return TopicName(id);
}

std::string SiteTag(const std::string& site) {
  // The same file under another spelling ("./site.json") is the same site.
  std::string path = site;
  if (char* real = realpath(site.c_str(), nullptr)) {
    path = real;
    free(real);
  }
  // FNV-1a: stable across builds and machines, unlike std::hash.
  uint32_t h = 2166136261u;
  for (unsigned char c : path) {
    h ^= c;
    h *= 16777619u;
  }
  return fmt::format("{:08x}", h);
}

}  // namespace qmx::exporter
