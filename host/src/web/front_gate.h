#pragma once

// The front line of the HTTP server: one thread that accepts every client,
// reads its whole request (head and body) without a worker, and only then
// relays the connection to the server's workers (civetweb, listening on
// 127.0.0.1 only).
//
// A client that has not sent its whole request within head_timeout_ms of
// its accept (the TLS handshake included) is dropped; so is one whose head
// is longer than max_head or whose address already has per_address
// connections open. With max_connections open in all, a new client takes
// the place of the oldest one still short of its whole request (503 only
// when every place holds a request being answered). None of them ever
// holds a worker, so a crowd of slow clients (a byte a second,
// reconnecting) leaves the page and the API answering everyone else. A
// request the gate refuses (CheckRequest) is answered here with the same
// security headers as every other answer; nothing of the request is echoed.
//
// With a certificate and key the gate speaks TLS on the same port: the
// socket's bytes pass through memory BIOs, so the poll loop stays one loop
// of buffers and the workers see plain HTTP on loopback.
//
// The relayed head carries two headers of the gate's own, after any the
// client sent under those names (or any other X-K417T- name) are removed:
// X-K417T-Peer, the client's address, and X-K417T-Gate, a secret made at
// start that the server requires, so a request straight to the workers'
// loopback port is refused.
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace qmx::web {

// What a request head must satisfy to be relayed.
struct GateRules {
  // Names a Host header may carry, with or without ":PORT" (compared
  // without regard to case). Empty: any Host.
  std::vector<std::string> hosts;
  size_t max_body = 4096;
};

// The verdict on one request head (up to and including its empty line).
struct RequestVerdict {
  int status = 0;           // 0: relay it; otherwise the status to answer
  const char* reason = "";  // a fixed text, nothing of the request in it
  size_t body = 0;          // the Content-Length the request announced
  // The head to relay (status 0): the request line and the client's headers,
  // each line ending in CRLF, without the client's X-K417T- headers and
  // without the final empty line.
  std::string head;
};

// Checks a request head: the request line (an upper-case method, an
// origin-form target "/..." without NUL or bad percent escapes, HTTP/1.0 or
// 1.1), every header line "Name: value" without control characters, one
// Content-Length of digits at most (413 beyond max_body), no
// Transfer-Encoding (411 alone, 400 with a Content-Length), one Host header
// (required on HTTP/1.1) among the allowed names (421 otherwise).
RequestVerdict CheckRequest(const std::string& head, const GateRules& rules);

// The names the Host header may carry for a server listening on `address`:
// the address itself, localhost, 127.0.0.1, [::1], this machine's host name
// and its fully qualified name, the addresses of its interfaces when the
// address is a wildcard, and `extra`.
std::vector<std::string> AllowedHosts(const std::string& address,
                                      const std::vector<std::string>& extra);

// Whether `address` ("127.0.0.5", "[::1]", "localhost") is a loopback address.
bool IsLoopback(const std::string& address);


struct GateOptions {
  std::string address = "127.0.0.1";  // where clients connect
  int port = 0;                       // 0: any free port (see port())
  int backend_port = 0;               // the workers' server on 127.0.0.1
  int head_timeout_ms = 2000;
  int relay_timeout_ms = 30000;  // a whole exchange after its head
  size_t max_head = 8192;
  size_t max_body = 4096;
  size_t per_address = 16;
  // Every relayed client costs two descriptors here and one in the
  // workers' server: 3 x 300 stays well under a soft limit of 1024.
  size_t max_connections = 300;
  size_t max_answer = 16u << 20;   // bytes of one answer held for a slow reader
  std::vector<std::string> hosts;  // GateRules::hosts
  std::string gate_secret;         // sent to the workers as X-K417T-Gate
  std::string tls_cert, tls_key;   // PEM files; both empty: plain HTTP
};

// The security headers every answer carries (also the gate's own); with
// TLS, Strict-Transport-Security too.
std::string SecurityHeaders(bool tls = false);

class FrontGate {
 public:
  using LogSink = std::function<void(const std::string&)>;
  FrontGate(GateOptions options, LogSink log);
  ~FrontGate();
  FrontGate(const FrontGate&) = delete;
  FrontGate& operator=(const FrontGate&) = delete;

  bool Start(std::string& error);
  void Stop();
  int port() const { return port_; }

  // Clients dropped or refused here since the start.
  uint64_t dropped() const { return dropped_.load(); }
  // TLS handshakes that failed or did not finish in time.
  uint64_t failed_handshakes() const { return failed_handshakes_.load(); }

  // Whether `head` (up to and including its empty line) starts with a request
  // line "METHOD SP TARGET SP HTTP/1.x": a method of upper-case letters, a
  // target of visible ASCII.
  static bool RequestLineOk(const std::string& head);

 private:
  void Run();
  void RateLog(const std::string& line);
  bool StartTls(std::string& error);

  GateOptions opt_;
  LogSink log_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> failed_handshakes_{0};
  SSL_CTX* tls_ = nullptr;
  int64_t last_log_ = 0;
  uint64_t unlogged_ = 0;
};

}  // namespace qmx::web
