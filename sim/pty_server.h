#pragma once

// Serves a Simulator on a line of its own thread: a new pseudo-terminal (the
// client opens the slave path) or a given tty such as a USB serial adapter.
// Several simulators (each at its own address) make a multi-drop bus: every
// request reaches all of them, and the one it is addressed to answers.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulator.h"

namespace qmx::wire {
class LineKeeper;
}

namespace k417t::sim {

struct ServerOptions {
  std::string tty_path;  // empty: create a pseudo-terminal
  // Pacing: the line carries baud/10 bytes per second in either direction,
  // one direction at a time; answers wait for the line. 0: the scenario's
  // "baud", and no pacing when that is 0 too. Also the speed of tty_path
  // (9600 when 0).
  int baud = 0;
  std::function<void(const std::string&)> log;
};

class PtyServer {
 public:
  explicit PtyServer(std::unique_ptr<Simulator> sim, ServerOptions options = {});
  // A bus: at least one simulator.
  PtyServer(std::vector<std::unique_ptr<Simulator>> sims, ServerOptions options = {});
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Starts the serving thread. Returns the path clients open (the slave of the
  // new pseudo-terminal, or tty_path), or "" with error() set.
  std::string Start();
  // Stops the thread and closes the line; safe to call twice.
  void Stop();

  bool running() const { return thread_.joinable(); }
  const std::string& error() const { return error_; }
  // Of the first simulator, or of the one at index `at`.
  SimStats stats(size_t at = 0) const;

 private:
  void Run();
  void Deliver(const Outgoing& out);
  void NoteReceived(size_t n);
  bool SleepUntil(std::chrono::steady_clock::time_point t);  // false when stopping
  void Log(const std::string& line) const {
    if (options_.log) options_.log(line);
  }

  std::vector<std::unique_ptr<Simulator>> sims_;
  ServerOptions options_;
  mutable std::mutex mu_;
  std::unique_ptr<qmx::wire::LineKeeper> line_;
  int held_slave_ = -1;  // keeps the pseudo-terminal up while no client has it open
  std::string path_;
  std::string error_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::chrono::nanoseconds byte_time_{0};
  std::chrono::steady_clock::time_point line_free_at_{};
};

}  // namespace k417t::sim
