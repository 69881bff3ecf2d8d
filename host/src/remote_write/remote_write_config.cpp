#include "remote_write/remote_write_config.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <memory>
#include <set>
#include <tuple>

#include "input/checked_json.h"
#include "input/secret_file.h"
#include "view/unit_rows.h"

namespace qmx::remote_write {
namespace {

struct UrlFree {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct TextFree {
  void operator()(char* p) const { curl_free(p); }
};

// The URL's scheme and host, lower-case scheme; false when curl cannot read it.
bool SplitUrl(const std::string& url, std::string& scheme, std::string& host,
              bool* has_user = nullptr) {
  std::unique_ptr<CURLU, UrlFree> u(curl_url());
  if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
  if (has_user) {
    char* user = nullptr;
    *has_user = curl_url_get(u.get(), CURLUPART_USER, &user, 0) == CURLUE_OK;
    curl_free(user);
  }
  char* s = nullptr;
  char* h = nullptr;
  if (curl_url_get(u.get(), CURLUPART_SCHEME, &s, 0) != CURLUE_OK) return false;
  std::unique_ptr<char, TextFree> sk(s);
  if (curl_url_get(u.get(), CURLUPART_HOST, &h, 0) != CURLUE_OK) return false;
  std::unique_ptr<char, TextFree> hk(h);
  scheme = s;
  host = h;
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), ::tolower);
  return !host.empty();
}

bool IsLoopbackHost(std::string host) {
  if (host == "localhost") return true;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  unsigned char buf[16];
  if (inet_pton(AF_INET, host.c_str(), buf) == 1) return buf[0] == 127;
  if (inet_pton(AF_INET6, host.c_str(), buf) == 1) {
    static const unsigned char one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::equal(buf, buf + 16, one);
  }
  return false;
}

// Valid UTF-8 without NUL (label values travel as protobuf strings, which
// the receiver checks).
bool IsText(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    if (c == 0) return false;
    if (c < 0x80)
      n = 0;
    else if ((c >> 5) == 6)
      n = 1;
    else if ((c >> 4) == 14)
      n = 2;
    else if ((c >> 3) == 30)
      n = 3;
    else
      return false;
    if (n > s.size() - i - 1) return false;
    for (size_t k = 1; k <= n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n + 1;
  }
  return true;
}

// Names the series already carry: device, unit and every field's own.
const std::set<std::string>& OwnLabels() {
  static const std::set<std::string> names = [] {
    std::set<std::string> n = {"device", "unit"};
    for (int type : view::RowTypes())
      for (const view::Row& r : view::RowsOf(type))
        for (const auto& l : r.metric_labels) n.insert(l.first);
    return n;
  }();
  return names;
}

// The first line of a file that is its owner's alone.
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

bool ReadText(const Json::Value& v, const std::string& where, std::string& out,
              std::string& error) {
  if (!json::ToString(v, out) || out.empty() || out.size() > 4096) {
    error = where + " must be a non-empty string";
    return false;
  }
  return true;
}

}  // namespace

bool CheckUrl(const std::string& url, std::string& error) {
  std::string scheme, host;
  bool has_user = false;
  if (url.size() > 4096 || !SplitUrl(url, scheme, host, &has_user)) {
    error = "\"" + url.substr(0, 200) + "\" is not a URL with a host";
    return false;
  }
  if (scheme != "http" && scheme != "https") {
    error = "\"" + url.substr(0, 200) + "\" must be an http:// or https:// URL";
    return false;
  }
  if (has_user) {
    error = "the URL must not carry a user or password (username and password_file do)";
    return false;
  }
  return true;
}

bool AddLabel(RemoteWriteConfig& cfg, const std::string& name, const std::string& value,
              const std::string& where, std::string& error) {
  const bool good_name =
      !name.empty() && name.size() <= 128 && !(std::isdigit(static_cast<unsigned char>(name[0]))) &&
      std::all_of(name.begin(), name.end(),
                  [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }) &&
      name.compare(0, 2, "__") != 0;
  if (!good_name) {
    error = where + ": \"" + name.substr(0, 128) +
            "\" is not a label name (letters, digits and '_', not starting with a digit or \"__\")";
    return false;
  }
  if (OwnLabels().count(name)) {
    error = where + ": \"" + name + "\" is a label the gateway's series carry themselves";
    return false;
  }
  if (value.size() > 1024 || !IsText(value)) {
    error = where + ": the value must be UTF-8 text of at most 1024 bytes";
    return false;
  }
  auto at = std::lower_bound(cfg.labels.begin(), cfg.labels.end(), name,
                             [](const auto& l, const std::string& n) { return l.first < n; });
  if (at != cfg.labels.end() && at->first == name) {
    error = where + ": label \"" + name + "\" given twice";
    return false;
  }
  cfg.labels.insert(at, {name, value});
  return true;
}

bool AddLabelOption(RemoteWriteConfig& cfg, const std::string& text, std::string& error) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos) {
    error = "--remote-write-label: \"" + text.substr(0, 200) + "\" is not NAME=VALUE";
    return false;
  }
  return AddLabel(cfg, text.substr(0, eq), text.substr(eq + 1), "--remote-write-label", error);
}

bool ReadSiteRemoteWrite(const Json::Value& rw, const std::string& source,
                         const std::set<std::string>& given, RemoteWriteConfig& cfg,
                         std::string& error) {
  const std::string at = source + ": remote_write";
  if (!rw.isObject()) {
    error = at + " must be an object";
    return false;
  }
  static const std::set<std::string> known = {
      "url",      "username", "password_file", "bearer_token_file",       "ca_file",  "cert_file",
      "key_file", "labels",   "batch_records", "max_requests_per_second", "timeout_s"};
  for (const std::string& m : rw.getMemberNames()) {
    if (!known.count(m)) {
      error = at + ": unknown member \"" + m.substr(0, 64) + "\"";
      return false;
    }
  }
  const std::pair<const char*, std::string*> texts[] = {
      {"url", &cfg.url},
      {"username", &cfg.username},
      {"password_file", &cfg.password_file},
      {"bearer_token_file", &cfg.bearer_token_file},
      {"ca_file", &cfg.ca_file},
      {"cert_file", &cfg.cert_file},
      {"key_file", &cfg.key_file}};
  for (const auto& [key, out] : texts) {
    if (!json::Has(rw, key) || given.count(key)) continue;
    if (!ReadText(json::Member(rw, key), json::Path(at, key), *out, error)) return false;
  }
  if (json::Has(rw, "url") && !given.count("url") && !CheckUrl(cfg.url, error)) {
    error = json::Path(at, "url") + ": " + error;
    return false;
  }
  if (json::Has(rw, "labels") && !given.count("labels")) {
    const Json::Value& labels = json::Member(rw, "labels");
    if (!labels.isObject()) {
      error = json::Path(at, "labels") + " must be an object of names and values";
      return false;
    }
    for (const std::string& name : labels.getMemberNames()) {
      std::string value;
      const std::string where = json::Path(json::Path(at, "labels"), name.c_str());
      if (!json::ToString(labels[name], value)) {
        error = where + " must be a string";
        return false;
      }
      if (!AddLabel(cfg, name, value, where, error)) return false;
    }
  }
  if (json::Has(rw, "batch_records")) {
    int64_t n = 0;
    if (!json::ToIntIn(json::Member(rw, "batch_records"), 1, 10000, n)) {
      error = json::Path(at, "batch_records") + " must be a whole number from 1 to 10000";
      return false;
    }
    cfg.batch_records = static_cast<size_t>(n);
  }
  const std::tuple<const char*, double*, double, double> numbers[] = {
      {"max_requests_per_second", &cfg.max_requests_per_second, 0.01, 1000},
      {"timeout_s", &cfg.timeout_s, 0.1, 600}};
  for (const auto& [key, out, lo, hi] : numbers) {
    if (!json::Has(rw, key)) continue;
    double v = 0;
    if (!json::ToDouble(json::Member(rw, key), v) || !std::isfinite(v) || v < lo || v > hi) {
      error = json::Path(at, key) + " must be a number from " + json::Compact(lo) + " to " +
              json::Compact(hi);
      return false;
    }
    *out = v;
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
  if (cfg.username.find(':') != std::string::npos || !IsText(cfg.username)) {
    error = json::Path(at, "username") + " must be UTF-8 text without ':'";
    return false;
  }
  if (cfg.cert_file.empty() != cfg.key_file.empty()) {
    error = json::Path(at, cfg.cert_file.empty() ? "key_file" : "cert_file") +
            " needs cert_file and key_file together";
    return false;
  }
  return true;
}

bool LoadSecrets(RemoteWriteConfig& cfg, std::string& error) {
  if (!cfg.password_file.empty() &&
      !ReadSecret(cfg.password_file, "the remote-write password file", cfg.password, error))
    return false;
  if (!cfg.bearer_token_file.empty() &&
      !ReadSecret(cfg.bearer_token_file, "the remote-write bearer token file", cfg.bearer_token,
                  error))
    return false;
  for (const std::string* f : {&cfg.ca_file, &cfg.cert_file, &cfg.key_file}) {
    if (!f->empty() && access(f->c_str(), R_OK) != 0) {
      error = "cannot read the remote-write file " + *f;
      return false;
    }
  }
  if (!cfg.key_file.empty() &&
      !SecretFileIsPrivate(cfg.key_file, "the remote-write client key", error))
    return false;
  return true;
}

bool SecretInClear(const RemoteWriteConfig& cfg) {
  if (cfg.password.empty() && cfg.bearer_token.empty()) return false;
  std::string scheme, host;
  if (!SplitUrl(cfg.url, scheme, host)) return false;
  return scheme == "http" && !IsLoopbackHost(host);
}

}  // namespace qmx::remote_write
