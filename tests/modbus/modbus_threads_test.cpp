// The Modbus server's threads at once (run under TSan): clients reading and
// writing on their own connections while the line thread polls the
// controller, rounds and link changes mark the registers old, reloads switch
// control on and off, and the control worker sends the commands that got
// through. Every request gets its own answer (same transaction id), and a
// stop in the middle of it all ends cleanly.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modbus/modbus_front_end.h"
#include "support/one_round.h"
#include "view/site_view.h"

// The plug-in's pauses between requests: not needed on the in-memory line.
extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

using namespace qmx;

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t got = recv(fd, p, n, 0);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// Sends one request and reads its whole answer; the answer's transaction id
// and function (or its exception form), or -1 when none came.
int Exchange(int fd, uint16_t tid, const std::vector<uint8_t>& pdu, uint8_t& function) {
  std::vector<uint8_t> adu = {static_cast<uint8_t>(tid >> 8),
                              static_cast<uint8_t>(tid),
                              0,
                              0,
                              static_cast<uint8_t>((pdu.size() + 1) >> 8),
                              static_cast<uint8_t>(pdu.size() + 1),
                              1};
  adu.insert(adu.end(), pdu.begin(), pdu.end());
  if (send(fd, adu.data(), adu.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(adu.size())) return -1;
  uint8_t head[7];
  if (!ReadAll(fd, head, sizeof head)) return -1;
  const size_t rest = static_cast<size_t>(head[4] << 8 | head[5]);
  if (rest < 2 || rest > 254) return -1;
  std::vector<uint8_t> body(rest - 1);
  if (!ReadAll(fd, body.data(), body.size())) return -1;
  function = body[0];
  return head[0] << 8 | head[1];
}

}  // namespace

TEST(ModbusThreads, ClientsReadAndWriteWhileRoundsReloadsAndCommandsRun) {
  Json::Value scenario;
  std::ifstream(std::string(K417T_EXAMPLES) + "/scenario.json") >> scenario;
  char dir[] = "/tmp/k417t-modbus-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  // The example plant: one AC screen, two DC units, the rectifier group.
  k417t_test::OneRound r(scenario, std::string(dir) + "/h.db",
                         R"({"address": 1, "timeout_ms": 200, "acSetting": [{"data_id": 11}],
                             "dcSetting": [{"data_id": 21}, {"data_id": 22}], "rcSetting": {}})");
  view::SiteView view(*r.host);
  std::atomic<bool> stop{false};
  // The line thread: rounds of the controller, with the commands that came.
  std::thread line([&] {
    while (!stop) {
      r.host->RunOnce(5);
      uint8_t buf[512];
      for (long n; (n = r.end->read(buf, sizeof buf, 0)) > 0;)
        for (const auto& out : r.sim->Feed(buf, static_cast<size_t>(n)))
          r.end->write(out.bytes.data(), out.bytes.size());
    }
  });
  for (int i = 0; i < 400 && r.host->rounds(100) < 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (r.host->rounds(100) < 1) {
    stop = true;
    line.join();
    FAIL() << "the simulated controller completed no round";
  }

  modbus::ModbusConfig cfg;
  cfg.enabled = true;
  cfg.port = 0;  // any free port
  cfg.max_clients = 8;
  cfg.control = true;
  cfg.control_all = true;
  cfg.control_peers = {"127.0.0.1"};
  std::atomic<int> reloads{0};
  std::mutex log_mu;
  std::vector<std::string> log;
  modbus::ModbusFrontEnd fe(
      view, cfg,
      [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(log_mu);
        log.push_back(line);
      },
      [&](const Json::Value&, modbus::ModbusConfig& next, std::string&) {
        next = cfg;
        next.control = ++reloads % 2 == 0;
        return true;
      });
  std::string error;
  if (!fe.Start(error)) {
    stop = true;
    line.join();
    FAIL() << error;
  }

  std::thread reports([&] {
    while (!stop) {
      fe.OnRound(view::RoundView{});
      fe.OnLink(LinkReport{});
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::thread reloader([&] {
    while (!stop) {
      fe.OnReload(Json::Value(Json::objectValue));
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });

  constexpr int kClients = 4, kRequests = 150;
  std::atomic<int> answered{0}, wrong{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      const int fd = Connect(fe.port());
      if (fd < 0) {
        wrong += kRequests;
        return;
      }
      for (int i = 0; i < kRequests; ++i) {
        const uint16_t tid = static_cast<uint16_t>(c * 1000 + i);
        std::vector<uint8_t> pdu;
        if (i % 10 == 9) {
          // Code 100, no byte, sequence: the whole command block.
          const uint16_t seq = static_cast<uint16_t>(c * 1000 + i);
          pdu = {0x10,
                 0,
                 0,
                 0,
                 3,
                 6,
                 0,
                 100,
                 0xFF,
                 0xFF,
                 static_cast<uint8_t>(seq >> 8),
                 static_cast<uint8_t>(seq)};
        } else if (i % 3 == 0) {
          pdu = {0x02, 0, 0, 0, 16};  // alarm bits
        } else {
          pdu = {0x04, 0, 0, 0, 13};  // health registers
        }
        uint8_t function = 0;
        const int got = Exchange(fd, tid, pdu, function);
        // A write may be refused (control off by the last reload: 0x90;
        // another command of the device waiting: busy), never unanswered.
        if (got == tid && (function & 0x7F) == pdu[0])
          ++answered;
        else
          ++wrong;
      }
      close(fd);
    });
  }
  for (std::thread& t : clients) t.join();
  // Stop while rounds, reloads and perhaps a command still run.
  fe.Stop();
  stop = true;
  reports.join();
  reloader.join();

  EXPECT_EQ(kClients * kRequests, answered.load());
  EXPECT_EQ(0, wrong.load());
  EXPECT_GT(reloads.load(), 1);
  // Every write left one audit row, through Modbus: sent, refused while a
  // reload had control off, or turned away while another command waited.
  r.host->history()->Flush();
  int rows = 0;
  for (const store::AuditEntry& a : view.Audit(0, INT64_MAX, 1000)) {
    ++rows;
    EXPECT_EQ("modbus", a.via);
    EXPECT_EQ(100, a.code);
    EXPECT_TRUE(a.outcome == "done" || a.outcome == "refused" || a.outcome == "rate-limited")
        << a.outcome;
  }
  EXPECT_EQ(kClients * kRequests / 10, rows);
  line.join();
}
