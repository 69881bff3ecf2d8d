// The HTTP front end: the status page, the JSON API and /metrics on --http,
// rectifier control over it with --http-control and a token. HTTPS with
// --http-cert/--http-key or the site file's "http": {"cert", "key"}; more
// Host names with --http-host or "http": {"hosts": [...]}.
#include <fmt/format.h>
#include <unistd.h>

#include <cctype>
#include <fstream>

#include "front_end_registry.h"
#include "input/checked_json.h"
#include "input/secret_file.h"
#include "web/auth.h"
#include "web/http_front_end.h"
#include "web/http_server.h"

namespace k417t_run {
namespace {

// The token for scripts (an operator of every device): the file's first
// line, random enough for 128 bits, in a file only its owner reads. Empty
// with `error` set when it cannot be used.
std::string ReadToken(const std::string& path, std::string& error) {
  if (!qmx::SecretFileIsPrivate(path, "the token file", error)) return "";
  std::ifstream in(path);
  std::string token;
  if (!in || !std::getline(in, token)) {
    error = "cannot read the token file " + path;
    return "";
  }
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
  std::string why;
  if (!qmx::web::TokenIsStrong(token, why)) {
    error = "the token file " + path + ": " + why;
    return "";
  }
  return token;
}

class Http : public FrontEndEntry {
 public:
  const char* name() const override { return "http"; }

  void AddOptions(CLI::App& app) override {
    app.add_option(
        "--http", listen_,
        "serve the status page, JSON API and /metrics on [ADDR:]PORT (ADDR default 127.0.0.1)");
    app.add_flag("--http-control", control_,
                 "allow rectifier control commands over HTTP (needs --http-token-file)");
    app.add_option("--http-token-file", token_file_,
                   "file whose first line is the scripts' token (128 random bits or more)");
    app.add_option("--http-users", users_file_,
                   "users file: NAME:HASH:ROLE[:DEVICES] a line (k417t-run user add)");
    app.add_flag("--http-users-required", users_required_,
                 "reads need a user also on loopback (always so beyond loopback)");
    app.add_option("--http-cert", cert_, "HTTPS: PEM certificate chain file");
    app.add_option("--http-key", key_, "HTTPS: PEM private key file (mode 0600 or stricter)");
    app.add_option("--http-host", hosts_,
                   "a Host name the server answers to besides its address and host names "
                   "(repeatable)");
  }

  bool Load(const SiteFile& site, std::string& error) override {
    if (!listen_.empty() && !qmx::web::ParseListen(listen_, address_, port_, error)) return false;
    if (control_ && (listen_.empty() || (token_file_.empty() && users_file_.empty()))) {
      error = "--http-control needs --http and --http-users or --http-token-file";
      return false;
    }
    if (!ReadTls(site, error)) return false;
    if (control_ && tls_cert_.empty() && !qmx::web::IsLoopback(address_)) {
      error = "--http-control on " + address_ +
              " (beyond loopback) needs HTTPS (--http-cert and --http-key): credentials would "
              "cross the network in clear";
      return false;
    }
    if (!users_file_.empty() && !qmx::web::LoadUsersFile(users_file_, users_, error)) return false;
    if (users_required_ && token_file_.empty() && users_file_.empty()) {
      error = "--http-users-required needs --http-users or --http-token-file";
      return false;
    }
    return token_file_.empty() || !(token_ = ReadToken(token_file_, error)).empty();
  }

  // A wildcard listen address gives the host name, for links from Home
  // Assistant.
  std::string PageUrl() const override {
    if (listen_.empty()) return "";
    std::string host = address_;
    if (host.empty() || host == "0.0.0.0" || host == "::") {
      char name[256] = {};
      host = gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' ? name : "localhost";
    } else if (host.find(':') != std::string::npos) {
      host = "[" + host + "]";
    }
    return fmt::format("{}://{}:{}/", tls_cert_.empty() ? "http" : "https", host, port_);
  }

  std::shared_ptr<qmx::view::FrontEnd> Build(const FrontEndContext& c) override {
    if (listen_.empty()) return nullptr;
    qmx::web::ApiOptions api;
    api.control = control_;
    api.token = token_;
    api.users = users_;
    api.reads_need_user = users_required_ || !qmx::web::IsLoopback(address_);
    api.log = c.log;
    qmx::web::ServerOptions server;
    server.address = address_;
    server.port = port_;
    server.tls_cert = tls_cert_;
    server.tls_key = tls_key_;
    server.hosts = all_hosts_;
    return std::make_shared<qmx::web::HttpFrontEnd>(c.view, api, server, c.log);
  }

 private:
  // The site file's "http" object (cert, key, hosts), the options over it;
  // the key file must be the owner's alone.
  bool ReadTls(const SiteFile& site, std::string& error) {
    const Json::Value& http = qmx::json::Member(site.json, "http");
    tls_cert_ = cert_;
    tls_key_ = key_;
    all_hosts_ = hosts_;
    const std::pair<std::string*, const char*> files[] = {{&tls_cert_, "cert"}, {&tls_key_, "key"}};
    for (const auto& [into, key] : files) {
      if (!into->empty() || !qmx::json::Has(http, key)) continue;
      if (!qmx::json::ToString(qmx::json::Member(http, key), *into) || into->empty()) {
        error = site.path + ": http." + key + " must be a file name";
        return false;
      }
    }
    const Json::Value& hosts = qmx::json::Member(http, "hosts");
    if (!hosts.isNull() && !hosts.isArray()) {
      error = site.path + ": http.hosts must be an array of host names";
      return false;
    }
    for (Json::ArrayIndex i = 0; hosts.isArray() && i < hosts.size(); ++i) {
      std::string h;
      if (!qmx::json::ToString(hosts[i], h)) {
        error = site.path + ": http.hosts must be an array of host names";
        return false;
      }
      all_hosts_.push_back(h);
    }
    for (const std::string& h : all_hosts_) {
      if (h.empty() || h.find_first_of(" \t\r\n/:@") != std::string::npos ||
          h.find('\0') != std::string::npos) {
        if (h.empty() || h.front() != '[' || h.back() != ']') {
          error = "http host name \"" + qmx::view::SafeText(h) +
                  "\" must be a name or address without port, path or spaces";
          return false;
        }
      }
    }
    if (tls_cert_.empty() != tls_key_.empty()) {
      error = "HTTPS needs both a certificate (--http-cert) and a key (--http-key)";
      return false;
    }
    if (tls_cert_.empty()) return true;
    if (access(tls_cert_.c_str(), R_OK) != 0) {
      error = "cannot read the HTTPS certificate file " + tls_cert_;
      return false;
    }
    if (!qmx::SecretFileIsPrivate(tls_key_, "the HTTPS key file", error)) return false;
    if (access(tls_key_.c_str(), R_OK) != 0) {
      error = "cannot read the HTTPS key file " + tls_key_;
      return false;
    }
    return true;
  }

  std::string listen_, token_file_, users_file_, cert_, key_;
  std::vector<std::string> hosts_;
  std::string tls_cert_, tls_key_;
  std::vector<std::string> all_hosts_;
  bool control_ = false, users_required_ = false;
  std::vector<qmx::web::User> users_;
  std::string address_, token_;
  int port_ = 0;
};

}  // namespace

std::unique_ptr<FrontEndEntry> HttpEntry() { return std::make_unique<Http>(); }

}  // namespace k417t_run
