#include "web/front_gate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <vector>

#include "input/secret_file.h"

namespace qmx::web {
namespace {

using Clock = std::chrono::steady_clock;

// One client, from its accept to the end of its answer.
struct Conn {
  int client = -1, backend = -1;
  std::string addr;
  std::string in;           // the client's request so far (plain text)
  std::string relay;        // the checked request for the workers, not yet sent
  std::string out;          // bytes for the client's socket not yet written
  SSL* ssl = nullptr;       // with TLS: the session over two memory BIOs
  bool handshaken = false;  // the TLS handshake is done
  bool shut = false;        // close_notify is on its way
  bool head_ok = false;     // the head is whole and checked; waiting for the body
  size_t head_end = 0, body = 0;
  std::string head;         // the checked head (RequestVerdict::head)
  size_t taken = 0;         // bytes read from the client in all
  bool relaying = false;    // the head was whole and good; the backend has it
  bool connecting = false;  // the backend connection is not up yet
  bool client_eof = false, backend_eof = false;
  bool closing = false;  // our own answer: close once it is written
  Clock::time_point deadline;
};

std::string Answer(int status, const char* text, const std::string& message, bool tls) {
  const std::string body = "{\"error\":\"" + message + "\"}";
  return fmt::format(
      "HTTP/1.1 {} {}\r\nContent-Type: application/json\r\nContent-Length: {}\r\n"
      "Connection: close\r\nCache-Control: no-store\r\n{}\r\n{}",
      status, text, body.size(), SecurityHeaders(tls), body);
}

const char* StatusText(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 411:
      return "Length Required";
    case 413:
      return "Payload Too Large";
    case 421:
      return "Misdirected Request";
    case 431:
      return "Request Header Fields Too Large";
    case 503:
      return "Service Unavailable";
    default:
      return "Bad Request";
  }
}

bool IsTokenChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) ||
         std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return s.size() >= n && Lower(s.substr(0, n)) == prefix;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// A Host header's value without its ":PORT" (digits), "" when malformed.
std::string HostName(const std::string& value) {
  std::string name = value, port;
  if (!value.empty() && value[0] == '[') {
    const size_t close = value.find(']');
    if (close == std::string::npos) return "";
    name = value.substr(0, close + 1);
    port = value.substr(close + 1);
    if (!port.empty() && port[0] != ':') return "";
  } else if (const size_t colon = value.find(':'); colon != std::string::npos) {
    name = value.substr(0, colon);
    port = value.substr(colon);
  }
  if (!port.empty()) {
    if (port.size() < 2 || port.size() > 6) return "";
    for (size_t i = 1; i < port.size(); ++i)
      if (port[i] < '0' || port[i] > '9') return "";
  }
  return Lower(name);
}

std::string Bracketed(const std::string& address) {
  if (address.find(':') != std::string::npos && address.front() != '[') return "[" + address + "]";
  return address;
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

std::string SecurityHeaders(bool tls) {
  std::string h =
      "X-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n"
      "X-Frame-Options: DENY\r\n"
      "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self'; "
      "img-src 'self' data:; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; "
      "form-action 'none'\r\n";
  if (tls) h += "Strict-Transport-Security: max-age=31536000\r\n";
  return h;
}

RequestVerdict CheckRequest(const std::string& head, const GateRules& rules) {
  RequestVerdict v;
  auto refuse = [&v](int status, const char* reason) {
    v.status = status;
    v.reason = reason;
    v.head.clear();
    return v;
  };
  if (head.find('\0') != std::string::npos) return refuse(400, "NUL in the request head");
  if (!FrontGate::RequestLineOk(head)) return refuse(400, "not an HTTP/1.x request line");
  size_t eol = head.find('\n');
  std::string line = head.substr(0, eol);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const size_t sp1 = line.find(' ');
  const size_t sp2 = line.find(' ', sp1 + 1);
  const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const bool http11 = line.compare(sp2 + 1, std::string::npos, "HTTP/1.1") == 0;
  if (target[0] != '/') return refuse(400, "the target must be a path on this server");
  for (size_t i = 0; i < target.size(); ++i) {
    if (target[i] != '%') continue;
    if (i + 2 >= target.size() || !IsHex(target[i + 1]) || !IsHex(target[i + 2]))
      return refuse(400, "bad percent escape in the target");
    if (target[i + 1] == '0' && target[i + 2] == '0') return refuse(400, "NUL in the target");
  }
  v.head = line + "\r\n";
  int lengths = 0, hosts = 0;
  bool encoding = false;
  std::string length, host;
  for (size_t at = eol + 1; at < head.size();) {
    size_t next = head.find('\n', at);
    if (next == std::string::npos) next = head.size();
    std::string h = head.substr(at, next - at);
    at = next + 1;
    if (!h.empty() && h.back() == '\r') h.pop_back();
    if (h.empty()) break;  // the empty line that ends the head
    const size_t colon = h.find(':');
    if (colon == std::string::npos || colon == 0) return refuse(400, "bad header line");
    for (size_t i = 0; i < colon; ++i)
      if (!IsTokenChar(h[i])) return refuse(400, "bad header name");
    for (size_t i = colon + 1; i < h.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(h[i]);
      if ((c < 0x20 && c != '\t') || c == 0x7F) return refuse(400, "control character in a header");
    }
    const std::string name = Lower(h.substr(0, colon));
    const std::string value = Trim(h.substr(colon + 1));
    // The gate's own headers come from the gate alone.
    if (StartsWithNoCase(name, "x-k417t-")) continue;
    if (name == "content-length") {
      ++lengths;
      length = value;
    } else if (name == "transfer-encoding") {
      encoding = true;
    } else if (name == "host") {
      ++hosts;
      host = value;
    }
    v.head += h + "\r\n";
  }
  if (lengths > 1) return refuse(400, "more than one Content-Length");
  if (encoding && lengths > 0) return refuse(400, "Content-Length with Transfer-Encoding");
  if (encoding) return refuse(411, "a body needs a Content-Length");
  if (lengths == 1) {
    if (length.empty() || length.size() > 9 ||
        length.find_first_not_of("0123456789") != std::string::npos)
      return refuse(400, "bad Content-Length");
    v.body = static_cast<size_t>(std::stoul(length));
    if (v.body > rules.max_body) return refuse(413, "body too large");
  }
  if (hosts > 1) return refuse(400, "more than one Host");
  if (hosts == 0 && http11) return refuse(400, "no Host header");
  if (hosts == 1 && !rules.hosts.empty()) {
    const std::string name = HostName(host);
    if (name.empty()) return refuse(400, "bad Host header");
    bool known = false;
    for (const std::string& allowed : rules.hosts) known = known || Lower(allowed) == name;
    if (!known) return refuse(421, "this server does not answer to that Host");
  }
  return v;
}

bool IsLoopback(const std::string& address) {
  std::string a = Lower(address);
  if (a.size() >= 2 && a.front() == '[' && a.back() == ']') a = a.substr(1, a.size() - 2);
  if (a == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, a.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, a.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::vector<std::string> AllowedHosts(const std::string& address,
                                      const std::vector<std::string>& extra) {
  std::vector<std::string> out = {"localhost", "127.0.0.1", "[::1]"};
  const bool wildcard =
      address.empty() || address == "0.0.0.0" || address == "::" || address == "[::]";
  if (!wildcard) out.push_back(Bracketed(address));
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
    out.push_back(name);
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) == 0) {
      if (res != nullptr && res->ai_canonname != nullptr) out.push_back(res->ai_canonname);
      freeaddrinfo(res);
    }
  }
  // Listening everywhere: clients name the machine by any of its addresses.
  ifaddrs* ifs = nullptr;
  if (wildcard && getifaddrs(&ifs) == 0) {
    for (ifaddrs* i = ifs; i != nullptr; i = i->ifa_next) {
      if (i->ifa_addr == nullptr) continue;
      const int family = i->ifa_addr->sa_family;
      if (family != AF_INET && family != AF_INET6) continue;
      sockaddr_storage sa{};
      std::memcpy(&sa, i->ifa_addr, family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
      const std::string a = PeerAddress(sa);
      if (!a.empty()) out.push_back(Bracketed(a));
    }
    freeifaddrs(ifs);
  }
  out.insert(out.end(), extra.begin(), extra.end());
  for (std::string& h : out) h = Lower(h);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
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

namespace {

std::string TlsError() {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "unknown error";
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

// The TLS bytes the session has made, onto the client's output.
void Flush(Conn& c) {
  BIO* w = SSL_get_wbio(c.ssl);
  char buf[4096];
  int n;
  while ((n = BIO_read(w, buf, sizeof buf)) > 0) c.out.append(buf, static_cast<size_t>(n));
}

// Plain text for the client: through the session with TLS. False when the
// session refuses it.
bool Emit(Conn& c, const char* data, size_t size) {
  if (c.ssl == nullptr) {
    c.out.append(data, size);
    return true;
  }
  if (!c.handshaken) return false;
  while (size > 0) {
    const int n = SSL_write(c.ssl, data, static_cast<int>(std::min<size_t>(size, 1 << 20)));
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  Flush(c);
  return true;
}

}  // namespace

bool FrontGate::StartTls(std::string& error) {
  if (opt_.tls_cert.empty() && opt_.tls_key.empty()) return true;
  if (opt_.tls_cert.empty() || opt_.tls_key.empty()) {
    error = "http: TLS needs both a certificate and a key file";
    return false;
  }
  if (!SecretFileIsPrivate(opt_.tls_key, "the HTTPS key file", error)) {
    error = "http: " + error;
    return false;
  }
  ERR_clear_error();
  tls_ = SSL_CTX_new(TLS_server_method());
  if (tls_ == nullptr) {
    error = "http: no TLS context: " + TlsError();
    return false;
  }
  // TLS 1.2 with forward secrecy and AEAD ciphers only; 1.3 with its
  // defaults. No compression, no renegotiation, no session tickets (each
  // connection carries one request).
  SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION);
  SSL_CTX_set_options(tls_, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_TICKET);
  SSL_CTX_set_num_tickets(tls_, 0);
  SSL_CTX_set_session_cache_mode(tls_, SSL_SESS_CACHE_OFF);
  const char* ciphers =
      "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
      "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
      "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
  std::string why;
  if (SSL_CTX_set_cipher_list(tls_, ciphers) != 1) {
    why = "cipher list: " + TlsError();
  } else if (SSL_CTX_use_certificate_chain_file(tls_, opt_.tls_cert.c_str()) != 1) {
    why = "cannot use the certificate file " + opt_.tls_cert + ": " + TlsError();
  } else if (SSL_CTX_use_PrivateKey_file(tls_, opt_.tls_key.c_str(), SSL_FILETYPE_PEM) != 1) {
    why = "cannot use the key file " + opt_.tls_key + ": " + TlsError();
  } else if (SSL_CTX_check_private_key(tls_) != 1) {
    why = "the key in " + opt_.tls_key + " does not match the certificate in " + opt_.tls_cert;
  }
  if (!why.empty()) {
    error = "http: " + why;
    SSL_CTX_free(tls_);
    tls_ = nullptr;
    return false;
  }
  return true;
}

bool FrontGate::Start(std::string& error) {
  if (thread_.joinable()) return true;
  if (tls_ == nullptr && !StartTls(error)) return false;
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

FrontGate::~FrontGate() {
  Stop();
  if (tls_ != nullptr) SSL_CTX_free(tls_);
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
  const bool tls = tls_ != nullptr;
  GateRules rules;
  rules.hosts = opt_.hosts;
  rules.max_body = opt_.max_body;
  auto finish = [&](std::list<Conn>::iterator it) {
    CloseFd(it->client);
    CloseFd(it->backend);
    if (it->ssl != nullptr) SSL_free(it->ssl);
    auto p = per_address.find(it->addr);
    if (p != per_address.end() && --p->second == 0) per_address.erase(p);
    return conns.erase(it);
  };
  // Our own answer, then close. False when it cannot be given (a TLS
  // client before its handshake is done): drop the client.
  auto refuse = [&](Conn& c, int status, const char* text, const std::string& message) {
    ++dropped_;
    c.relaying = false;
    c.in.clear();
    c.relay.clear();
    c.closing = true;
    c.deadline = Clock::now() + std::chrono::seconds(2);
    const std::string a = Answer(status, text, message, tls);
    return Emit(c, a.data(), a.size());
  };
  const size_t max_request = opt_.max_head + opt_.max_body + 1024;
  // Raw bytes read from a client: its request, and with TLS the handshake
  // and the records' framing too.
  const size_t max_taken = max_request + (tls ? 32768 : 0);
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
      if (!c.closing && !c.relaying && !c.client_eof && c.taken < max_taken) ev |= POLLIN;
      if (!c.out.empty()) ev |= POLLOUT;
      fds.push_back({c.client, ev, 0});
      owners.push_back(it);
      if (c.backend >= 0) {
        short bev = 0;
        if (c.connecting || !c.relay.empty()) bev |= POLLOUT;
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
      if ((cr & (POLLIN | POLLHUP | POLLERR)) && !c.closing && !c.relaying && !c.client_eof) {
        const ssize_t n = recv(c.client, buf, sizeof buf, 0);
        if (n > 0) {
          c.taken += static_cast<size_t>(n);
          if (c.ssl == nullptr) {
            c.in.append(buf, static_cast<size_t>(n));
          } else {
            BIO_write(SSL_get_rbio(c.ssl), buf, static_cast<int>(n));
            std::string why;
            if (!c.handshaken) {
              const int r = SSL_do_handshake(c.ssl);
              const int e = r == 1 ? SSL_ERROR_NONE : SSL_get_error(c.ssl, r);
              if (r == 1) {
                c.handshaken = true;
              } else if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
                why = TlsError();
              }
              Flush(c);
            }
            while (why.empty() && c.handshaken && c.in.size() <= max_request) {
              const int r = SSL_read(c.ssl, buf, sizeof buf);
              if (r > 0) {
                c.in.append(buf, static_cast<size_t>(r));
                continue;
              }
              const int e = SSL_get_error(c.ssl, r);
              if (e == SSL_ERROR_ZERO_RETURN)
                c.client_eof = true;
              else if (e != SSL_ERROR_WANT_READ)
                why = TlsError();
              break;
            }
            if (!why.empty()) {
              if (!c.handshaken) {
                ++failed_handshakes_;
                RateLog(
                    fmt::format("http: a TLS handshake from {} failed: {}; dropped", c.addr, why));
              }
              ++dropped_;
              drop = true;
            }
          }
        } else if (n == 0) {
          c.client_eof = true;
        } else if (errno != EAGAIN && errno != EINTR) {
          drop = true;
        }
        // A client gone before its whole request is dropped.
        if (c.client_eof) drop = true;
      }
      if (!drop && !c.relaying && !c.closing && !c.head_ok && !c.in.empty()) {
        const size_t end = HeadEnd(c.in);
        if ((end == std::string::npos && c.in.size() > opt_.max_head) ||
            (end != std::string::npos && end > opt_.max_head + 4)) {
          drop = !refuse(c, 431, "Request Header Fields Too Large",
                         fmt::format("request head too large (at most {} bytes)", opt_.max_head));
        } else if (end != std::string::npos) {
          RequestVerdict v = CheckRequest(c.in.substr(0, end), rules);
          if (v.status != 0) {
            drop = !refuse(c, v.status, StatusText(v.status), v.reason);
          } else {
            c.head_ok = true;
            c.head_end = end;
            c.body = v.body;
            c.head = std::move(v.head);
          }
        }
      }
      if (!drop && c.head_ok && !c.relaying && !c.closing && c.in.size() >= c.head_end + c.body) {
        // The whole request: now a worker may have it, with the gate's own
        // headers. Bytes after its body are not passed on.
        c.relay = std::move(c.head);
        c.relay += "X-K417T-Peer: " + c.addr + "\r\n";
        if (!opt_.gate_secret.empty()) c.relay += "X-K417T-Gate: " + opt_.gate_secret + "\r\n";
        c.relay += "\r\n";
        c.relay.append(c.in, c.head_end, c.body);
        c.in.clear();
        c.backend = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(opt_.backend_port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (c.backend < 0 ||
            (connect(c.backend, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 &&
             errno != EINPROGRESS)) {
          CloseFd(c.backend);
          drop = !refuse(c, 503, "Service Unavailable", "the server is not ready");
        } else {
          c.relaying = true;
          c.connecting = true;
          c.deadline = now + std::chrono::milliseconds(opt_.relay_timeout_ms);
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
            drop = !refuse(c, 503, "Service Unavailable", "the server is not ready");
          } else {
            c.connecting = false;
          }
        }
        if (c.backend >= 0 && !c.connecting && !c.relay.empty() && (br & POLLOUT)) {
          const ssize_t n = send(c.backend, c.relay.data(), c.relay.size(), MSG_NOSIGNAL);
          if (n > 0)
            c.relay.erase(0, static_cast<size_t>(n));
          else if (n < 0 && errno != EAGAIN && errno != EINTR)
            c.backend_eof = true;
        }
        if (c.backend >= 0 && !c.connecting && (br & (POLLIN | POLLHUP | POLLERR))) {
          const ssize_t n = recv(c.backend, buf, sizeof buf, 0);
          if (n > 0) {
            if (!Emit(c, buf, static_cast<size_t>(n))) drop = true;
          } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            c.backend_eof = true;
          }
        }
      }
      // The end of a TLS answer: close_notify after it.
      if (!drop && c.ssl != nullptr && c.handshaken && !c.shut &&
          (c.closing || (c.relaying && c.backend_eof))) {
        c.shut = true;
        SSL_shutdown(c.ssl);
        Flush(c);
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
          const char* what = "request head";
          if (c.ssl != nullptr && !c.handshaken) {
            ++failed_handshakes_;
            what = "TLS handshake and request";
          } else if (c.head_ok) {
            what = "request body";
          }
          RateLog(fmt::format("http: a client from {} did not send its {} within {} ms; dropped",
                              c.addr, what, opt_.head_timeout_ms));
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
        bool crowded = conns.size() >= opt_.max_connections;
        if (crowded && per_address[addr] < opt_.per_address) {
          // Full: the oldest client still short of its whole request makes
          // room. Clients that hold connections open without finishing a
          // request (from many addresses at once) then only crowd each
          // other out, and a client that sends its request at once gets in.
          for (auto it = conns.begin(); it != conns.end(); ++it) {
            if (it->relaying || it->closing) continue;
            ++dropped_;
            RateLog(fmt::format(
                "http: {} connections open, the most taken; the oldest without a whole request "
                "(from {}) dropped for a new client from {}",
                conns.size(), it->addr, addr));
            finish(it);
            crowded = false;
            break;
          }
        }
        size_t& open = per_address[addr];
        if (open >= opt_.per_address || crowded) {
          // Answered in plain text: over TLS there is no session yet, and the
          // client sees a closed connection instead.
          if (!tls) {
            const std::string a =
                crowded ? Answer(503, "Service Unavailable", "too many connections", false)
                        : Answer(429, "Too Many Requests", "too many connections from this address",
                                 false);
            (void)!send(fd, a.data(), a.size(), MSG_NOSIGNAL);
          }
          close(fd);
          if (open == 0) per_address.erase(addr);
          ++dropped_;
          RateLog(
              fmt::format("http: a client from {} refused: {} connections open from there, "
                          "{} in all",
                          addr, open, conns.size()));
          continue;
        }
        Conn c;
        if (tls) {
          c.ssl = SSL_new(tls_);
          if (c.ssl == nullptr) {
            close(fd);
            if (open == 0) per_address.erase(addr);
            continue;
          }
          SSL_set_bio(c.ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
          SSL_set_accept_state(c.ssl);
        }
        ++open;
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
