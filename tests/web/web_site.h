#pragma once

// A site of simulated controllers polled on their own threads, with a history
// database and the view over it: what the web tests run against.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "controller/k417t.h"
#include "site/site_host.h"
#include "support/power_system.h"
#include "view/site_view.h"
#include "web/http_front_end.h"
#include "web/web_api.h"
#include "wire/memory_transport.h"

namespace k417t_web_test {

// The site file's name of device 100: markup that must stay text.
inline const char* const kName = "<b>bold</b><script>alert(1)</script>";

struct Site {
  std::string db;
  std::shared_ptr<qmx::SiteHost> host;
  std::unique_ptr<qmx::view::SiteView> view;
  std::vector<std::shared_ptr<QMXController>> host_ctrls;
  std::vector<std::shared_ptr<K417T>> ctrls;
  std::vector<std::unique_ptr<k417t_test::PowerSystemThread>> power;

  // `scenario`: what every controller reports (null: the small scenario);
  // it must have the small setting's units (one AC screen, two DC units).
  explicit Site(int lines, const std::string& name, Json::Value scenario = Json::Value()) {
    // One file per process: ctest runs the fixture's tests side by side, and
    // one removing another's database would lose its records.
    db = ::testing::TempDir() + name + "-" + std::to_string(getpid()) + ".db";
    std::remove(db.c_str());
    qmx::SiteHost::Options o;
    o.db_path = db;
    o.poll_tick_ms = 20;
    host = std::make_shared<qmx::SiteHost>(o, [](const std::string&) {});
    host->OpenHistory();
    view = std::make_unique<qmx::view::SiteView>(*host);
    qmx::view::SiteInfo info;
    for (int i = 0; i < lines; ++i) {
      const unsigned id = 100 * static_cast<unsigned>(i + 1);
      auto host_ctrl =
          std::make_shared<QMXController>(std::shared_ptr<qmx::HostServices>(host, host.get()));
      auto k = std::make_shared<K417T>();
      k->Init(host_ctrl, id);
      EXPECT_TRUE(k->InitSetting(k417t_test::SmallSetting(1, 500, id)));
      auto pair = qmx::wire::MemoryTransport::make_pair("line-" + std::to_string(id));
      k417t_test::PowerSystem system(std::move(pair.second), {});
      Json::Value scen = scenario.isNull() ? k417t_test::SmallScenario(1) : scenario;
      scen["control_rtn"]["10"] = 7;  // command 100
      system.controllers.push_back(k417t::sim::Simulator::Create(scen, nullptr));
      power.push_back(std::make_unique<k417t_test::PowerSystemThread>(std::move(system)));
      EXPECT_TRUE(host->AddDevice(k, std::move(pair.first)));
      host_ctrls.push_back(host_ctrl);
      ctrls.push_back(k);
      info[id].name = id == 100 ? kName : "power-" + std::to_string(id);
    }
    view->SetSite(info);
    // The view counts round timing from the host's report sink.
    host->SetReportSink([v = view.get()](const qmx::RoundReport& r) { v->Round(r); });
  }
  ~Site() {
    host->Shutdown();
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
  }

  // Waits until every device has done `n` rounds (false after 40 s; rounds
  // are at least 2 s apart).
  bool WaitRounds(uint64_t n) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while (std::chrono::steady_clock::now() < end) {
      bool all = true;
      for (const auto& c : ctrls) all = all && host->rounds(c->DataId()) >= n;
      if (all) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

// One request on a fresh connection; the whole answer ("" when none came
// within `timeout_ms`).
// One request on a connection of its own; `from` picks the client's own
// loopback address (127.0.0.0/8), to play several clients.
inline std::string Exchange(int port, const std::string& request, int timeout_ms = 3000,
                            const char* from = nullptr) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return "";
  if (from != nullptr) {
    sockaddr_in b{};
    b.sin_family = AF_INET;
    inet_pton(AF_INET, from, &b.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&b), sizeof b) != 0) {
      close(fd);
      return "";
    }
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string out;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    size_t sent = 0;
    while (sent < request.size()) {
      const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;)
      out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

inline int Status(const std::string& answer) {
  int status = 0;
  std::sscanf(answer.c_str(), "HTTP/1.%*d %d", &status);
  return status;
}

// The site served over HTTP(S) by the front line and the workers, polling.
struct Served {
  Site site;
  qmx::web::HttpFrontEnd http;
  bool started = false;
  explicit Served(const std::string& name, qmx::web::ServerOptions so, int lines = 1)
      : site(lines, name), http(*site.view, qmx::web::ApiOptions{}, so, [](const std::string&) {}) {
    std::string err;
    started = http.Start(err);
    EXPECT_TRUE(started) << err;
    site.host->Start();
  }
  ~Served() {
    http.Stop();
    site.host->Shutdown();
  }
};

}  // namespace k417t_web_test
