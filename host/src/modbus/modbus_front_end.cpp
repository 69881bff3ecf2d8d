#include "modbus/modbus_front_end.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "view/control_rules.h"

namespace qmx::modbus {
namespace {

std::string PeerOf(const sockaddr_in& a) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return text;
}

// Seconds of the view's clock for the health registers.
int64_t EpochNow() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace

ModbusFrontEnd::ModbusFrontEnd(view::SiteView& view, ModbusConfig cfg,
                               std::function<void(const std::string&)> log, Loader reload)
    : view_(view), log_(std::move(log)), reload_(std::move(reload)), cfg_(std::move(cfg)) {
  map_ = std::shared_ptr<const Map>(std::shared_ptr<const Map>(), &TheMap());
  image_.registers.map = map_;
  rtu_image_.registers.map = map_;
}

ModbusFrontEnd::~ModbusFrontEnd() { Stop(); }

bool ModbusFrontEnd::Start(std::string& error) {
  std::vector<std::pair<unsigned int, std::string>> devices;
  for (unsigned int id : view_.DeviceIds()) devices.push_back({id, view_.Info(id).name});
  if (!AssignUnits(cfg_, devices, units_, error)) return false;
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) {
    error = std::string("modbus: eventfd: ") + std::strerror(errno);
    return false;
  }
  if (cfg_.enabled) {
    ctx_ = modbus_new_tcp(cfg_.address.c_str(), cfg_.port);
    if (ctx_ == nullptr) {
      error = "modbus: cannot set up " + cfg_.address + ":" + std::to_string(cfg_.port);
      return false;
    }
    listen_fd_ = modbus_tcp_listen(static_cast<modbus_t*>(ctx_), 16);
    if (listen_fd_ < 0) {
      error = "modbus: cannot listen on " + cfg_.address + ":" + std::to_string(cfg_.port) + ": " +
              modbus_strerror(errno);
      modbus_free(static_cast<modbus_t*>(ctx_));
      ctx_ = nullptr;
      return false;
    }
    // Accepted in a loop until none is left: the socket must not block.
    fcntl(listen_fd_, F_SETFL, fcntl(listen_fd_, F_GETFL) | O_NONBLOCK);
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    if (getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &len) == 0)
      bound_port_ = ntohs(bound.sin_port);
    log_("modbus: listening on " + cfg_.address + ":" + std::to_string(bound_port_) + ", " +
         std::to_string(units_.size()) + " unit id(s)");
    if (!cfg_.loopback())
      log_("modbus: warning: listening beyond loopback on " + cfg_.address +
           "; Modbus has no authentication: keep it on a plant network behind a firewall");
  }
  stop_ = false;
  if (cfg_.enabled) thread_ = std::thread([this] { Run(); });
  if (cfg_.rtu.enabled) rtu_thread_ = std::thread([this] { RunRtu(); });
  worker_ = std::thread([this] { ControlWorker(); });
  return true;
}

void ModbusFrontEnd::Stop() {
  if (!thread_.joinable() && !rtu_thread_.joinable() && !worker_.joinable()) return;
  stop_ = true;
  if (wake_fd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_fd_, &one, sizeof one);
  }
  {
    std::lock_guard<std::mutex> lock(control_mu_);
    control_cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  if (rtu_thread_.joinable()) rtu_thread_.join();
  if (worker_.joinable()) worker_.join();
  // Commands taken but not sent: the client was told "written", so the
  // audit says what became of them.
  std::deque<Job> left;
  {
    std::lock_guard<std::mutex> lock(control_mu_);
    left.swap(jobs_);
  }
  for (const Job& j : left)
    view_.Refused(j.attempt, "refused", "the service stopped before the command was sent");
  for (Client& c : clients_) close(c.fd);
  clients_.clear();
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
  if (wake_fd_ >= 0) close(wake_fd_);
  wake_fd_ = -1;
  if (ctx_ != nullptr) modbus_free(static_cast<modbus_t*>(ctx_));
  ctx_ = nullptr;
}

void ModbusFrontEnd::OnRound(const view::RoundView&) { ++changes_; }
void ModbusFrontEnd::OnLink(const LinkReport&) { ++changes_; }

bool ModbusFrontEnd::CheckReload(const Json::Value& site, std::string& error) {
  if (!reload_) return true;
  ModbusConfig next;
  if (!reload_(site, next, error)) return false;
  std::lock_guard<std::mutex> lock(cfg_mu_);
  if (next.enabled != cfg_.enabled ||
      (next.enabled && (next.address != cfg_.address || next.port != cfg_.port))) {
    error = "modbus: turning the server on or off or changing its address takes a restart";
    return false;
  }
  const RtuConfig& a = next.rtu;
  const RtuConfig& b = cfg_.rtu;
  if (a.enabled != b.enabled ||
      (a.enabled && (a.port != b.port || a.baud != b.baud || a.parity != b.parity ||
                     a.data_bits != b.data_bits || a.stop_bits != b.stop_bits))) {
    error = "modbus.rtu: turning it on or off or changing the port's settings takes a restart";
    return false;
  }
  return true;
}

void ModbusFrontEnd::OnReload(const Json::Value& site) {
  if (!reload_) return;
  ModbusConfig next;
  std::string error;
  if (!reload_(site, next, error)) return;
  std::vector<std::pair<unsigned int, std::string>> devices;
  for (unsigned int id : view_.DeviceIds()) devices.push_back({id, view_.Info(id).name});
  std::map<uint8_t, unsigned int> units;
  if (!AssignUnits(next, devices, units, error)) {
    log_("modbus: reload kept the old unit ids: " + view::SafeText(error));
    units.clear();
  }
  std::lock_guard<std::mutex> lock(cfg_mu_);
  next.enabled = cfg_.enabled;
  next.address = cfg_.address;
  next.port = cfg_.port;
  const bool rtu_control = next.rtu.control;
  next.rtu = cfg_.rtu;
  next.rtu.control = rtu_control;
  cfg_ = next;
  if (!units.empty()) units_ = units;
  ++changes_;
}

void ModbusFrontEnd::Warn(const std::string& what, Clock::time_point& last, uint64_t count) {
  const auto now = Clock::now();
  if (last != Clock::time_point{} && now - last < std::chrono::minutes(1)) return;
  last = now;
  log_("modbus: " + what + " (" + std::to_string(count) + " so far)");
}

void ModbusFrontEnd::Refresh(Image& image, bool force) {
  const auto now = Clock::now();
  const uint64_t changes = changes_;
  if (!force && changes == image.seen && now - image.built < std::chrono::seconds(1)) return;
  image.seen = changes;
  image.built = now;
  std::map<uint8_t, unsigned int> units;
  bool big = true;
  {
    std::lock_guard<std::mutex> lock(cfg_mu_);
    units = units_;
    big = cfg_.big_endian_words;
  }
  RegisterImage next;
  next.map = map_;
  const int64_t epoch = EpochNow();
  std::map<unsigned int, LastCommand> last;
  {
    std::lock_guard<std::mutex> lock(control_mu_);
    last = last_;
  }
  for (const auto& [unit, id] : units) {
    std::optional<view::DeviceView> d = view_.Device(id);
    if (!d) continue;
    DeviceRegisters r = BuildRegisters(*next.map, *d, big, epoch);
    const auto it = last.find(id);
    if (it != last.end()) {
      r.input[kCommandRegisters + 0] = it->second.seq;
      r.input[kCommandRegisters + 1] = it->second.code;
      r.input[kCommandRegisters + 2] = it->second.byte;
      r.input[kCommandRegisters + 3] = it->second.outcome;
      r.input[kCommandRegisters + 4] = static_cast<uint16_t>(it->second.result);
    }
    next.units[unit] = std::move(r);
  }
  image.registers = std::move(next);
}

void ModbusFrontEnd::Run() {
  std::vector<pollfd> fds;
  while (!stop_) {
    fds.clear();
    fds.push_back({wake_fd_, POLLIN, 0});
    fds.push_back({listen_fd_, POLLIN, 0});
    for (const Client& c : clients_) fds.push_back({c.fd, POLLIN, 0});
    const int n = poll(fds.data(), fds.size(), 1000);
    if (stop_) break;
    if (n < 0 && errno != EINTR) {
      log_(std::string("modbus: poll failed: ") + std::strerror(errno));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    const auto now = Clock::now();
    unsigned idle_s = 60;
    {
      std::lock_guard<std::mutex> lock(cfg_mu_);
      idle_s = cfg_.idle_s;
    }
    // Clients first (their indexes match fds from 2 on), then new ones.
    std::vector<bool> drop(clients_.size(), false);
    for (size_t i = 0; i < clients_.size(); ++i) {
      if (fds[2 + i].revents & (POLLIN | POLLHUP | POLLERR)) {
        clients_[i].last = now;
        drop[i] = !Serve(clients_[i]);
      } else if (now - clients_[i].last > std::chrono::seconds(idle_s)) {
        drop[i] = true;
      }
    }
    for (size_t i = clients_.size(); i-- > 0;) {
      if (!drop[i]) continue;
      close(clients_[i].fd);
      clients_.erase(clients_.begin() + static_cast<long>(i));
    }
    if (fds[1].revents & POLLIN) Accept();
  }
}

void ModbusFrontEnd::Accept() {
  for (int k = 0; k < 64; ++k) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd =
        accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    unsigned max = 16;
    {
      std::lock_guard<std::mutex> lock(cfg_mu_);
      max = cfg_.max_clients;
    }
    if (clients_.size() >= max) {
      close(fd);
      ++rejected_;
      Warn("connection from " + PeerOf(peer) + " closed: " + std::to_string(max) +
               " clients already connected (modbus.max_clients)",
           warned_full_, rejected_);
      continue;
    }
    Client c;
    c.fd = fd;
    c.from.via = "modbus";
    c.from.peer = PeerOf(peer);
    c.from.who = "modbus:" + c.from.peer;
    c.last = Clock::now();
    clients_.push_back(std::move(c));
  }
}

bool ModbusFrontEnd::Serve(Client& c) {
  uint8_t chunk[1024];
  for (;;) {
    const ssize_t got = recv(c.fd, chunk, sizeof chunk, 0);
    if (got == 0) return false;
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return false;
    }
    c.buf.insert(c.buf.end(), chunk, chunk + got);
    // Answer every whole frame; a client may pipeline a few.
    for (;;) {
      const long frame = FrameLength(c.buf.data(), c.buf.size());
      if (frame < 0) {
        ++bad_frames_;
        Warn("closed " + c.from.peer + ": not a Modbus-TCP frame", warned_bad_, bad_frames_);
        return false;
      }
      if (frame == 0) break;
      Refresh(image_, false);
      uint8_t reply[kMaxAdu];
      // Writes always reach the handler: with control off it refuses them,
      // and a refused control attempt is audited like any other.
      Writes writes(*this, c.from);
      const size_t n =
          Answer(c.buf.data(), static_cast<size_t>(frame), image_.registers, reply, &writes);
      ++requests_;
      c.buf.erase(c.buf.begin(), c.buf.begin() + frame);
      if (n > 0) {
        const ssize_t sent = send(c.fd, reply, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        // A client that does not read its answers is not served further.
        if (sent != static_cast<ssize_t>(n)) return false;
      }
    }
    if (c.buf.size() > 4 * kMaxAdu) return false;
  }
  return true;
}

bool ModbusFrontEnd::WritesOn(const Requester& r, std::string& reason) const {
  if (!cfg_.control) {
    reason = "control through Modbus is off (modbus.control)";
    return false;
  }
  if (r.serial) {
    if (!cfg_.rtu.control) {
      reason = "control through Modbus-RTU is off (modbus.rtu.control)";
      return false;
    }
    return true;
  }
  if (std::find(cfg_.control_peers.begin(), cfg_.control_peers.end(), r.peer) ==
      cfg_.control_peers.end()) {
    reason = "client " + r.peer + " is not in modbus.control_peers";
    return false;
  }
  return true;
}

uint8_t ModbusFrontEnd::ReadHolding(Requester& r, unsigned int device, uint16_t address,
                                    uint16_t count, uint16_t* out) {
  {
    std::lock_guard<std::mutex> lock(cfg_mu_);
    // No command block without control (for a serial port, its own too).
    if (!cfg_.control || (r.serial && !cfg_.rtu.control)) return kIllegalFunction;
  }
  if (static_cast<size_t>(address) + count > 3) return kIllegalDataAddress;
  std::array<uint16_t, 3> block = {0, 0xFFFF, 0};
  const auto it = r.staged.find(device);
  if (it != r.staged.end()) block = it->second;
  for (uint16_t i = 0; i < count; ++i) out[i] = block[address + i];
  return 0;
}

void ModbusFrontEnd::Refuse(const view::ControlAttempt& a, uint16_t seq,
                            const std::string& reason) {
  view_.Refused(a, "refused", reason);
  std::lock_guard<std::mutex> lock(control_mu_);
  LastCommand& l = last_[a.device];
  l.seq = seq;
  l.code = static_cast<uint16_t>(a.code);
  l.byte = a.byte < 0 ? 0xFFFF : static_cast<uint16_t>(a.byte);
  l.outcome = 2;
  l.result = -1;
  ++changes_;
}

uint8_t ModbusFrontEnd::WriteHolding(Requester& r, unsigned int device, uint16_t address,
                                     const uint16_t* values, uint16_t count) {
  if (static_cast<size_t>(address) + count > 3) return kIllegalDataAddress;
  view::ControlAttempt a;
  a.via = r.via;
  a.who = r.who;
  a.peer = r.peer;
  a.device = device;
  std::string why_not;
  bool on = false;
  {
    std::lock_guard<std::mutex> lock(cfg_mu_);
    on = WritesOn(r, why_not);
  }
  const auto staged = r.staged.find(device);
  if (!on) {
    a.code = address == 0 ? values[0] : staged != r.staged.end() ? staged->second[0] : 0;
    Refuse(a, 0, why_not);
    return kIllegalFunction;
  }
  const std::string name = view_.Info(device).name;
  auto& block = r.staged.emplace(device, std::array<uint16_t, 3>{0, 0xFFFF, 0}).first->second;
  for (uint16_t i = 0; i < count; ++i) block[address + i] = values[i];
  if (address + count < 3) return 0;  // staged: the sequence register sends it
  const uint16_t seq = block[2];
  a.code = block[0];
  a.byte = block[1] == 0xFFFF ? -1 : block[1];
  a.request_id = r.who + ":" + std::to_string(seq);
  std::string reason;
  if (!view::CheckControl(a.code, a.byte, reason)) {
    Refuse(a, seq, reason);
    return kIllegalDataValue;
  }
  bool allowed = false;
  {
    std::lock_guard<std::mutex> lock(cfg_mu_);
    allowed = ControlAllowed(cfg_, device, name, a.code);
  }
  if (!allowed) {
    Refuse(a, seq, "code " + std::to_string(a.code) + " is not allowed for this device");
    return kIllegalFunction;
  }
  {
    // One command of a device waits at a time; another is turned away (and
    // audited, as every attempt is) with "server device busy".
    std::lock_guard<std::mutex> lock(control_mu_);
    bool waiting = false;
    for (const Job& j : jobs_) waiting = waiting || j.attempt.device == device;
    if (!waiting) {
      LastCommand& l = last_[device];
      l = {seq, static_cast<uint16_t>(a.code), block[1], 3, 0};
      jobs_.push_back({a, seq});
      control_cv_.notify_all();
      ++changes_;
      return 0;
    }
  }
  view_.Refused(a, "rate-limited", "another Modbus command for this device is waiting");
  return 0x06;  // server device busy
}

void ModbusFrontEnd::ControlWorker() {
  std::unique_lock<std::mutex> lock(control_mu_);
  while (!stop_) {
    control_cv_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
    if (stop_) break;
    Job job = jobs_.front();
    lock.unlock();
    const ControlResult r = view_.Control(job.attempt);
    lock.lock();
    jobs_.pop_front();
    LastCommand& l = last_[job.attempt.device];
    if (l.seq == job.seq) {
      l.outcome = r.result < 0 ? 2 : 1;
      l.result = static_cast<int16_t>(std::max(-32768, std::min(32767, r.result)));
    }
    ++changes_;
  }
}

bool ModbusFrontEnd::OpenRtu(const RtuConfig& rc, int& fd, std::string& error) {
  fd = -1;
  modbus_t* ctx = modbus_new_rtu(rc.port.c_str(), rc.baud, rc.parity, rc.data_bits, rc.stop_bits);
  if (ctx == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  // libmodbus opens the port non-blocking and sets its line (raw, baud,
  // parity, data and stop bits); the framing is ours, so several unit ids
  // are served and the thread never blocks in a read.
  if (modbus_connect(ctx) != 0) {
    error = modbus_strerror(errno);
    modbus_free(ctx);
    return false;
  }
  fd = modbus_get_socket(ctx);
  if (fd < 0) {
    error = "no descriptor";
    modbus_close(ctx);
    modbus_free(ctx);
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
  tcflush(fd, TCIOFLUSH);
  rtu_ctx_ = ctx;
  return true;
}

void ModbusFrontEnd::CloseRtu() {
  if (rtu_ctx_ == nullptr) return;
  modbus_close(static_cast<modbus_t*>(rtu_ctx_));
  modbus_free(static_cast<modbus_t*>(rtu_ctx_));
  rtu_ctx_ = nullptr;
}

void ModbusFrontEnd::RunRtu() {
  RtuConfig rc;
  {
    std::lock_guard<std::mutex> lock(cfg_mu_);
    rc = cfg_.rtu;  // the port's settings change only with a restart
  }
  const std::string port = view::SafeText(rc.port);
  Requester from;
  from.serial = true;
  from.via = "modbus-rtu";
  from.who = "modbus-rtu:" + rc.port;
  from.peer = rc.port;

  using std::chrono::microseconds;
  using std::chrono::milliseconds;
  // One character on the wire, and the silence that ends a frame.
  const microseconds char_time((11L * 1000000L + rc.baud - 1) / rc.baud);
  const microseconds silence(rc.silence_us());
  // A frame for one of our unit ids whose function code gives its length is
  // waited for longer than the silence while incomplete: USB adapters hand
  // bytes over in chunks of their latency timer (16 ms on FTDI chips).
  const microseconds patience = std::max<microseconds>(silence, milliseconds(20));
  const milliseconds first_delay(500), max_delay(30000);  // as the controller lines

  int fd = -1;
  milliseconds delay = first_delay;
  Clock::time_point retry_at = Clock::now();
  bool reported_down = false;
  std::vector<uint8_t> in;  // bytes of the frame being received
  bool overlong = false;    // more than a frame without silence: dropped until the silence
  Clock::time_point last_byte{};
  std::vector<uint8_t> out;  // a reply waiting for its turn or for room
  Clock::time_point send_at{};
  std::vector<uint8_t> sent;  // our last reply, to spot an adapter's echo of it
  Clock::time_point echo_until{};

  auto lose = [&](const std::string& why) {
    CloseRtu();
    fd = -1;
    in.clear();
    out.clear();
    overlong = false;
    log_("modbus-rtu: port " + port + " lost (" + why + "); reopening");
    reported_down = true;
    delay = first_delay;
    retry_at = Clock::now() + delay;
  };

  auto our_unit = [&](uint8_t unit) {
    std::lock_guard<std::mutex> lock(cfg_mu_);
    return unit != 0 && units_.count(unit) != 0;
  };

  // One frame cut from the line: answered, or left unanswered and counted.
  auto frame = [&](const uint8_t* f, size_t n) {
    if (!sent.empty() && Clock::now() <= echo_until && n == sent.size() &&
        std::equal(f, f + n, sent.begin())) {
      sent.clear();
      ++rtu_ignored_;
      return;
    }
    Refresh(rtu_image_, false);
    uint8_t reply[kMaxRtuAdu];
    RtuVerdict verdict = RtuVerdict::kMalformed;
    Writes writes(*this, from);
    const size_t len = AnswerRtu(f, n, rtu_image_.registers, reply, &writes, &verdict);
    switch (verdict) {
      case RtuVerdict::kAnswered:
        ++rtu_requests_;
        out.assign(reply, reply + len);
        sent = out;
        echo_until = Clock::time_point::max();  // until it has gone out
        // The reply follows the request's silence.
        send_at = last_byte + silence;
        break;
      case RtuVerdict::kBadCrc:
      case RtuVerdict::kMalformed:
        ++rtu_bad_;
        Warn("rtu: port " + port + ": dropped a frame with a bad CRC or length", warned_rtu_,
             rtu_bad_);
        break;
      case RtuVerdict::kBroadcast:
      case RtuVerdict::kNotOurs:
        ++rtu_ignored_;
        break;
    }
  };

  while (!stop_) {
    auto now = Clock::now();
    if (fd < 0) {
      if (now >= retry_at) {
        std::string error;
        if (OpenRtu(rc, fd, error)) {
          log_("modbus-rtu: serving on " + port + " at " + std::to_string(rc.baud) + " baud " +
               std::to_string(rc.data_bits) + std::string(1, rc.parity) +
               std::to_string(rc.stop_bits));
          reported_down = false;
          delay = first_delay;
        } else {
          if (!reported_down || delay == max_delay)
            log_("modbus-rtu: cannot open " + port + ": " + view::SafeText(error) +
                 "; retrying in " + std::to_string(delay.count()) + " ms");
          reported_down = true;
          retry_at = now + delay;
          delay = std::min(delay * 2, max_delay);
        }
      }
      if (fd < 0) {
        pollfd w{wake_fd_, POLLIN, 0};
        const auto wait = std::chrono::duration_cast<milliseconds>(retry_at - now).count();
        poll(&w, 1, static_cast<int>(std::max<long>(1, std::min<long>(wait, 1000))));
        continue;
      }
    }

    // What is due next: the reply, the end of a frame, or nothing (a second).
    // A reply that is due waits for room (POLLOUT), never in a busy loop.
    microseconds wait = std::chrono::seconds(1);
    const bool ours_incomplete = !in.empty() && !overlong && our_unit(in[0]) &&
                                 RtuRequestLength(in.data(), in.size()) > in.size();
    const microseconds gap = ours_incomplete ? patience : silence;
    if (!out.empty() && now < send_at)
      wait = std::min(wait, std::chrono::duration_cast<microseconds>(send_at - now));
    if (!in.empty() || overlong)
      wait = std::min(wait, std::chrono::duration_cast<microseconds>(last_byte + gap - now));
    wait = std::max(wait, microseconds(0));
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {fd, POLLIN, 0}};
    if (!out.empty() && now >= send_at) fds[1].events |= POLLOUT;
    timespec ts{static_cast<time_t>(wait.count() / 1000000),
                static_cast<long>(wait.count() % 1000000) * 1000};
    const int n = ppoll(fds, 2, &ts, nullptr);
    if (stop_) break;
    if (n < 0) {
      if (errno != EINTR) lose(std::string("poll: ") + std::strerror(errno));
      continue;
    }
    now = Clock::now();
    if (fds[1].revents & (POLLERR | POLLNVAL)) {
      lose("error");
      continue;
    }
    if (fds[1].revents & (POLLIN | POLLHUP)) {
      uint8_t chunk[512];
      bool gone = false;
      std::string why;
      for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got > 0) {
          last_byte = now;
          if (overlong) continue;
          in.insert(in.end(), chunk, chunk + got);
          if (in.size() > kMaxRtuAdu) {
            // Longer than any frame without a silence: noise or a foreign
            // protocol. Dropped whole when the line goes quiet.
            overlong = true;
            in.clear();
          }
          continue;
        }
        if (got < 0 && errno == EINTR) continue;
        // A raw tty (VMIN 0) reads 0 when nothing is waiting; a hang-up
        // shows as POLLHUP with nothing to read.
        if (got == 0 && !(fds[1].revents & POLLHUP)) break;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        gone = true;  // the port went away (a USB adapter unplugged)
        why = got == 0 ? "hang-up" : std::strerror(errno);
        break;
      }
      if (gone) {
        lose(why);
        continue;
      }
    }
    // A request of ours complete by its length with a good CRC is answered
    // without waiting for the silence.
    while (!in.empty() && our_unit(in[0])) {
      const size_t want = RtuRequestLength(in.data(), in.size());
      if (want == 0 || want > kMaxRtuAdu || in.size() < want) break;
      if (Crc16(in.data(), want - 2) != static_cast<uint16_t>(in[want - 2] | in[want - 1] << 8))
        break;
      frame(in.data(), want);
      in.erase(in.begin(), in.begin() + static_cast<long>(want));
    }
    if ((!in.empty() || overlong) && now - last_byte >= gap) {
      if (overlong) {
        ++rtu_bad_;
        Warn("rtu: port " + port + ": dropped bytes longer than a frame", warned_rtu_, rtu_bad_);
      } else {
        frame(in.data(), in.size());
      }
      in.clear();
      overlong = false;
    }
    if (!out.empty() && now >= send_at) {
      const ssize_t put = write(fd, out.data(), out.size());
      if (put > 0) {
        out.erase(out.begin(), out.begin() + put);
        // An echoing adapter hands our reply back while it goes out.
        if (out.empty())
          echo_until = now + char_time * static_cast<long>(sent.size()) + milliseconds(20);
      } else if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        lose(std::string("write: ") + std::strerror(errno));
      }
    }
  }
  CloseRtu();
}

}  // namespace qmx::modbus
