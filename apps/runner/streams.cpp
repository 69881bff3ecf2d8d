#include "streams.h"

#include <fcntl.h>
#include <unistd.h>

#include "units/common/safe_text.h"

namespace k417t_run {

Streams::~Streams() {
  if (out_ != nullptr) std::fflush(out_);
  std::fflush(stdout);
}

bool Streams::Open(const std::string& log_path, const std::string& traces_path, bool json,
                   bool quiet, std::string& error) {
  int log_fd = STDERR_FILENO;
  if (!log_path.empty()) {
    log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) {
      error = "cannot open log " + log_path;
      return false;
    }
  }
  // A service sends them elsewhere: a few lines per answer would crowd the
  // journal.
  int traces_fd = log_fd;
  if (!traces_path.empty()) {
    traces_fd = open(traces_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (traces_fd < 0) {
      error = "cannot open " + traces_path + " for the plug-in's traces";
      return false;
    }
  }
  log_fd_ = log_fd;
  out_fd_ = dup(STDOUT_FILENO);
  std::fflush(stdout);
  dup2(traces_fd, STDOUT_FILENO);
  out_ = fdopen(out_fd_, "w");
  output_ = std::make_unique<Output>(out_, json, isatty(out_fd_) != 0 && !quiet);
  return true;
}

std::function<void(const std::string&)> Streams::log() {
  return [this](const std::string& line) {
    std::lock_guard<std::mutex> lock(log_mu_);
    // Text from the line, a broker or a client may sit in any log line: it
    // can neither split the line nor reach the terminal raw.
    const std::string l = k417t_text::Safe(line) + "\n";
    if (write(log_fd_, l.data(), l.size()) < 0) {
    }
  };
}

TracesOffStdout::TracesOffStdout() {
  std::fflush(stdout);
  out_fd_ = dup(STDOUT_FILENO);
  dup2(STDERR_FILENO, STDOUT_FILENO);
}

TracesOffStdout::~TracesOffStdout() {
  std::fflush(stdout);
  close(out_fd_);
}

void TracesOffStdout::Say(const std::string& text) {
  if (write(out_fd_, text.data(), text.size()) < 0) {
  }
}

}  // namespace k417t_run
