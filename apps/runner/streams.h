#pragma once

// Where the runner's output, its log and the plug-in's traces go. The
// plug-in writes its traces to standard output, so standard output is moved
// away (to the log, or --traces) and the runner writes to a copy of it.
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "report.h"

namespace k417t_run {

class Streams {
 public:
  Streams() = default;
  Streams(const Streams&) = delete;
  Streams& operator=(const Streams&) = delete;
  // Flushes the runner's output and what is left on standard output.
  ~Streams();

  // The log (`log_path`, "": standard error) and the traces (`traces_path`,
  // "": the log); then standard output is theirs. False with the problem
  // when a file cannot be opened (nothing moved then).
  bool Open(const std::string& log_path, const std::string& traces_path, bool json, bool quiet,
            std::string& error);

  Output& output() { return *output_; }
  // A line to the log; any thread.
  std::function<void(const std::string&)> log();

 private:
  int out_fd_ = -1;
  int log_fd_ = -1;
  FILE* out_ = nullptr;
  std::unique_ptr<Output> output_;
  std::mutex log_mu_;
};

// --check-config's verdict on standard output with the plug-in's traces kept
// off it (they go to standard error) while this lives.
class TracesOffStdout {
 public:
  TracesOffStdout();
  ~TracesOffStdout();
  TracesOffStdout(const TracesOffStdout&) = delete;
  TracesOffStdout& operator=(const TracesOffStdout&) = delete;
  void Say(const std::string& text);

 private:
  int out_fd_;
};

}  // namespace k417t_run
