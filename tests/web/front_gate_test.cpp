// The front line: which request heads it relays and how it rewrites them,
// TLS on the same port, whole requests before a worker, the client's real
// address, and the workers refusing anything that did not come through it.
#include "web/front_gate.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "input/secret_file.h"
#include "web/http_front_end.h"
#include "web_site.h"

extern "C" int __wrap_usleep(useconds_t) { return 0; }
extern "C" const char* __tsan_default_suppressions() { return "race:libcivetweb.so\n"; }

namespace {

using k417t_web_test::Exchange;
using k417t_web_test::Site;
using k417t_web_test::Status;
using qmx::web::CheckRequest;
using qmx::web::GateRules;
using namespace std::chrono_literals;

GateRules Rules() {
  GateRules r;
  r.hosts = {"localhost", "127.0.0.1", "[::1]", "gw.example"};
  r.max_body = 100;
  return r;
}

int Verdict(const std::string& head) { return CheckRequest(head, Rules()).status; }

TEST(CheckRequest, TakesOriginFormRequestsWithOneHostAndOneLength) {
  for (const char* ok :
       {"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n",
        "GET /api/devices?x=%41%2f HTTP/1.1\r\nHost: LOCALHOST:8080\r\n\r\n",
        "GET / HTTP/1.1\r\nhost: [::1]:80\r\n\r\n", "GET / HTTP/1.1\nHost: gw.example\n\n",
        "GET / HTTP/1.0\r\n\r\n",  // 1.0 needs no Host
        "POST /x HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n"})
    EXPECT_EQ(Verdict(ok), 0) << ok;
  EXPECT_EQ(
      CheckRequest("POST /x HTTP/1.1\r\nHost: localhost\r\nContent-Length:  7 \r\n\r\n", Rules())
          .body,
      7u);
}

TEST(CheckRequest, RefusesMalformedTargetsAndFraming) {
  const std::pair<const char*, int> cases[] = {
      {"GET http://localhost/ HTTP/1.1\r\nHost: localhost\r\n\r\n", 400},  // absolute form
      {"OPTIONS * HTTP/1.1\r\nHost: localhost\r\n\r\n", 400},
      {"GET /a%00b HTTP/1.1\r\nHost: localhost\r\n\r\n", 400},
      {"GET /a%zz HTTP/1.1\r\nHost: localhost\r\n\r\n", 400},
      {"GET /a%4 HTTP/1.1\r\nHost: localhost\r\n\r\n", 400},
      {"GET /a% HTTP/1.1\r\nHost: localhost\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 5\r\ncontent-length: 6\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 5\r\n"
       "Transfer-Encoding: chunked\r\n\r\n",
       400},
      {"POST / HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n", 411},
      {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: -1\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0x10\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length:\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 99999999999999999999\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 101\r\n\r\n", 413},
      {"GET / HTTP/1.1\r\nX-A: 1\r\n\r\n", 400},  // no Host on 1.1
      {"GET / HTTP/1.1\r\nHost: localhost\r\nHost: localhost\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n", 421},
      {"GET / HTTP/1.1\r\nHost: localhost.evil.example\r\n\r\n", 421},
      {"GET / HTTP/1.1\r\nHost: localhost:80x\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: [::1\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost localhost\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\n Host: localhost\r\n\r\n", 400},  // folded line
      {"GET / HTTP/1.1\r\nHost: local\x01host\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: localhost\rX: 1\r\n\r\n", 400},
  };
  for (const auto& [head, status] : cases) {
    const auto v = CheckRequest(head, Rules());
    EXPECT_EQ(v.status, status) << head;
    EXPECT_TRUE(v.head.empty());
  }
  const char nul[] = "GET / HTTP/1.1\r\nHost: localhost\r\nX: a\0b\r\n\r\n";
  EXPECT_EQ(Verdict(std::string(nul, sizeof nul - 1)), 400);
}

TEST(CheckRequest, StripsTheGatesOwnHeadersWhereverTheyAre) {
  const auto v = CheckRequest(
      "GET / HTTP/1.1\r\nx-k417t-peer: 10.0.0.1\r\nHost: localhost\r\n"
      "X-K417T-GATE: guess\r\nAccept: */*\r\nX-k417T-Peer:9.9.9.9\n\r\n",
      Rules());
  ASSERT_EQ(v.status, 0);
  EXPECT_EQ(v.head, "GET / HTTP/1.1\r\nHost: localhost\r\nAccept: */*\r\n");
}

TEST(FrontLine, AllowedHostsAndLoopback) {
  const auto hosts = qmx::web::AllowedHosts("192.0.2.7", {"Plant.Example"});
  for (const char* h : {"localhost", "127.0.0.1", "[::1]", "192.0.2.7", "plant.example"})
    EXPECT_NE(std::find(hosts.begin(), hosts.end(), h), hosts.end()) << h;
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(std::find(hosts.begin(), hosts.end(), lower), hosts.end());
  for (const char* a : {"127.0.0.1", "127.1.2.3", "::1", "[::1]", "localhost", "LocalHost"})
    EXPECT_TRUE(qmx::web::IsLoopback(a)) << a;
  for (const char* a : {"0.0.0.0", "::", "[::]", "192.168.1.2", "128.0.0.1", "localhost.evil"})
    EXPECT_FALSE(qmx::web::IsLoopback(a)) << a;
}

// A self-signed certificate and its key, in files of the test's own.
struct CertFiles {
  std::string cert, key;
  CertFiles() {
    const std::string base = ::testing::TempDir() + "gate-" + std::to_string(getpid());
    cert = base + "-cert.pem";
    key = base + "-key.pem";
    EVP_PKEY* pkey = EVP_EC_gen("P-256");
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), -60);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_set_pubkey(x, pkey);
    X509_NAME* n = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(n, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(x, n);
    X509_sign(x, pkey, EVP_sha256());
    FILE* f = std::fopen(cert.c_str(), "w");
    PEM_write_X509(f, x);
    std::fclose(f);
    f = std::fopen(key.c_str(), "w");
    PEM_write_PrivateKey(f, pkey, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
    chmod(key.c_str(), 0600);
    X509_free(x);
    EVP_PKEY_free(pkey);
  }
  ~CertFiles() {
    std::remove(cert.c_str());
    std::remove(key.c_str());
  }
};

// One request over TLS (no certificate check: it is self-signed); the whole
// plain-text answer, "" when the handshake fails or nothing came.
std::string TlsExchange(int port, const std::string& request, int max_version = 0) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (max_version != 0) {
    SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
    SSL_CTX_set_max_proto_version(ctx, max_version);
    SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
  }
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{3, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string out;
  SSL* ssl = SSL_new(ctx);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "localhost");
    if (SSL_connect(ssl) == 1 &&
        SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0) {
      char buf[4096];
      int n;
      while ((n = SSL_read(ssl, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    }
  }
  SSL_free(ssl);
  close(fd);
  SSL_CTX_free(ctx);
  ERR_clear_error();
  return out;
}

struct Served : k417t_web_test::Served {
  explicit Served(qmx::web::ServerOptions so, int lines = 1)
      : k417t_web_test::Served("front_gate_test", std::move(so), lines) {}
};

qmx::web::ServerOptions Small() {
  qmx::web::ServerOptions so;
  so.threads = 4;
  so.request_timeout_ms = 500;
  return so;
}

const char* const kGet = "GET /api/devices HTTP/1.1\r\nHost: localhost\r\n\r\n";

TEST(FrontGate, ServesHttpsOnTheSamePortAndOnlyHttps) {
  CertFiles files;
  qmx::web::ServerOptions so = Small();
  so.tls_cert = files.cert;
  so.tls_key = files.key;
  Served s(so);
  ASSERT_TRUE(s.started);
  const int port = s.http.port();
  const std::string a = TlsExchange(port, kGet);
  EXPECT_EQ(Status(a), 200) << a.substr(0, 200);
  EXPECT_NE(a.find("Strict-Transport-Security: max-age="), std::string::npos);
  EXPECT_NE(a.find("X-Content-Type-Options: nosniff"), std::string::npos);
  // A refusal of the gate's own goes through the session too.
  const std::string bad = TlsExchange(port, "GET /%zz HTTP/1.1\r\nHost: localhost\r\n\r\n");
  EXPECT_EQ(Status(bad), 400) << bad;
  EXPECT_NE(bad.find("Strict-Transport-Security"), std::string::npos);
  // TLS 1.1 and plain HTTP are not served.
  EXPECT_EQ(TlsExchange(port, kGet, TLS1_1_VERSION), "");
  const std::string plain = Exchange(port, kGet, 3000);
  EXPECT_EQ(plain.find("200 OK"), std::string::npos) << plain.substr(0, 200);
  EXPECT_EQ(plain.find("[{"), std::string::npos);
  EXPECT_GE(s.http.failed_handshakes(), 2u);
  // Still serving.
  EXPECT_EQ(Status(TlsExchange(port, kGet)), 200);
}

TEST(FrontGate, RefusesAKeyFileOthersMayRead) {
  CertFiles files;
  chmod(files.key.c_str(), 0644);
  std::string err;
  EXPECT_FALSE(qmx::SecretFileIsPrivate(files.key, "the HTTPS key file", err));
  EXPECT_NE(err.find(files.key), std::string::npos) << err;
  EXPECT_NE(err.find("0644"), std::string::npos) << err;
  Site site(1, "front_gate_key");
  qmx::web::ServerOptions so = Small();
  so.tls_cert = files.cert;
  so.tls_key = files.key;
  qmx::web::HttpFrontEnd http(*site.view, qmx::web::ApiOptions{}, so, nullptr);
  err.clear();
  EXPECT_FALSE(http.Start(err));
  EXPECT_NE(err.find(files.key), std::string::npos) << err;
  chmod(files.key.c_str(), 0600);
  EXPECT_TRUE(qmx::SecretFileIsPrivate(files.key, "the HTTPS key file", err));
  EXPECT_FALSE(qmx::SecretFileIsPrivate(files.key + ".missing", "the HTTPS key file", err));
}

TEST(FrontGate, RefusesMalformedRequestsItself) {
  Served s(Small());
  const int port = s.http.port();
  const std::pair<std::string, int> cases[] = {
      {"GET http://localhost/api/devices HTTP/1.1\r\nHost: localhost\r\n\r\n", 400},
      {"GET /api/devices%00 HTTP/1.1\r\nHost: localhost\r\n\r\n", 400},
      {"POST /api/devices/100/control HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\n"
       "Content-Length: 2\r\n\r\n{}",
       400},
      {"POST /api/devices/100/control HTTP/1.1\r\nHost: localhost\r\n"
       "Transfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n",
       411},
      {"GET /api/devices HTTP/1.1\r\nHost: rebound.example\r\n\r\n", 421},
  };
  for (const auto& [request, status] : cases) {
    const std::string a = Exchange(port, request, 3000);
    EXPECT_EQ(Status(a), status) << request;
    EXPECT_NE(a.find("Content-Security-Policy:"), std::string::npos);
    EXPECT_EQ(a.find("rebound"), std::string::npos);
  }
}

// The audit row of a control request (refused: control is off) names the
// client's address as the gate saw it, whatever the client claimed.
TEST(FrontGate, TheWorkersSeeTheRealPeerAndOnlyTheGate) {
  Served s(Small());
  const int port = s.http.port();
  const std::string a = Exchange(
      port,
      "POST /api/devices/100/control HTTP/1.1\r\nHost: localhost\r\nX-K417T-Peer: 10.6.6.6\r\n"
      "x-k417t-gate: 00000000000000000000000000000000\r\nContent-Type: application/json\r\n"
      "Content-Length: 11\r\n\r\n{\"code\":16}",
      3000, "127.0.0.9");
  EXPECT_EQ(Status(a), 403) << a.substr(0, 300);
  std::vector<qmx::store::AuditEntry> rows;
  for (int i = 0; i < 100 && rows.empty(); ++i) {
    rows = s.site.view->History()->Audit(0, std::time(nullptr) + 10, 10);
    if (rows.empty()) std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].peer, "127.0.0.9");

  // Straight to the workers' loopback port: refused without the secret.
  const int backend = s.http.backend_port();
  ASSERT_GT(backend, 0);
  const std::string direct = Exchange(backend, kGet, 3000);
  EXPECT_EQ(Status(direct), 403) << direct.substr(0, 200);
  const std::string guessed = Exchange(
      backend,
      "GET /api/devices HTTP/1.1\r\nHost: localhost\r\nX-K417T-Gate: 0123456789abcdef\r\n\r\n",
      3000);
  EXPECT_EQ(Status(guessed), 403);
  EXPECT_EQ(Status(Exchange(port, kGet)), 200);
}

// Clients that send their head at once and then drip their body hold no
// worker: the gate keeps them until the whole body is there.
TEST(FrontGate, SlowBodiesHoldNoWorker) {
  qmx::web::ServerOptions so = Small();
  so.head_timeout_ms = 2500;
  so.request_timeout_ms = 10000;  // a worker given a slow body would wait this long
  Served s(so);
  const int port = s.http.port();
  std::atomic<int> cut{0};
  std::vector<std::thread> slow;
  const char* from[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
  for (int c = 0; c < 16; ++c) {
    slow.emplace_back([&, c] {
      const int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in b{}, a{};
      b.sin_family = a.sin_family = AF_INET;
      inet_pton(AF_INET, from[c % 4], &b.sin_addr);
      a.sin_port = htons(static_cast<uint16_t>(port));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (bind(fd, reinterpret_cast<sockaddr*>(&b), sizeof b) != 0 ||
          connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return;
      }
      const std::string head =
          "POST /api/devices/100/control HTTP/1.1\r\nHost: localhost\r\n"
          "Content-Type: application/json\r\nContent-Length: 60\r\n\r\n";
      (void)!send(fd, head.data(), head.size(), MSG_NOSIGNAL);
      for (int i = 0; i < 40; ++i) {
        if (send(fd, " ", 1, MSG_NOSIGNAL) != 1) {
          ++cut;
          break;
        }
        std::this_thread::sleep_for(100ms);
      }
      close(fd);
    });
  }
  std::this_thread::sleep_for(500ms);
  const auto t0 = std::chrono::steady_clock::now();
  const std::string a = Exchange(port, kGet, 5000);
  EXPECT_EQ(Status(a), 200);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
  for (auto& t : slow) t.join();
  // Cut off at the deadline, before their 4 s of dripping were over.
  EXPECT_EQ(cut.load(), 16);
}

}  // namespace

namespace {

// A connection from `source` to the gate that sends nothing; -1 on failure.
int Idle(const char* source, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in b{}, a{};
  b.sin_family = a.sin_family = AF_INET;
  inet_pton(AF_INET, source, &b.sin_addr);
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&b), sizeof b) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(FrontGate, AFullGateDropsItsOldestUnfinishedClientForANewOne) {
  qmx::web::ServerOptions so = Small();
  so.head_timeout_ms = 10000;  // the idle ones are not cut off by time here
  so.max_connections = 8;
  so.per_address = 4;
  Served s(so);
  const int port = s.http.port();
  // Every place taken, from two addresses that never send a request.
  std::vector<int> idle;
  for (const char* from : {"127.0.0.2", "127.0.0.3"})
    for (int i = 0; i < 4; ++i) idle.push_back(Idle(from, port));
  for (const int fd : idle) ASSERT_GE(fd, 0);
  std::this_thread::sleep_for(200ms);
  // A client with a request still gets its answer, twice over.
  EXPECT_EQ(Status(Exchange(port, kGet, 5000)), 200);
  EXPECT_EQ(Status(Exchange(port, kGet, 5000)), 200);
  // The oldest idle ones made the room: closed, with nothing sent.
  char c;
  EXPECT_EQ(0, recv(idle[0], &c, 1, 0));
  EXPECT_EQ(0, recv(idle[1], &c, 1, 0));
  for (const int fd : idle) close(fd);
}

}  // namespace
