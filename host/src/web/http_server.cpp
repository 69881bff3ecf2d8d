#include "web/http_server.h"

#include <civetweb.h>
#include <fmt/format.h>
#include <openssl/crypto.h>
#include <sys/random.h>

#include <cstring>
#include <mutex>

namespace qmx::web {
namespace {

const char* StatusText(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 411:
      return "Length Required";
    case 413:
      return "Payload Too Large";
    case 415:
      return "Unsupported Media Type";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

void Send(mg_connection* conn, const Response& r, bool head, bool tls) {
  std::string h = fmt::format(
      "HTTP/1.1 {} {}\r\nContent-Type: {}\r\nContent-Length: {}\r\nConnection: close\r\n{}",
      r.status, StatusText(r.status), r.content_type, r.body.size(), SecurityHeaders(tls));
  h += r.cacheable ? "Cache-Control: max-age=300\r\n" : "Cache-Control: no-store\r\n";
  if (!r.allow.empty()) h += "Allow: " + r.allow + "\r\n";
  if (r.status == 401 && r.challenge) h += "WWW-Authenticate: Basic realm=\"k417t\"\r\n";
  if (!r.set_cookie.empty()) h += "Set-Cookie: " + r.set_cookie + "\r\n";
  h += "\r\n";
  mg_write(conn, h.data(), h.size());
  if (!head && !r.body.empty()) mg_write(conn, r.body.data(), r.body.size());
}

Response Refused(int status, const std::string& message) {
  Response r;
  r.status = status;
  r.body = "{\"error\":\"" + message + "\"}";
  return r;
}

std::once_flag g_library;

// 128 random bits as hex; "" when the kernel gives none.
std::string GateSecret() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return "";
    }
    got += static_cast<size_t>(n);
  }
  std::string out;
  for (unsigned char b : bytes) out += fmt::format("{:02x}", b);
  return out;
}

}  // namespace

bool ParseListen(const std::string& text, std::string& address, int& port, std::string& error) {
  std::string host, port_text;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find("]:");
    if (close == std::string::npos) {
      error = "--http takes ADDR:PORT, [V6ADDR]:PORT or PORT";
      return false;
    }
    host = text.substr(0, close + 1);
    port_text = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
      host = "127.0.0.1";
      port_text = text;
    } else {
      host = text.substr(0, colon);
      port_text = text.substr(colon + 1);
      if (host.find(':') != std::string::npos) {
        error = "--http: write an IPv6 address in brackets, [::1]:8080";
        return false;
      }
    }
  }
  if (host.empty()) host = "127.0.0.1";
  for (char c : host) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == ':' || c == '[' ||
          c == ']' || c == '-')) {
      error = "--http: bad address '" + host + "'";
      return false;
    }
  }
  int p = 0;
  if (port_text.empty() || port_text.size() > 5) p = -1;
  for (char c : port_text) p = (c >= '0' && c <= '9' && p >= 0) ? p * 10 + (c - '0') : -1;
  if (p < 1 || p > 65535) {
    error = "--http: port must be 1-65535";
    return false;
  }
  address = host;
  port = p;
  return true;
}

HttpServer::HttpServer(WebApi& api, ServerOptions options, LogSink log)
    : api_(api), opt_(std::move(options)), log_(std::move(log)) {}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(std::string& error) {
  if (ctx_ != nullptr) return true;
  secret_ = GateSecret();
  if (secret_.empty()) {
    error = "http: no random bytes for the gate's secret";
    return false;
  }
  std::call_once(g_library, [] { mg_init_library(0); });
  // civetweb serves the front line only, on loopback.
  const std::string listen = "127.0.0.1:0";
  const std::string threads = std::to_string(opt_.threads);
  // The gate adds its own two headers to the head it relays.
  const std::string head = std::to_string(opt_.max_head + 256);
  const std::string timeout = std::to_string(opt_.request_timeout_ms);
  const std::string keep = std::to_string(opt_.keep_alive_timeout_ms);
  // No document_root: civetweb serves no files of its own; every request
  // comes to OnRequest.
  const char* options[] = {
      "listening_ports", listen.c_str(), "num_threads", threads.c_str(), "connection_queue", "64",
      "listen_backlog", "64", "max_request_size", head.c_str(), "request_timeout_ms",
      timeout.c_str(), "keep_alive_timeout_ms", keep.c_str(),
      // One request per connection: a client cannot keep a
      // worker waiting for its next request.
      "enable_keep_alive", "no", "linger_timeout_ms", "0", "decode_url", "yes", nullptr};
  mg_callbacks callbacks{};
  callbacks.begin_request = &HttpServer::OnRequest;
  callbacks.log_message = &HttpServer::OnLog;
  callbacks.http_error = &HttpServer::OnError;
  char text[256] = "";
  unsigned code = 0;
  mg_error_data err{};
  err.code = &code;
  err.text = text;
  err.text_buffer_size = sizeof text;
  mg_init_data init{};
  init.callbacks = &callbacks;
  init.user_data = this;
  init.configuration_options = options;
  ctx_ = mg_start2(&init, &err);
  if (ctx_ == nullptr) {
    error = fmt::format("http: cannot serve on {}: {}", listen, text[0] != 0 ? text : "refused");
    return false;
  }
  mg_server_port ports[4] = {};
  const int n = mg_get_server_ports(ctx_, 4, ports);
  GateOptions g;
  g.address = opt_.address;
  g.port = opt_.port;
  g.backend_port = n > 0 ? ports[0].port : 0;
  g.head_timeout_ms = opt_.head_timeout_ms;
  g.max_head = opt_.max_head;
  g.max_body = opt_.max_body;
  g.per_address = opt_.per_address;
  g.max_connections = opt_.max_connections;
  g.hosts = AllowedHosts(opt_.address, opt_.hosts);
  g.gate_secret = secret_;
  g.tls_cert = opt_.tls_cert;
  g.tls_key = opt_.tls_key;
  gate_ = std::make_unique<FrontGate>(g, log_);
  if (g.backend_port == 0 || !gate_->Start(error)) {
    if (error.empty()) error = "http: the workers' server has no port";
    gate_.reset();
    mg_stop(ctx_);
    ctx_ = nullptr;
    return false;
  }
  port_ = gate_->port();
  backend_port_ = g.backend_port;
  if (log_)
    log_(fmt::format("http: serving {} on {}:{}", tls() ? "HTTPS" : "HTTP", opt_.address, port_));
  return true;
}

void HttpServer::Stop() {
  if (gate_) gate_->Stop();
  gate_.reset();
  if (ctx_ == nullptr) return;
  mg_stop(ctx_);
  ctx_ = nullptr;
}

// civetweb's own refusals (a malformed head, a time-out) in our form: the
// security headers, a fixed status text, nothing of the request echoed.
int HttpServer::OnError(mg_connection* conn, int status, const char*) {
  if (status < 400 || status > 599) status = 400;
  auto* self = static_cast<HttpServer*>(mg_get_user_data(mg_get_context(conn)));
  Send(conn, Refused(status, StatusText(status)), false, self != nullptr && self->tls());
  return 0;
}

int HttpServer::OnRequest(mg_connection* conn) {
  auto* self = static_cast<HttpServer*>(mg_get_user_data(mg_get_context(conn)));
  return self->Serve(conn);
}

int HttpServer::OnLog(const mg_connection* conn, const char* message) {
  if (conn == nullptr) return 0;
  auto* self = static_cast<HttpServer*>(mg_get_user_data(mg_get_context(conn)));
  if (self->log_ && message != nullptr) self->log_(std::string("http: ") + message);
  return 1;
}

int HttpServer::Serve(mg_connection* conn) {
  const mg_request_info* info = mg_get_request_info(conn);
  Request req;
  req.method = info->request_method != nullptr ? info->request_method : "";
  req.path = info->local_uri_raw != nullptr ? info->local_uri_raw : "";
  req.query = info->query_string != nullptr ? info->query_string : "";
  const bool head = req.method == "HEAD";
  const bool tls = this->tls();
  // Only the gate may talk to the workers: a request without its secret
  // came to the loopback port some other way.
  const char* gate = mg_get_header(conn, "X-K417T-Gate");
  if (gate == nullptr || std::strlen(gate) != secret_.size() ||
      CRYPTO_memcmp(gate, secret_.data(), secret_.size()) != 0) {
    Send(conn, Refused(403, "requests come through the front line"), head, tls);
    return 403;
  }
  const char* peer = mg_get_header(conn, "X-K417T-Peer");
  req.peer = peer != nullptr ? peer : "";
  if (req.path.empty() || req.path[0] != '/') {
    Send(conn, Refused(400, "the request must name a path on this server"), head, tls);
    return 200;
  }
  // civetweb keeps the first MG_MAX_HEADERS headers of a head and ignores
  // the rest; a request that fills them is refused rather than half read.
  if (info->num_headers >= MG_MAX_HEADERS) {
    Send(conn, Refused(431, fmt::format("too many headers (at most {})", MG_MAX_HEADERS - 1)), head,
         tls);
    mg_disable_keep_alive(conn);
    return 431;
  }
  const char* origin = mg_get_header(conn, "Origin");
  const char* host = mg_get_header(conn, "Host");
  req.origin = origin != nullptr ? origin : "";
  req.origin_sent = origin != nullptr;
  req.host = host != nullptr ? host : "";
  const char* request_id = mg_get_header(conn, "X-Request-Id");
  req.request_id = request_id != nullptr ? request_id : "";
  const char* auth = mg_get_header(conn, "Authorization");
  const char* type = mg_get_header(conn, "Content-Type");
  req.authorization = auth != nullptr ? auth : "";
  req.content_type = type != nullptr ? type : "";
  const char* cookie = mg_get_header(conn, "Cookie");
  req.cookie = cookie != nullptr ? cookie : "";
  req.from_page = mg_get_header(conn, "X-Requested-With") != nullptr;
  const long long length = info->content_length;
  if (req.method == "POST" || req.method == "PUT") {
    if (length < 0) {
      Send(conn, Refused(411, "a body needs a Content-Length"), head, tls);
      mg_disable_keep_alive(conn);
      return 411;
    }
    if (static_cast<unsigned long long>(length) > opt_.max_body) {
      Send(conn, Refused(413, fmt::format("body too large (at most {} bytes)", opt_.max_body)),
           head, tls);
      mg_disable_keep_alive(conn);
      return 413;
    }
    req.body.resize(static_cast<size_t>(length));
    size_t got = 0;
    while (got < req.body.size()) {
      const int n = mg_read(conn, &req.body[got], req.body.size() - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (got < req.body.size()) {
      Send(conn, Refused(400, "body shorter than its Content-Length"), head, tls);
      mg_disable_keep_alive(conn);
      return 400;
    }
  } else if (length > 0) {
    // A body on GET is not read; the connection cannot be reused after it.
    mg_disable_keep_alive(conn);
  }
  const Response r = api_.Handle(req);
  Send(conn, r, head, tls);
  return r.status;
}

}  // namespace qmx::web
