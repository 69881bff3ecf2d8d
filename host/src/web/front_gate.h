#pragma once

// The front line of the HTTP server: one thread that accepts every client,
// reads its request head without a worker, and only then relays the
// connection to the server's workers (civetweb, listening on loopback).
//
// A client that has not sent its whole head within head_timeout_ms is
// dropped; so is one whose head is longer than max_head or whose address
// already has per_address connections open. None of them ever holds a
// worker, so a crowd of slow clients (a byte a second, reconnecting) leaves
// the page and the API answering everyone else. A request line that is not
// HTTP is answered here with 400 and the same security headers as every
// other answer; nothing of the request is echoed.
#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace qmx::web {

struct GateOptions {
  std::string address = "127.0.0.1";  // where clients connect
  int port = 0;                       // 0: any free port (see port())
  int backend_port = 0;               // the workers' server on 127.0.0.1
  int head_timeout_ms = 2000;
  int relay_timeout_ms = 30000;  // a whole exchange after its head
  size_t max_head = 8192;
  size_t max_body = 4096;
  size_t per_address = 16;
  size_t max_connections = 512;
  size_t max_answer = 16u << 20;  // bytes of one answer held for a slow reader
};

// The security headers every answer carries (also the gate's own).
std::string SecurityHeaders();

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

  // Whether `head` (up to and including its empty line) starts with a request
  // line "METHOD SP TARGET SP HTTP/1.x": a method of upper-case letters, a
  // target of visible ASCII.
  static bool RequestLineOk(const std::string& head);

 private:
  void Run();
  void RateLog(const std::string& line);

  GateOptions opt_;
  LogSink log_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> dropped_{0};
  int64_t last_log_ = 0;
  uint64_t unlogged_ = 0;
};

}  // namespace qmx::web
