#include "web/front_gate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <vector>

namespace qmx::web {
namespace {

using Clock = std::chrono::steady_clock;

// One client, from its accept to the end of its answer.
struct Conn {
  int client = -1, backend = -1;
  std::string addr;
  std::string in;           // bytes from the client not yet passed on
  std::string out;          // bytes for the client not yet written
  size_t taken = 0;         // bytes read from the client in all
  bool relaying = false;    // the head was whole and good; the backend has it
  bool connecting = false;  // the backend connection is not up yet
  bool client_eof = false, backend_eof = false;
  bool closing = false;  // our own answer: close once it is written
  Clock::time_point deadline;
};

std::string Answer(int status, const char* text, const std::string& message) {
  const std::string body = "{\"error\":\"" + message + "\"}";
  return fmt::format(
      "HTTP/1.1 {} {}\r\nContent-Type: application/json\r\nContent-Length: {}\r\n"
      "Connection: close\r\nCache-Control: no-store\r\n{}\r\n{}",
      status, text, body.size(), SecurityHeaders(), body);
}

std::string PeerAddress(const sockaddr_storage& sa) {
  char text[INET6_ADDRSTRLEN] = "";
  if (sa.ss_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&sa)->sin_addr, text, sizeof text);
  else if (sa.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&sa)->sin6_addr, text, sizeof text);
  return text;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// The end of a request head: an empty line (CRLF or, leniently, LF alone).
size_t HeadEnd(const std::string& s) {
  const size_t crlf = s.find("\r\n\r\n");
  const size_t lf = s.find("\n\n");
  if (crlf == std::string::npos && lf == std::string::npos) return std::string::npos;
  if (crlf == std::string::npos) return lf + 2;
  if (lf == std::string::npos) return crlf + 4;
  return std::min(crlf + 4, lf + 2);
}

}  // namespace

std::string SecurityHeaders() {
  return "X-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n"
         "X-Frame-Options: DENY\r\n"
         "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self'; "
         "img-src 'self' data:; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; "
         "form-action 'none'\r\n";
}

bool FrontGate::RequestLineOk(const std::string& head) {
  const size_t eol = head.find('\n');
  if (eol == std::string::npos) return false;
  std::string line = head.substr(0, eol);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const size_t sp1 = line.find(' ');
  if (sp1 == std::string::npos || sp1 == 0 || sp1 > 16) return false;
  for (size_t i = 0; i < sp1; ++i)
    if (line[i] < 'A' || line[i] > 'Z') return false;
  const size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string::npos || sp2 == sp1 + 1) return false;
  for (size_t i = sp1 + 1; i < sp2; ++i)
    if (line[i] <= 0x20 || line[i] >= 0x7F) return false;
  const std::string version = line.substr(sp2 + 1);
  return version == "HTTP/1.1" || version == "HTTP/1.0";
}

FrontGate::FrontGate(GateOptions options, LogSink log)
    : opt_(std::move(options)), log_(std::move(log)) {}

FrontGate::~FrontGate() { Stop(); }

bool FrontGate::Start(std::string& error) {
  if (thread_.joinable()) return true;
  std::string host = opt_.address;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* res = nullptr;
  const std::string port = std::to_string(opt_.port);
  if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &res); rc != 0) {
    error =
        fmt::format("http: cannot serve on {}:{}: {}", opt_.address, opt_.port, gai_strerror(rc));
    return false;
  }
  int fd = -1;
  std::string why = "no address";
  for (addrinfo* a = res; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 128) != 0) {
      why = std::strerror(errno);
      CloseFd(fd);
    }
  }
  freeaddrinfo(res);
  if (fd < 0) {
    error = fmt::format("http: cannot serve on {}:{}: {}", opt_.address, opt_.port, why);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
    error = "http: no pipe";
    CloseFd(fd);
    return false;
  }
  listen_fd_ = fd;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void FrontGate::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  const char c = 0;
  (void)!write(wake_[1], &c, 1);
  thread_.join();
  CloseFd(listen_fd_);
  CloseFd(wake_[0]);
  CloseFd(wake_[1]);
}

void FrontGate::RateLog(const std::string& line) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (now - last_log_ < 30) {
    ++unlogged_;
    return;
  }
  if (log_)
    log_(unlogged_ ? fmt::format("{} ({} more since the last report)", line, unlogged_) : line);
  last_log_ = now;
  unlogged_ = 0;
}

void FrontGate::Run() {
  std::list<Conn> conns;
  std::map<std::string, size_t> per_address;
  auto finish = [&](std::list<Conn>::iterator it) {
    CloseFd(it->client);
    CloseFd(it->backend);
    auto p = per_address.find(it->addr);
    if (p != per_address.end() && --p->second == 0) per_address.erase(p);
    return conns.erase(it);
  };
  auto refuse = [&](Conn& c, int status, const char* text, const std::string& message) {
    c.out = Answer(status, text, message);
    c.closing = true;
    c.relaying = false;
    c.in.clear();
    c.deadline = Clock::now() + std::chrono::seconds(2);
    ++dropped_;
  };
  const size_t max_request = opt_.max_head + opt_.max_body + 1024;
  char buf[16384];
  std::vector<pollfd> fds;
  std::vector<std::list<Conn>::iterator> owners;
  while (!stop_) {
    fds.clear();
    owners.clear();
    fds.push_back({wake_[0], POLLIN, 0});
    fds.push_back({listen_fd_, POLLIN, 0});
    auto now = Clock::now();
    auto next = now + std::chrono::milliseconds(500);
    for (auto it = conns.begin(); it != conns.end(); ++it) {
      Conn& c = *it;
      next = std::min(next, c.deadline);
      short ev = 0;
      if (!c.closing && !c.client_eof && c.taken < max_request) ev |= POLLIN;
      if (!c.out.empty()) ev |= POLLOUT;
      fds.push_back({c.client, ev, 0});
      owners.push_back(it);
      if (c.backend >= 0) {
        short bev = 0;
        if (c.connecting || !c.in.empty()) bev |= POLLOUT;
        if (!c.connecting && !c.backend_eof && c.out.size() < opt_.max_answer) bev |= POLLIN;
        fds.push_back({c.backend, bev, 0});
        owners.push_back(it);
      }
    }
    const int wait_ms = static_cast<int>(
        std::max<int64_t>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count()) +
        1);
    if (poll(fds.data(), fds.size(), wait_ms) < 0 && errno != EINTR) break;
    if (fds[0].revents) {
      while (read(wake_[0], buf, sizeof buf) > 0) {
      }
    }
    now = Clock::now();
    // Handled per connection once, whichever of its descriptors is ready.
    std::map<const Conn*, std::pair<short, short>> ready;
    for (size_t i = 2; i < fds.size(); ++i) {
      Conn& c = *owners[i - 2];
      auto& r = ready[&c];
      if (fds[i].fd == c.client)
        r.first = fds[i].revents;
      else
        r.second = fds[i].revents;
    }
    for (auto it = conns.begin(); it != conns.end();) {
      Conn& c = *it;
      const auto rr = ready.find(&c);
      const short cr = rr == ready.end() ? 0 : rr->second.first;
      const short br = rr == ready.end() ? 0 : rr->second.second;
      bool drop = false;
      // From the client.
      if ((cr & (POLLIN | POLLHUP | POLLERR)) && !c.closing && !c.client_eof) {
        const ssize_t n = recv(c.client, buf, sizeof buf, 0);
        if (n > 0) {
          c.taken += static_cast<size_t>(n);
          c.in.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
          c.client_eof = true;
          if (!c.relaying) drop = true;
        } else if (errno != EAGAIN && errno != EINTR) {
          drop = true;
        }
      }
      if (!drop && !c.relaying && !c.closing) {
        const size_t end = HeadEnd(c.in);
        if (end == std::string::npos) {
          if (c.in.size() > opt_.max_head)
            refuse(c, 431, "Request Header Fields Too Large",
                   fmt::format("request head too large (at most {} bytes)", opt_.max_head));
        } else if (end > opt_.max_head + 4) {
          refuse(c, 431, "Request Header Fields Too Large",
                 fmt::format("request head too large (at most {} bytes)", opt_.max_head));
        } else if (!RequestLineOk(c.in)) {
          refuse(c, 400, "Bad Request", "not an HTTP/1.x request line");
        } else {
          // A whole head: now a worker may have it.
          c.backend = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
          sockaddr_in to{};
          to.sin_family = AF_INET;
          to.sin_port = htons(static_cast<uint16_t>(opt_.backend_port));
          to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
          if (c.backend < 0 ||
              (connect(c.backend, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 &&
               errno != EINPROGRESS)) {
            CloseFd(c.backend);
            refuse(c, 503, "Service Unavailable", "the server is not ready");
          } else {
            c.relaying = true;
            c.connecting = true;
            c.deadline = now + std::chrono::milliseconds(opt_.relay_timeout_ms);
          }
        }
      }
      // To and from the workers.
      if (!drop && c.relaying && c.backend >= 0) {
        if (c.connecting && (br & (POLLOUT | POLLERR | POLLHUP))) {
          int err = 0;
          socklen_t len = sizeof err;
          getsockopt(c.backend, SOL_SOCKET, SO_ERROR, &err, &len);
          if (err != 0) {
            CloseFd(c.backend);
            refuse(c, 503, "Service Unavailable", "the server is not ready");
          } else {
            c.connecting = false;
          }
        }
        if (c.backend >= 0 && !c.connecting && !c.in.empty() && (br & POLLOUT)) {
          const ssize_t n = send(c.backend, c.in.data(), c.in.size(), MSG_NOSIGNAL);
          if (n > 0)
            c.in.erase(0, static_cast<size_t>(n));
          else if (n < 0 && errno != EAGAIN && errno != EINTR)
            c.backend_eof = true;
        }
        if (c.backend >= 0 && !c.connecting && (br & (POLLIN | POLLHUP | POLLERR))) {
          const ssize_t n = recv(c.backend, buf, sizeof buf, 0);
          if (n > 0)
            c.out.append(buf, static_cast<size_t>(n));
          else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            c.backend_eof = true;
        }
      }
      // To the client.
      if (!drop && !c.out.empty() && (cr & POLLOUT)) {
        const ssize_t n = send(c.client, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0)
          c.out.erase(0, static_cast<size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
          drop = true;
      }
      if (c.out.empty() && (c.closing || (c.relaying && c.backend_eof))) drop = true;
      if (!drop && now >= c.deadline) {
        if (!c.relaying && !c.closing) {
          ++dropped_;
          RateLog(
              fmt::format("http: a client from {} did not send its request head within {} ms; "
                          "dropped",
                          c.addr, opt_.head_timeout_ms));
        }
        drop = true;
      }
      it = drop ? finish(it) : std::next(it);
    }
    // New clients.
    if (fds[1].revents & POLLIN) {
      for (int k = 0; k < 64; ++k) {
        sockaddr_storage sa{};
        socklen_t len = sizeof sa;
        const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        const std::string addr = PeerAddress(sa);
        size_t& open = per_address[addr];
        if (open >= opt_.per_address || conns.size() >= opt_.max_connections) {
          const std::string a =
              Answer(429, "Too Many Requests",
                     open >= opt_.per_address ? "too many connections from this address"
                                              : "too many connections");
          (void)!send(fd, a.data(), a.size(), MSG_NOSIGNAL);
          close(fd);
          if (open == 0) per_address.erase(addr);
          ++dropped_;
          RateLog(
              fmt::format("http: a client from {} refused: {} connections open from there, "
                          "{} in all",
                          addr, open, conns.size()));
          continue;
        }
        ++open;
        Conn c;
        c.client = fd;
        c.addr = addr;
        c.deadline = Clock::now() + std::chrono::milliseconds(opt_.head_timeout_ms);
        conns.push_back(std::move(c));
      }
    }
  }
  for (auto it = conns.begin(); it != conns.end();) it = finish(it);
}

}  // namespace qmx::web
