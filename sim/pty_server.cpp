#include "sim/pty_server.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "wire/line_keeper.h"
#include "wire/serial_transport.h"

namespace k417t::sim {
namespace {

using Clock = std::chrono::steady_clock;

// The master side of our pseudo-terminal. It cannot be reopened: once closed,
// the slave path is gone.
class PtyMaster : public qmx::wire::FdTransport {
 public:
  PtyMaster(int fd, std::string name) : name_(std::move(name)) { adopt(fd); }
  bool open() override {
    if (!is_open()) error_ = "pseudo-terminal closed";
    return is_open();
  }
  std::string name() const override { return name_; }

 private:
  std::string name_;
};

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

PtyServer::PtyServer(std::unique_ptr<Simulator> sim, ServerOptions options)
    : options_(std::move(options)) {
  sims_.push_back(std::move(sim));
}

PtyServer::PtyServer(std::vector<std::unique_ptr<Simulator>> sims, ServerOptions options)
    : sims_(std::move(sims)), options_(std::move(options)) {}

PtyServer::~PtyServer() { Stop(); }

SimStats PtyServer::stats(size_t at) const {
  std::lock_guard<std::mutex> lock(mu_);
  return at < sims_.size() && sims_[at] ? sims_[at]->stats() : SimStats{};
}

std::string PtyServer::Start() {
  if (running()) return path_;
  error_.clear();
  for (const auto& sim : sims_) {
    if (!sim) {
      error_ = "no simulator to serve";
      return "";
    }
  }
  if (sims_.empty()) {
    error_ = "no simulator to serve";
    return "";
  }
  const int pace_baud = options_.baud > 0 ? options_.baud : sims_.front()->scenario().baud;
  byte_time_ = pace_baud > 0 ? std::chrono::nanoseconds(10'000'000'000LL / pace_baud)
                             : std::chrono::nanoseconds(0);
  std::unique_ptr<qmx::wire::Transport> transport;
  if (options_.tty_path.empty()) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
      error_ = errno_text("posix_openpt");
      return "";
    }
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
      error_ = errno_text("pseudo-terminal setup");
      ::close(master);
      return "";
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    // Without an open slave the master reports hang-up; hold one ourselves.
    held_slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (held_slave_ < 0 || ::tcgetattr(held_slave_, &tio) != 0) {
      error_ = errno_text("pseudo-terminal slave");
      if (held_slave_ >= 0) ::close(held_slave_);
      held_slave_ = -1;
      ::close(master);
      return "";
    }
    ::cfmakeraw(&tio);
    ::tcsetattr(held_slave_, TCSANOW, &tio);
    path_ = name;
    transport = std::make_unique<PtyMaster>(master, path_);
  } else {
    path_ = options_.tty_path;
    transport = std::make_unique<qmx::wire::SerialTransport>(
        path_, options_.baud > 0 ? options_.baud : 9600);
  }
  line_ = std::make_unique<qmx::wire::LineKeeper>(std::move(transport), options_.log);
  line_->ensure_open();
  stop_ = false;
  line_free_at_ = Clock::now();
  thread_ = std::thread([this] { Run(); });
  return path_;
}

void PtyServer::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  thread_.join();
  line_.reset();
  if (held_slave_ >= 0) ::close(held_slave_);
  held_slave_ = -1;
}

bool PtyServer::SleepUntil(Clock::time_point t) {
  while (!stop_) {
    const auto now = Clock::now();
    if (now >= t) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(t - now, std::chrono::milliseconds(10)));
  }
  return false;
}

void PtyServer::NoteReceived(size_t n) {
  if (byte_time_.count() == 0) return;
  // A pseudo-terminal delivers at once; on the wire the request would still be
  // arriving for its length, and the answer cannot start before it ends.
  line_free_at_ = std::max(line_free_at_, Clock::now()) + byte_time_ * static_cast<long>(n);
}

void PtyServer::Run() {
  uint8_t buf[512];
  while (!stop_) {
    const long n = line_->read(buf, sizeof buf, 20);
    if (n < 0) {
      SleepUntil(Clock::now() + std::chrono::milliseconds(50));  // line down: no spinning
      continue;
    }
    if (n == 0) continue;
    NoteReceived(static_cast<size_t>(n));
    std::vector<Outgoing> outs;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto& sim : sims_) {
        std::vector<Outgoing> answers = sim->Feed(buf, static_cast<size_t>(n));
        outs.insert(outs.end(), answers.begin(), answers.end());
      }
    }
    for (const Outgoing& o : outs) {
      if (stop_) return;
      Deliver(o);
    }
  }
}

void PtyServer::Deliver(const Outgoing& out) {
  if (!SleepUntil(Clock::now() + std::chrono::milliseconds(out.delay_ms))) return;
  const bool paced = byte_time_.count() > 0;
  if (!paced && !out.byte_by_byte) {
    line_->write(out.bytes.data(), out.bytes.size());
    return;
  }
  line_free_at_ = std::max(line_free_at_, Clock::now());
  if (paced && !out.byte_by_byte) {
    // Byte k leaves at start + k byte times. Bytes go out in bunches of about
    // 10 ms, and the last one at its own time, so an answer ends when it would
    // on the wire without a wake-up per byte.
    const Clock::time_point start = line_free_at_;
    const size_t n = out.bytes.size();
    const size_t bunch = std::max<size_t>(1, std::chrono::milliseconds(10) / byte_time_);
    size_t sent = 0;
    while (sent < n) {
      const size_t upto = std::min(n, sent + bunch);
      if (!SleepUntil(start + byte_time_ * static_cast<long>(upto - 1))) return;
      if (line_->write(out.bytes.data() + sent, upto - sent) < 0) return;
      sent = upto;
    }
    line_free_at_ = start + byte_time_ * static_cast<long>(n);
    return;
  }
  for (uint8_t b : out.bytes) {
    if (paced) {
      if (!SleepUntil(line_free_at_)) return;
      line_free_at_ += byte_time_;
    }
    if (line_->write(&b, 1) < 0) return;
    if (out.byte_by_byte && out.byte_gap_ms > 0 &&
        !SleepUntil(Clock::now() + std::chrono::milliseconds(out.byte_gap_ms))) {
      return;
    }
  }
}

}  // namespace k417t::sim
