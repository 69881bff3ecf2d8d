#include "modbus/modbus_front_end.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "view/control_rules.h"

namespace qmx::modbus {
namespace {

using Clock = std::chrono::steady_clock;

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
  image_.map = std::shared_ptr<const Map>(std::shared_ptr<const Map>(), &TheMap());
}

ModbusFrontEnd::~ModbusFrontEnd() { Stop(); }

bool ModbusFrontEnd::Start(std::string& error) {
  std::vector<std::pair<unsigned int, std::string>> devices;
  for (unsigned int id : view_.DeviceIds()) devices.push_back({id, view_.Info(id).name});
  if (!AssignUnits(cfg_, devices, units_, error)) return false;
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
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  log_("modbus: listening on " + cfg_.address + ":" + std::to_string(bound_port_) + ", " +
       std::to_string(units_.size()) + " unit id(s)");
  if (!cfg_.loopback())
    log_("modbus: warning: listening beyond loopback on " + cfg_.address +
         "; Modbus has no authentication: keep it on a plant network behind a firewall");
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  worker_ = std::thread([this] { ControlWorker(); });
  return true;
}

void ModbusFrontEnd::Stop() {
  if (!thread_.joinable() && !worker_.joinable()) return;
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

void ModbusFrontEnd::OnRound(const view::RoundView&) { dirty_ = true; }
void ModbusFrontEnd::OnLink(const LinkReport&) { dirty_ = true; }

bool ModbusFrontEnd::CheckReload(const Json::Value& site, std::string& error) {
  if (!reload_) return true;
  ModbusConfig next;
  if (!reload_(site, next, error)) return false;
  std::lock_guard<std::mutex> lock(cfg_mu_);
  if (!next.enabled || next.address != cfg_.address || next.port != cfg_.port) {
    error = "modbus: turning the server off or changing its address takes a restart";
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
  next.address = cfg_.address;
  next.port = cfg_.port;
  cfg_ = next;
  if (!units.empty()) units_ = units;
  dirty_ = true;
}

void ModbusFrontEnd::Warn(const std::string& what, Clock::time_point& last, uint64_t count) {
  const auto now = Clock::now();
  if (last != Clock::time_point{} && now - last < std::chrono::minutes(1)) return;
  last = now;
  log_("modbus: " + what + " (" + std::to_string(count) + " so far)");
}

void ModbusFrontEnd::Refresh(bool force) {
  const auto now = Clock::now();
  if (!force && !dirty_ && now - built_ < std::chrono::seconds(1)) return;
  dirty_ = false;
  built_ = now;
  std::map<uint8_t, unsigned int> units;
  bool big = true;
  {
    std::lock_guard<std::mutex> lock(cfg_mu_);
    units = units_;
    big = cfg_.big_endian_words;
  }
  RegisterImage next;
  next.map = image_.map;
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
  image_ = std::move(next);
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
    c.peer = PeerOf(peer);
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
        Warn("closed " + c.peer + ": not a Modbus-TCP frame", warned_bad_, bad_frames_);
        return false;
      }
      if (frame == 0) break;
      Refresh(false);
      uint8_t reply[kMaxAdu];
      current_ = &c;
      // Writes always reach the handler: with control off it refuses them,
      // and a refused control attempt is audited like any other.
      const size_t n = Answer(c.buf.data(), static_cast<size_t>(frame), image_, reply, this);
      current_ = nullptr;
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

bool ModbusFrontEnd::PeerAllowed(const std::string& peer) const {
  return std::find(cfg_.control_peers.begin(), cfg_.control_peers.end(), peer) !=
         cfg_.control_peers.end();
}

uint8_t ModbusFrontEnd::ReadHolding(unsigned int device, uint16_t address, uint16_t count,
                                    uint16_t* out) {
  {
    std::lock_guard<std::mutex> lock(cfg_mu_);
    if (!cfg_.control) return kIllegalFunction;  // no command block without control
  }
  if (static_cast<size_t>(address) + count > 3) return kIllegalDataAddress;
  std::array<uint16_t, 3> block = {0, 0xFFFF, 0};
  if (current_ != nullptr) {
    const auto it = current_->staged.find(device);
    if (it != current_->staged.end()) block = it->second;
  }
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
  dirty_ = true;
}

uint8_t ModbusFrontEnd::WriteHolding(unsigned int device, uint16_t address, const uint16_t* values,
                                     uint16_t count) {
  if (current_ == nullptr) return kServerFailure;
  if (static_cast<size_t>(address) + count > 3) return kIllegalDataAddress;
  Client& c = *current_;
  view::ControlAttempt a;
  a.via = "modbus";
  a.who = "modbus:" + c.peer;
  a.peer = c.peer;
  a.device = device;
  std::string name;
  bool control = false, allowed_peer = false;
  {
    std::lock_guard<std::mutex> lock(cfg_mu_);
    control = cfg_.control;
    allowed_peer = PeerAllowed(c.peer);
  }
  if (!control) {
    a.code = address == 0 ? values[0] : 0;
    Refuse(a, 0, "control through Modbus is off (modbus.control)");
    return kIllegalFunction;
  }
  name = view_.Info(device).name;
  auto& block = c.staged.emplace(device, std::array<uint16_t, 3>{0, 0xFFFF, 0}).first->second;
  if (!allowed_peer) {
    a.code = address == 0 ? values[0] : block[0];
    Refuse(a, 0, "client " + c.peer + " is not in modbus.control_peers");
    return kIllegalFunction;
  }
  for (uint16_t i = 0; i < count; ++i) block[address + i] = values[i];
  if (address + count < 3) return 0;  // staged: the sequence register sends it
  const uint16_t seq = block[2];
  a.code = block[0];
  a.byte = block[1] == 0xFFFF ? -1 : block[1];
  a.request_id = "modbus:" + c.peer + ":" + std::to_string(seq);
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
      dirty_ = true;
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
    dirty_ = true;
  }
}

}  // namespace qmx::modbus
