// The runner's Modbus-RTU server on a pseudo-terminal standing in for an
// RS-485 port, against the simulator: the test is the bus master, writing
// raw frames with their CRC and reading what comes back (or that nothing
// does), then mbpoll (libmodbus' RTU master) through a second
// pseudo-terminal bridged to the first.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../e2e/e2e_util.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// The test holds the master; the runner opens the slave as a serial port.
struct Pty {
  int master = -1;
  std::string slave;
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128];
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
        ptsname_r(master, name, sizeof name) == 0)
      slave = name;
  }
  ~Pty() {
    if (master >= 0) close(master);
  }
};

// CRC-16/MODBUS written out here, apart from the server's.
uint16_t Crc(const Bytes& b) {
  uint16_t crc = 0xFFFF;
  for (uint8_t x : b) {
    crc ^= x;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}
Bytes WithCrc(Bytes b) {
  const uint16_t crc = Crc(b);
  b.push_back(static_cast<uint8_t>(crc));  // low byte first
  b.push_back(static_cast<uint8_t>(crc >> 8));
  return b;
}
Bytes Read(uint8_t unit, uint8_t fc, uint16_t address, uint16_t count) {
  return WithCrc({unit, fc, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                  static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
}

// Drops whatever is waiting on the master side.
void Drain(int fd) {
  uint8_t b[512];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 0) > 0 && read(fd, b, sizeof b) > 0) {
  }
}

// What comes back within `ms`: the first byte's wait, then until the line
// has been quiet for 30 ms.
Bytes Receive(int fd, int ms) {
  Bytes got;
  pollfd p{fd, POLLIN, 0};
  int wait = ms;
  while (poll(&p, 1, wait) > 0) {
    uint8_t b[512];
    const ssize_t n = read(fd, b, sizeof b);
    if (n <= 0) break;
    got.insert(got.end(), b, b + n);
    wait = 30;
  }
  return got;
}

Bytes Ask(int fd, const Bytes& req, int ms = 1000) {
  Drain(fd);
  EXPECT_EQ(write(fd, req.data(), req.size()), static_cast<ssize_t>(req.size()));
  return Receive(fd, ms);
}

bool CrcGood(const Bytes& b) {
  if (b.size() < 4) return false;
  const Bytes body(b.begin(), b.end() - 2);
  return Crc(body) == (b[b.size() - 2] | b[b.size() - 1] << 8);
}

// The float32 (high word first) at byte `at` of a reply's register data.
float FloatAt(const Bytes& reply, size_t at) {
  const uint32_t u = static_cast<uint32_t>(reply[at]) << 24 | reply[at + 1] << 16 |
                     reply[at + 2] << 8 | reply[at + 3];
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// The runner, stopped at the end of the test even when an assertion ends it
// early (a runner left behind would keep reopening its port's path, and
// pseudo-terminal numbers are reused).
struct Runner {
  pid_t pid = -1;
  ~Runner() {
    if (pid > 0) e2e::Stop(pid);
  }
  int Stop() {
    const int code = e2e::Stop(pid);
    pid = -1;
    return code;
  }
};

std::string SiteWithRtu(const e2e::TempDir& t, const std::string& port, bool control) {
  Json::Value site = e2e::ParseFile(e2e::Example("site.json"));
  site["devices"][0]["setting"]["timeout_ms"] = 300;
  site["modbus"]["rtu"]["port"] = port;
  site["modbus"]["rtu"]["baud"] = 9600;
  site["modbus"]["rtu"]["parity"] = "E";
  if (control) {
    site["modbus"]["control"] = true;
    site["modbus"]["rtu"]["control"] = true;
  }
  return e2e::Write(t.File("site.json"), Json::writeString(Json::StreamWriterBuilder(), site));
}

}  // namespace

TEST(ModbusRtuE2E, AnswersItsUnitsOnlyDropsBadFramesAndKeepsServing) {
  e2e::TempDir t;
  Pty bus;
  ASSERT_FALSE(bus.slave.empty());
  Runner runner;
  runner.pid = e2e::SpawnRunner(
      {"--site", SiteWithRtu(t, bus.slave, false), "--simulate", e2e::Example("scenario.json"),
       "--db", t.File("h.db"), "--log", t.File("log"), "--quiet"},
      t.File("out"));

  // DC unit 1's voltage and current: input registers 6000..6003.
  Bytes reply;
  ASSERT_TRUE(e2e::WaitFor(
      [&] {
        reply = Ask(bus.master, Read(1, 0x04, 6000, 4), 300);
        return reply.size() == 1 + 2 + 8 + 2 && FloatAt(reply, 3) > 53.49f;
      },
      30))
      << reply.size() << "\n"
      << e2e::ReadText(t.File("log"));
  EXPECT_EQ(reply[0], 1);
  EXPECT_EQ(reply[1], 0x04);
  EXPECT_EQ(reply[2], 8);
  EXPECT_TRUE(CrcGood(reply));
  EXPECT_FLOAT_EQ(FloatAt(reply, 3), 53.5f);
  EXPECT_FLOAT_EQ(FloatAt(reply, 7), 120.4f);
  // Health: data valid, link up.
  EXPECT_EQ(Ask(bus.master, Read(1, 0x04, 0, 2)), WithCrc({1, 0x04, 4, 0, 1, 0, 1}));

  // Another slave's address, a broadcast, a bad CRC: silence. Each is
  // followed by a good request, so the silence is not a dead server.
  Bytes bad_crc = Read(1, 0x04, 0, 2);
  bad_crc.back() ^= 0x40;
  for (const Bytes& quiet : {Read(9, 0x04, 0, 2), Read(0, 0x04, 0, 2), bad_crc}) {
    EXPECT_TRUE(Ask(bus.master, quiet, 300).empty());
    EXPECT_EQ(Ask(bus.master, Read(1, 0x04, 0, 1)), WithCrc({1, 0x04, 2, 0, 1}));
  }
  // Past the map's end: exception 0x02 with its CRC.
  EXPECT_EQ(Ask(bus.master, Read(1, 0x04, 65535, 2)), WithCrc({1, 0x84, 0x02}));
  // A write while control is off: exception 0x01, audited.
  EXPECT_EQ(Ask(bus.master, WithCrc({1, 0x10, 0, 0, 0, 3, 6, 0, 100, 0xFF, 0xFF, 0, 1})),
            WithCrc({1, 0x90, 0x01}));

  // A request arriving in two pieces a few milliseconds apart (an adapter's
  // chunks) is still one request.
  const Bytes split = Read(1, 0x04, 0, 1);
  Drain(bus.master);
  ASSERT_EQ(write(bus.master, split.data(), 3), 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  ASSERT_EQ(write(bus.master, split.data() + 3, split.size() - 3),
            static_cast<ssize_t>(split.size() - 3));
  EXPECT_EQ(Receive(bus.master, 1000), WithCrc({1, 0x04, 2, 0, 1}));

  // Noise: random bursts, one longer than any frame. Then served again.
  std::mt19937 rng(7);
  for (int i = 0; i < 30; ++i) {
    Bytes junk(1 + rng() % (i == 0 ? 2000 : 300));
    for (auto& b : junk) b = static_cast<uint8_t>(rng());
    if (i % 3 == 0) junk[0] = 1;
    ASSERT_EQ(write(bus.master, junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Ask(bus.master, Read(1, 0x04, 0, 1)), WithCrc({1, 0x04, 2, 0, 1}));

  // Request latency at 9600 baud, written to the test's output as a figure.
  std::vector<double> ms;
  for (int i = 0; i < 20; ++i) {
    const auto t0 = Clock::now();
    const Bytes r = Ask(bus.master, Read(1, 0x04, 6000, 4));
    // Receive waits 30 ms of quiet after the last byte; not part of the latency.
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count() - 30);
    ASSERT_EQ(r.size(), 13u);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("modbus-rtu request latency on a pty: median %.1f ms, max %.1f ms\n", ms[10],
              ms.back());

  const std::string log = e2e::ReadText(t.File("log"));
  EXPECT_TRUE(e2e::Has(log, "modbus-rtu: serving on " + bus.slave + " at 9600 baud 8E1")) << log;
  EXPECT_TRUE(e2e::Has(log, "dropped a frame with a bad CRC")) << log;
  EXPECT_TRUE(e2e::Has(log, "control: modbus-rtu modbus-rtu:" + bus.slave)) << log;
  EXPECT_TRUE(e2e::Has(log, "control through Modbus is off")) << log;
  EXPECT_EQ(0, runner.Stop()) << e2e::ReadText(t.File("log"));
}

// The port is not there at start, then appears: the server opens it on a
// later attempt (back-off), and with control on for the port a command
// goes through and its outcome is read back.
TEST(ModbusRtuE2E, PortOpenedWhenItAppearsAndControlWhenAllowed) {
  e2e::TempDir t;
  const std::string link = t.File("ttyRS485");
  Runner runner;
  runner.pid = e2e::SpawnRunner(
      {"--site", SiteWithRtu(t, link, true), "--simulate", e2e::Example("scenario.json"), "--db",
       t.File("h.db"), "--log", t.File("log"), "--quiet"},
      t.File("out"));
  ASSERT_TRUE(e2e::WaitFor(
      [&] { return e2e::Has(e2e::ReadText(t.File("log")), "modbus-rtu: cannot open"); }, 20))
      << e2e::ReadText(t.File("log"));
  Pty bus;
  ASSERT_FALSE(bus.slave.empty());
  ASSERT_EQ(symlink(bus.slave.c_str(), link.c_str()), 0);
  Bytes reply;
  ASSERT_TRUE(e2e::WaitFor(
      [&] {
        reply = Ask(bus.master, Read(1, 0x04, 0, 1), 300);
        return reply == WithCrc({1, 0x04, 2, 0, 1});
      },
      30))
      << e2e::ReadText(t.File("log"));
  // FC 16 of code 100, byte none, sequence 5: echoed as written.
  EXPECT_EQ(Ask(bus.master, WithCrc({1, 0x10, 0, 0, 0, 3, 6, 0, 100, 0xFF, 0xFF, 0, 5})),
            WithCrc({1, 0x10, 0, 0, 0, 3}));
  // Outcome: input registers 20..24, sequence 5, code 100, done (1).
  ASSERT_TRUE(e2e::WaitFor(
      [&] {
        reply = Ask(bus.master, Read(1, 0x04, 20, 4), 300);
        return reply.size() == 13 && reply[4] == 5 && reply[10] == 1;
      },
      20))
      << e2e::ReadText(t.File("log"));
  EXPECT_EQ(reply[6], 100);
  const std::string log = e2e::ReadText(t.File("log"));
  EXPECT_TRUE(e2e::Has(log, "request modbus-rtu:" + link + ":5")) << log;
  EXPECT_EQ(0, runner.Stop()) << e2e::ReadText(t.File("log"));
}

// mbpoll, a libmodbus RTU master, on a second pseudo-terminal whose bytes
// the test carries to and from the server's.
TEST(ModbusRtuE2E, MbpollReadsFloatsOverRtu) {
  e2e::TempDir t;
  Pty bus, master_side;
  ASSERT_FALSE(bus.slave.empty());
  ASSERT_FALSE(master_side.slave.empty());
  Runner runner;
  runner.pid = e2e::SpawnRunner(
      {"--site", SiteWithRtu(t, bus.slave, false), "--simulate", e2e::Example("scenario.json"),
       "--db", t.File("h.db"), "--log", t.File("log"), "--quiet"},
      t.File("out"));
  Bytes reply;
  ASSERT_TRUE(e2e::WaitFor(
      [&] {
        reply = Ask(bus.master, Read(1, 0x04, 6000, 2), 300);
        return reply.size() == 9 && FloatAt(reply, 3) > 53.49f;
      },
      30))
      << e2e::ReadText(t.File("log"));

  std::atomic<bool> stop{false};
  std::thread bridge([&] {
    pollfd p[2] = {{bus.master, POLLIN, 0}, {master_side.master, POLLIN, 0}};
    while (!stop) {
      if (poll(p, 2, 50) <= 0) continue;
      uint8_t b[512];
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        const ssize_t n = read(p[i].fd, b, sizeof b);
        if (n > 0) {
          [[maybe_unused]] const ssize_t w = write(p[1 - i].fd, b, static_cast<size_t>(n));
        }
      }
    }
  });
  // The first rounds may still be filling the device in: mbpoll is asked
  // again until its values are there.
  std::string out;
  e2e::WaitFor(
      [&] {
        out = e2e::Shell(
            "timeout 20 mbpoll -m rtu -b 9600 -P even -a 1 -t 3:float -B -r 6001 -c 2 -1 " +
            master_side.slave);
        return e2e::Has(out, "[6001]: \t53.5");
      },
      20);
  stop = true;
  bridge.join();
  EXPECT_TRUE(e2e::Has(out, "[6001]: \t53.5")) << out;
  EXPECT_TRUE(e2e::Has(out, "[6003]: \t120.4")) << out;
  EXPECT_EQ(0, runner.Stop()) << e2e::ReadText(t.File("log"));
}
