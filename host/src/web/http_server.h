#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "web/front_gate.h"
#include "web/web_api.h"

struct mg_context;
struct mg_connection;

namespace qmx::web {

struct ServerOptions {
  std::string address = "127.0.0.1";
  int port = 0;  // 0: any free port (see port())
  int threads = 16;
  // A request's line and headers together; a longer head is refused (413 or
  // 431), and so is a body longer than max_body.
  size_t max_head = 8192;
  size_t max_body = 4096;
  // A client that has not sent its whole request by then is cut off. Each
  // connection carries one request (no keep-alive), so no idle client holds a
  // worker.
  int request_timeout_ms = 5000;
  int keep_alive_timeout_ms = 500;
  // The front line (FrontGate): a client's whole request head within this
  // time, and at most this many connections open from one address.
  int head_timeout_ms = 2000;
  size_t per_address = 16;
  size_t max_connections = 300;  // GateOptions::max_connections
  // HTTPS on the same port: PEM certificate chain and private key (the key
  // file the owner's alone). Both empty: plain HTTP.
  std::string tls_cert, tls_key;
  // Host names besides the ones AllowedHosts gives for the address.
  std::vector<std::string> hosts;
};

// The embedded HTTP server in front of a WebApi: the front line (FrontGate)
// takes every client, terminates TLS, and hands only whole checked requests
// on to civetweb's fixed pool of worker threads on 127.0.0.1 (an ephemeral
// port: Debian's civetweb is built without Unix sockets); bounded request
// heads and bodies, time-outs for slow clients, a cap per client address
// and in all. The workers answer 403 to a request without the gate's secret
// (one that did not come through the gate), take the client's address from
// the gate, and only call WebApi::Handle. Every answer carries the security
// headers, also the ones civetweb makes itself.
class HttpServer {
 public:
  using LogSink = std::function<void(const std::string&)>;
  HttpServer(WebApi& api, ServerOptions options, LogSink log);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens and serves. False with `error` set when the address cannot be
  // bound or the options are refused.
  bool Start(std::string& error);
  // Stops accepting and waits for the workers.
  void Stop();
  int port() const { return port_; }
  // The workers' own loopback port (reached through the gate only).
  int backend_port() const { return backend_port_; }
  uint64_t failed_handshakes() const { return gate_ ? gate_->failed_handshakes() : 0; }

 private:
  static int OnRequest(mg_connection* conn);
  static int OnLog(const mg_connection* conn, const char* message);
  static int OnError(mg_connection* conn, int status, const char* message);
  int Serve(mg_connection* conn);
  bool tls() const { return !opt_.tls_cert.empty(); }

  WebApi& api_;
  ServerOptions opt_;
  LogSink log_;
  mg_context* ctx_ = nullptr;
  std::unique_ptr<FrontGate> gate_;
  std::string secret_;  // X-K417T-Gate: made at start, never logged
  int port_ = 0;
  int backend_port_ = 0;
};

// "ADDR:PORT", "[V6ADDR]:PORT" or "PORT" (127.0.0.1) from the command line.
// False with `error` on anything else.
bool ParseListen(const std::string& text, std::string& address, int& port, std::string& error);

}  // namespace qmx::web
