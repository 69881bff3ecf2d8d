#include "notify/notify_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <tuple>

#include "input/checked_json.h"
#include "input/secret_file.h"
#include "remote_write/remote_write_config.h"

namespace qmx::notify {
namespace {

bool ReadText(const Json::Value& v, const std::string& where, std::string& out,
              std::string& error) {
  if (!json::ToString(v, out) || out.empty() || out.size() > 4096) {
    error = where + " must be a non-empty string";
    return false;
  }
  return true;
}

bool ReadNumber(const Json::Value& obj, const std::string& at, const char* key, double lo,
                double hi, double& out, std::string& error) {
  if (!json::Has(obj, key)) return true;
  double v = 0;
  if (!json::ToDouble(json::Member(obj, key), v) || !std::isfinite(v) || v < lo || v > hi) {
    error = json::Path(at, key) + " must be a number from " + json::Compact(lo) + " to " +
            json::Compact(hi);
    return false;
  }
  out = v;
  return true;
}

bool CheckMembers(const Json::Value& obj, const std::string& at, const std::set<std::string>& known,
                  std::string& error) {
  if (!obj.isObject()) {
    error = at + " must be an object";
    return false;
  }
  for (const std::string& m : obj.getMemberNames()) {
    if (!known.count(m)) {
      error = at + ": unknown member \"" + m.substr(0, 64) + "\"";
      return false;
    }
  }
  return true;
}

bool ReadRules(const Json::Value& obj, const std::string& at, SinkRules& rules,
               std::string& error) {
  if (!ReadNumber(obj, at, "delay_s", 0, 86400, rules.delay_s, error)) return false;
  if (json::Has(obj, "max_per_minute")) {
    int64_t n = 0;
    if (!json::ToIntIn(json::Member(obj, "max_per_minute"), 0, 6000, n)) {
      error =
          json::Path(at, "max_per_minute") + " must be a whole number from 0 (no limit) to 6000";
      return false;
    }
    rules.max_per_minute = static_cast<int>(n);
  }
  if (json::Has(obj, "kinds")) {
    const Json::Value& kinds = json::Member(obj, "kinds");
    const std::string where = json::Path(at, "kinds");
    if (!kinds.isArray() || kinds.empty()) {
      error = where + " must be a non-empty list of notice kinds";
      return false;
    }
    rules.kinds.clear();
    for (Json::ArrayIndex i = 0; i < kinds.size(); ++i) {
      std::string k;
      if (!json::ToString(kinds[i], k) || !AllKinds().count(k)) {
        std::string all;
        for (const std::string& a : AllKinds()) all += (all.empty() ? "" : ", ") + a;
        error = json::Path(where, i) + " must be one of " + all;
        return false;
      }
      rules.kinds.insert(k);
    }
  }
  return true;
}

bool ReadExec(const Json::Value& obj, const std::string& at, ExecConfig& cfg, std::string& error) {
  if (!CheckMembers(obj, at,
                    {"command", "timeout_s", "delay_s", "kinds", "max_per_minute", "queue"}, error))
    return false;
  if (!json::Has(obj, "command")) {
    error = at + " needs \"command\"";
    return false;
  }
  const std::string where = json::Path(at, "command");
  if (!ReadText(json::Member(obj, "command"), where, cfg.command, error)) return false;
  struct stat st {};
  if (cfg.command.front() != '/') {
    error = where + ": \"" + cfg.command.substr(0, 200) +
            "\" must be an absolute path (the command runs without a shell)";
    return false;
  }
  if (stat(cfg.command.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      access(cfg.command.c_str(), X_OK) != 0) {
    error = where + ": " + cfg.command.substr(0, 200) + " is not an executable file";
    return false;
  }
  if (!ReadNumber(obj, at, "timeout_s", 0.1, 3600, cfg.timeout_s, error)) return false;
  if (json::Has(obj, "queue")) {
    int64_t n = 0;
    if (!json::ToIntIn(json::Member(obj, "queue"), 1, 10000, n)) {
      error = json::Path(at, "queue") + " must be a whole number from 1 to 10000";
      return false;
    }
    cfg.queue = static_cast<size_t>(n);
  }
  return ReadRules(obj, at, cfg.rules, error);
}

bool ReadWebhook(const Json::Value& obj, const std::string& at, WebhookConfig& cfg,
                 std::string& error) {
  if (!CheckMembers(obj, at,
                    {"url", "username", "password_file", "bearer_token_file", "ca_file",
                     "timeout_s", "delay_s", "kinds", "max_per_minute"},
                    error))
    return false;
  if (!json::Has(obj, "url")) {
    error = at + " needs \"url\"";
    return false;
  }
  const std::pair<const char*, std::string*> texts[] = {
      {"url", &cfg.url},
      {"username", &cfg.username},
      {"password_file", &cfg.password_file},
      {"bearer_token_file", &cfg.bearer_token_file},
      {"ca_file", &cfg.ca_file}};
  for (const auto& [key, out] : texts) {
    if (!json::Has(obj, key)) continue;
    if (!ReadText(json::Member(obj, key), json::Path(at, key), *out, error)) return false;
  }
  if (!remote_write::CheckUrl(cfg.url, error)) {
    error = json::Path(at, "url") + ": " + error;
    return false;
  }
  if (!cfg.username.empty() && cfg.password_file.empty()) {
    error = json::Path(at, "username") + " needs password_file";
    return false;
  }
  if (!cfg.password_file.empty() && cfg.username.empty()) {
    error = json::Path(at, "password_file") + " needs username";
    return false;
  }
  if (!cfg.username.empty() && !cfg.bearer_token_file.empty()) {
    error = json::Path(at, "bearer_token_file") + " and username exclude each other";
    return false;
  }
  if (cfg.username.find(':') != std::string::npos ||
      cfg.username.find_first_of(std::string("\0\r\n", 3)) != std::string::npos) {
    error = json::Path(at, "username") + " must be text without ':' or line breaks";
    return false;
  }
  if (!ReadNumber(obj, at, "timeout_s", 0.1, 600, cfg.timeout_s, error)) return false;
  return ReadRules(obj, at, cfg.rules, error);
}

bool ReadSecret(const std::string& path, const char* what, std::string& out, std::string& error) {
  if (!SecretFileIsPrivate(path, what, error)) return false;
  std::ifstream in(path);
  if (!in) {
    error = std::string("cannot read ") + what + " " + path;
    return false;
  }
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty() || line.size() > 4096 ||
      line.find_first_of(std::string("\0\r\n", 3)) != std::string::npos) {
    error = std::string(what) + " " + path + " must hold the secret on its first line";
    return false;
  }
  out = line;
  return true;
}

}  // namespace

const std::set<std::string>& DefaultKinds() {
  static const std::set<std::string> k = {"raised",          "cleared", "chattering",
                                          "acknowledged",    "shelved", "maintenance",
                                          "maintenance_end", "unknown", "known"};
  return k;
}

const std::set<std::string>& AllKinds() {
  static const std::set<std::string> k = [] {
    std::set<std::string> all = DefaultKinds();
    all.insert({"unshelved", "settled"});
    return all;
  }();
  return k;
}

bool ReadSiteNotify(const Json::Value& site, const std::string& source, NotifyConfig& cfg,
                    std::string& error) {
  cfg = NotifyConfig{};
  const Json::Value& obj = json::Member(site, "notify");
  if (obj.isNull()) return true;
  const std::string at = source + ": notify";
  if (!CheckMembers(obj, at, {"exec", "webhook"}, error)) return false;
  if (json::Has(obj, "exec") &&
      !ReadExec(json::Member(obj, "exec"), json::Path(at, "exec"), cfg.exec, error))
    return false;
  if (json::Has(obj, "webhook") &&
      !ReadWebhook(json::Member(obj, "webhook"), json::Path(at, "webhook"), cfg.webhook, error))
    return false;
  return true;
}

bool LoadNotifySecrets(NotifyConfig& cfg, std::string& error) {
  WebhookConfig& w = cfg.webhook;
  if (w.url.empty()) return true;
  if (!w.password_file.empty() &&
      !ReadSecret(w.password_file, "the webhook password file", w.password, error))
    return false;
  if (!w.bearer_token_file.empty() &&
      !ReadSecret(w.bearer_token_file, "the webhook bearer token file", w.bearer_token, error))
    return false;
  if (!w.ca_file.empty() && access(w.ca_file.c_str(), R_OK) != 0) {
    error = "cannot read the webhook's ca_file " + w.ca_file;
    return false;
  }
  return true;
}

}  // namespace qmx::notify
