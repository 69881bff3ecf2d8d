// The HTTP front end: the status page, the JSON API and /metrics on --http,
// rectifier control over it with --http-control and a token.
#include <fmt/format.h>
#include <unistd.h>

#include <cctype>
#include <fstream>

#include "front_end_registry.h"
#include "web/http_front_end.h"
#include "web/http_server.h"

namespace k417t_run {
namespace {

// The token for --http-control: the file's first line, at least 16
// characters. Empty with `error` set when it cannot be used.
std::string ReadToken(const std::string& path, std::string& error) {
  std::ifstream in(path);
  std::string token;
  if (!in || !std::getline(in, token)) {
    error = "cannot read the token file " + path;
    return "";
  }
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
  if (token.size() < 16) {
    error = "the token in " + path + " is shorter than 16 characters";
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
                   "file whose first line is the control token (16+ characters)");
  }

  bool Load(const SiteFile&, std::string& error) override {
    if (!listen_.empty() && !qmx::web::ParseListen(listen_, address_, port_, error)) return false;
    if (control_ && (listen_.empty() || token_file_.empty())) {
      error = "--http-control needs --http and --http-token-file";
      return false;
    }
    return !control_ || !(token_ = ReadToken(token_file_, error)).empty();
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
    qmx::web::ServerOptions server;
    server.address = address_;
    server.port = port_;
    return std::make_shared<qmx::web::HttpFrontEnd>(c.view, api, server, c.log);
  }

 private:
  std::string listen_, token_file_;
  bool control_ = false;
  std::string address_, token_;
  int port_ = 0;
};

}  // namespace

std::unique_ptr<FrontEndEntry> HttpEntry() { return std::make_unique<Http>(); }

}  // namespace k417t_run
