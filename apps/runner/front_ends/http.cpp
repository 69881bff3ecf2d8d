// The HTTP front end: the status page, the JSON API and /metrics on --http,
// rectifier control over it with --http-control and a token.
#include <fmt/format.h>
#include <unistd.h>

#include <cctype>
#include <fstream>

#include "front_end_registry.h"
#include "web/auth.h"
#include "web/http_front_end.h"
#include "web/http_server.h"

namespace k417t_run {
namespace {

// The token for scripts (an operator of every device): the file's first
// line, random enough for 128 bits, in a file only its owner reads. Empty
// with `error` set when it cannot be used.
std::string ReadToken(const std::string& path, std::string& error) {
  std::ifstream in(path);
  std::string token;
  if (!in || !std::getline(in, token)) {
    error = "cannot read the token file " + path;
    return "";
  }
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
  std::string why;
  if (!qmx::web::FileIsPrivate(path, why)) {
    error = "the token file " + why;
    return "";
  }
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
  }

  bool Load(const SiteFile&, std::string& error) override {
    if (!listen_.empty() && !qmx::web::ParseListen(listen_, address_, port_, error)) return false;
    if (control_ && (listen_.empty() || (token_file_.empty() && users_file_.empty()))) {
      error = "--http-control needs --http and --http-users or --http-token-file";
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
    return fmt::format("http://{}:{}/", host, port_);
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
    return std::make_shared<qmx::web::HttpFrontEnd>(c.view, api, server, c.log);
  }

 private:
  std::string listen_, token_file_, users_file_;
  bool control_ = false, users_required_ = false;
  std::vector<qmx::web::User> users_;
  std::string address_, token_;
  int port_ = 0;
};

}  // namespace

std::unique_ptr<FrontEndEntry> HttpEntry() { return std::make_unique<Http>(); }

}  // namespace k417t_run
