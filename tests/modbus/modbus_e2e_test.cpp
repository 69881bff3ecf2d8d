// The runner's Modbus-TCP server against the simulator, read as SCADA reads
// it: mbpoll (libmodbus) and pymodbus, big-endian word order, values
// compared to the simulated plant's; a client that sends garbage or a
// frame cut short does not stop the others; connections beyond max_clients
// are closed; writes refused unless the site file allows the peer and the
// code, and every attempt audited.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "../e2e/e2e_util.h"

namespace {

// mbpoll's one-shot read of input registers as big-endian floats from a
// 1-based register number: "[N]: value" per float.
std::string MbpollFloats(int port, int unit, int reg, int count) {
  return e2e::Shell("mbpoll -m tcp -a " + std::to_string(unit) + " -t 3:float -B -r " +
                    std::to_string(reg) + " -c " + std::to_string(count) + " -1 -p " +
                    std::to_string(port) + " 127.0.0.1");
}

// The runner, stopped at the end of the test even when an assertion ends it
// early.
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

// One CSV line's fields (quotes as the map writes them).
std::vector<std::string> CsvFields(const std::string& line) {
  std::vector<std::string> out(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      out.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

// FC 04 of `count` registers at `address` from unit 1 on an open connection;
// empty on an exception or no answer.
std::vector<uint16_t> ReadInput(int fd, uint16_t address, uint16_t count) {
  static uint16_t tid = 0;
  ++tid;
  const uint8_t req[] = {static_cast<uint8_t>(tid >> 8),
                         static_cast<uint8_t>(tid),
                         0,
                         0,
                         0,
                         6,
                         1,
                         4,
                         static_cast<uint8_t>(address >> 8),
                         static_cast<uint8_t>(address),
                         static_cast<uint8_t>(count >> 8),
                         static_cast<uint8_t>(count)};
  if (send(fd, req, sizeof req, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof req)) return {};
  std::vector<uint8_t> got;
  uint8_t b[512];
  while (got.size() < 9u + 2u * count) {
    const ssize_t n = recv(fd, b, sizeof b, 0);
    if (n <= 0) return {};
    got.insert(got.end(), b, b + n);
    if (got.size() >= 9 && (got[7] & 0x80)) return {};
  }
  std::vector<uint16_t> regs(count);
  for (uint16_t i = 0; i < count; ++i)
    regs[i] = static_cast<uint16_t>(got[9 + 2 * i] << 8 | got[10 + 2 * i]);
  return regs;
}

}  // namespace

TEST(ModbusE2E, ReadWithMbpollAndPymodbusWritesAudited) {
  e2e::TempDir t;
  const int port = e2e::FreePort();
  Json::Value site = e2e::ParseFile(e2e::Example("site.json"));
  site["devices"][0]["setting"]["timeout_ms"] = 300;
  const std::string device = site["devices"][0]["name"].asString();
  site["modbus"]["max_clients"] = 4;
  site["modbus"]["control"][device].append(100);
  site["modbus"]["control_peers"].append("127.0.0.1");
  const std::string site_path =
      e2e::Write(t.File("site.json"), Json::writeString(Json::StreamWriterBuilder(), site));
  const pid_t runner = e2e::SpawnRunner(
      {"--site", site_path, "--simulate", e2e::Example("scenario.json"), "--db", t.File("h.db"),
       "--log", t.File("log"), "--quiet", "--modbus", "127.0.0.1:" + std::to_string(port)},
      t.File("out"));

  // DC unit 1's voltage and current: input registers 6000.. (36001).
  std::string out;
  ASSERT_TRUE(e2e::WaitFor(
      [&] { return e2e::Has(out = MbpollFloats(port, 1, 6001, 2), "[6001]: \t53.5"); }, 30))
      << out << e2e::ReadText(t.File("log"));
  EXPECT_TRUE(e2e::Has(out, "[6003]: \t120.4")) << out;
  // The rectifier group's output voltage and its first module's current.
  out = MbpollFloats(port, 1, 1001, 1);
  EXPECT_TRUE(e2e::Has(out, "[1001]: \t53.5")) << out;
  // Health: data valid, link up.
  out =
      e2e::Shell("mbpoll -m tcp -a 1 -t 3 -r 1 -c 2 -1 -p " + std::to_string(port) + " 127.0.0.1");
  EXPECT_TRUE(e2e::Has(out, "[1]: \t1") && e2e::Has(out, "[2]: \t1")) << out;

  // pymodbus: the same voltage as int16 hundredths and status, the module
  // currents, an unknown unit id and a read past the map's end.
  const std::string py = R"(
import struct, sys
from pymodbus.client import ModbusTcpClient
c = ModbusTcpClient('127.0.0.1', port=int(sys.argv[1]))
c.connect()
def regs(a, n, unit=1):
    r = c.read_input_registers(a, n, slave=unit)
    return ('exc %d' % r.exception_code) if r.isError() else r.registers
v = regs(6000, 2)
print('v', round(struct.unpack('>f', struct.pack('>HH', *v))[0], 2))
print('v16', regs(6100, 1)[0], 'status', regs(6150, 1)[0])
print('unit9', regs(0, 1, unit=9))
print('past', regs(9999, 2))
c.close()
)";
  e2e::Write(t.File("read.py"), py);
  out = e2e::Shell("/usr/bin/python3 " + t.File("read.py") + " " + std::to_string(port));
  EXPECT_TRUE(e2e::Has(out, "v 53.5\n")) << out;
  EXPECT_TRUE(e2e::Has(out, "v16 5350 status 0\n")) << out;
  EXPECT_TRUE(e2e::Has(out, "unit9 exc 11\n")) << out;
  EXPECT_TRUE(e2e::Has(out, "past exc 2\n")) << out;

  // Garbage, a frame cut short and a flood of connections beyond the cap:
  // the server closes what it must and keeps answering.
  std::mt19937 rng(5);
  for (int i = 0; i < 20; ++i) {
    const int fd = e2e::Connect(port);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> junk(1 + rng() % 600);
    for (auto& b : junk) b = static_cast<uint8_t>(rng());
    if (i % 2) junk[2] = junk[3] = 0;
    send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
    close(fd);
  }
  std::vector<int> held;
  for (int i = 0; i < 8; ++i) held.push_back(e2e::Connect(port));
  const uint8_t half[] = {0, 1, 0, 0, 0, 6, 1, 4};  // a read cut short
  send(held[0], half, sizeof half, MSG_NOSIGNAL);
  // Beyond max_clients (4): closed at once, so a read sees the end.
  uint8_t b;
  EXPECT_EQ(recv(held.back(), &b, 1, 0), 0);
  for (int fd : held) close(fd);
  ASSERT_TRUE(e2e::WaitFor([&] { return e2e::Has(MbpollFloats(port, 1, 6001, 1), "53.5"); }, 10));

  // Writes: code 102 is not allowed for the device; code 100 is, from this
  // peer: FC 16 of code, byte (none) and sequence.
  out = e2e::Shell("mbpoll -m tcp -a 1 -t 4 -r 1 -1 -p " + std::to_string(port) +
                   " 127.0.0.1 102 65535 7");
  EXPECT_TRUE(e2e::Has(out, "Illegal function")) << out;
  out = e2e::Shell("mbpoll -m tcp -a 1 -t 4 -r 1 -1 -p " + std::to_string(port) +
                   " 127.0.0.1 100 65535 8");
  EXPECT_TRUE(e2e::Has(out, "Written 3 references")) << out;
  // The outcome in input registers 20..24: sequence 8, code 100, done.
  ASSERT_TRUE(e2e::WaitFor(
      [&] {
        out = e2e::Shell("mbpoll -m tcp -a 1 -t 3 -0 -r 20 -c 5 -1 -p " + std::to_string(port) +
                         " 127.0.0.1");
        return e2e::Has(out, "[20]: \t8") && e2e::Has(out, "[23]: \t1");
      },
      20))
      << out << e2e::ReadText(t.File("log"));
  EXPECT_TRUE(e2e::Has(out, "[21]: \t100")) << out;
  const std::string log = e2e::ReadText(t.File("log"));
  EXPECT_TRUE(e2e::Has(log, "control: modbus modbus:127.0.0.1 from 127.0.0.1: device")) << log;
  EXPECT_TRUE(e2e::Has(log, "request modbus:127.0.0.1:8")) << log;
  EXPECT_TRUE(e2e::Has(log, "code 102")) << log;
  EXPECT_TRUE(e2e::Has(log, "connection from 127.0.0.1 closed: 4 clients already connected"))
      << log;
  EXPECT_EQ(0, e2e::Stop(runner)) << e2e::ReadText(t.File("log"));
}

// Control is off unless the site file turns it on: a write from anywhere is
// refused with "illegal function", the command block cannot even be read,
// and the attempt is audited like a refused command of any other front end.
TEST(ModbusE2E, WritesAreRefusedAndAuditedWhileControlIsOff) {
  e2e::TempDir t;
  const int port = e2e::FreePort();
  const pid_t runner =
      e2e::SpawnRunner({"--site", e2e::Example("site.json"), "--simulate",
                        e2e::Example("scenario.json"), "--db", t.File("h.db"), "--log",
                        t.File("log"), "--quiet", "--modbus", "127.0.0.1:" + std::to_string(port)},
                       t.File("out"));
  std::string out;
  ASSERT_TRUE(e2e::WaitFor(
      [&] { return e2e::Has(out = MbpollFloats(port, 1, 6001, 1), "[6001]: \t53.5"); }, 30))
      << out << e2e::ReadText(t.File("log"));
  out = e2e::Shell("mbpoll -m tcp -a 1 -t 4 -r 1 -1 -p " + std::to_string(port) +
                   " 127.0.0.1 100 65535 1");
  EXPECT_TRUE(e2e::Has(out, "Illegal function")) << out;
  out =
      e2e::Shell("mbpoll -m tcp -a 1 -t 4 -r 1 -c 3 -1 -p " + std::to_string(port) + " 127.0.0.1");
  EXPECT_TRUE(e2e::Has(out, "Illegal function")) << out;
  ASSERT_TRUE(e2e::WaitFor(
      [&] { return e2e::Has(e2e::ReadText(t.File("log")), "control through Modbus is off"); }, 10))
      << e2e::ReadText(t.File("log"));
  const std::string log = e2e::ReadText(t.File("log"));
  EXPECT_TRUE(e2e::Has(log, "control: modbus modbus:127.0.0.1 from 127.0.0.1: device")) << log;
  EXPECT_TRUE(e2e::Has(log, "code 100")) << log;
  // Reading goes on.
  EXPECT_TRUE(e2e::Has(MbpollFloats(port, 1, 6001, 1), "[6001]: \t53.5"));
  EXPECT_EQ(0, e2e::Stop(runner)) << e2e::ReadText(t.File("log"));
}

// Every float32 of the map for the example site against the HTTP API's
// value of the same key in the same round: the API read before and after
// the Modbus reads must agree, and Modbus must equal it within float32
// rounding. No value in the API (null, or a unit or value the device does
// not have) must be NaN, 0x8000 and status 1 (2 when stale) on Modbus.
TEST(ModbusE2E, EveryFloatEqualsTheApiValueOfTheSameRound) {
  e2e::TempDir t;
  const int port = e2e::FreePort(), http = e2e::FreePort();
  Runner runner;
  runner.pid = e2e::SpawnRunner(
      {"--site", e2e::Example("site.json"), "--simulate", e2e::Example("scenario.json"), "--db",
       t.File("h.db"), "--log", t.File("log"), "--quiet", "--modbus",
       "127.0.0.1:" + std::to_string(port), "--http", "127.0.0.1:" + std::to_string(http)},
      t.File("out"));
  ASSERT_TRUE(
      e2e::WaitFor([&] { return e2e::Has(MbpollFloats(port, 1, 6001, 1), "[6001]: \t53.5"); }, 30))
      << e2e::ReadText(t.File("log"));

  // The map: key -> float32, int16 and status addresses.
  struct Place {
    int f32 = -1, i16 = -1, status = -1;
  };
  std::map<std::string, Place> places;
  const e2e::RunResult map = e2e::RunRunner("modbus-map --site " + e2e::Example("site.json"));
  ASSERT_EQ(map.exit_code, 0) << map.raw;
  std::istringstream csv(map.raw);
  std::string line;
  std::getline(csv, line);
  while (std::getline(csv, line)) {
    const auto f = CsvFields(line);
    ASSERT_EQ(f.size(), 12u) << line;
    if (f[2] != "input_register" || f[11] == "controller" || f[11] == "battery") continue;
    const int address = std::stoi(f[3]);
    const std::string& key = f[8];
    if (f[6] == "float32") places[key].f32 = address;
    if (f[6] == "int16") places[key].i16 = address;
    if (f[6] == "uint16" && key.size() > 7 && key.compare(key.size() - 7, 7, ".status") == 0)
      places[key.substr(0, key.size() - 7)].status = address;
  }
  size_t floats = 0;
  for (const auto& [key, p] : places) floats += p.f32 >= 0;
  ASSERT_GT(floats, 300u);

  const std::string base = "curl -s --max-time 5 http://127.0.0.1:" + std::to_string(http);
  const Json::Value list = e2e::ParseText(e2e::Shell(base + "/api/devices"));
  ASSERT_TRUE(list["devices"].isArray() && list["devices"].size() > 0) << list;
  const std::string device_url = base + "/api/devices/" + list["devices"][0]["id"].asString();
  // slot name ("dc1", "rectifier") -> the unit's values.
  auto values_by_slot = [](const Json::Value& device) {
    std::map<std::string, Json::Value> out;
    std::map<std::string, int> seen;
    for (const Json::Value& u : device["units"]) {
      const std::string kind = u["kind"].asString();
      const int n = ++seen[kind];
      out[kind == "rectifier" ? kind : kind + std::to_string(n)] = u["values"];
    }
    return out;
  };

  const int fd = e2e::Connect(port);
  ASSERT_GE(fd, 0);
  size_t compared = 0, numbers = 0, none = 0;
  std::string trouble;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const Json::Value before = e2e::ParseText(e2e::Shell(device_url));
    std::map<std::string, std::vector<uint16_t>> regs;
    for (const auto& [key, p] : places) {
      if (p.f32 < 0) continue;
      std::vector<uint16_t> r = ReadInput(fd, static_cast<uint16_t>(p.f32), 2);
      r.push_back(p.i16 >= 0 ? ReadInput(fd, static_cast<uint16_t>(p.i16), 1).at(0) : 0);
      r.push_back(p.status >= 0 ? ReadInput(fd, static_cast<uint16_t>(p.status), 1).at(0) : 0);
      regs[key] = r;
    }
    const Json::Value after = e2e::ParseText(e2e::Shell(device_url));
    ASSERT_TRUE(before["units"].isArray()) << before;
    if (values_by_slot(before) != values_by_slot(after)) continue;  // a round landed between
    const auto api = values_by_slot(before);
    const bool stale = before["stale"].asBool();
    compared = numbers = none = 0;
    trouble.clear();
    for (const auto& [key, r] : regs) {
      ASSERT_EQ(r.size(), 4u) << key;
      const size_t dot = key.find('.');
      const auto unit = api.find(key.substr(0, dot));
      const Json::Value v =
          unit == api.end() ? Json::Value() : unit->second.get(key.substr(dot + 1), Json::Value());
      const uint32_t bits = static_cast<uint32_t>(r[0]) << 16 | r[1];
      float f;
      std::memcpy(&f, &bits, sizeof f);
      ++compared;
      if (v.isNull()) {
        ++none;
        if (!std::isnan(f) || r[2] != 0x8000 || r[3] != (stale ? 2 : 1))
          trouble += key + ": no value in the API, Modbus " + std::to_string(f) + " / " +
                     std::to_string(r[2]) + " / status " + std::to_string(r[3]) + "\n";
      } else if (v.isNumeric()) {
        ++numbers;
        const float want = static_cast<float>(v.asDouble());
        if (!(std::fabs(f - want) <= std::fabs(want) * 2e-7f) || r[3] != 0)
          trouble += key + ": API " + v.toStyledString() + " Modbus " + std::to_string(f) +
                     " status " + std::to_string(r[3]) + "\n";
      } else {
        trouble += key + ": API gives " + v.toStyledString() + " for a float32 value\n";
      }
    }
    break;
  }
  // The energy block against /api/devices/{id}/battery of the same round:
  // the float32 figures (200 + 2i) and their statuses (280 + i).
  const char* const figures[][2] = {
      {"power_w", ""},           {"total", "load_kwh"},      {"today", "load_kwh"},
      {"month", "load_kwh"},     {"total", "rectifier_kwh"}, {"total", "charge_ah"},
      {"total", "discharge_ah"}, {"total", "charge_kwh"},    {"total", "discharge_kwh"}};
  std::string battery_trouble = "no two API reads of the same round in 8 tries";
  for (int attempt = 0; attempt < 8 && !battery_trouble.empty(); ++attempt) {
    const Json::Value before = e2e::ParseText(e2e::Shell(device_url + "/battery"));
    const std::vector<uint16_t> block = ReadInput(fd, 200, 26), status = ReadInput(fd, 280, 13);
    const Json::Value after = e2e::ParseText(e2e::Shell(device_url + "/battery"));
    if (before != after || block.size() != 26 || status.size() != 13) continue;
    ASSERT_FALSE(before["configured"].asBool()) << "the example site names no strings";
    battery_trouble.clear();
    for (size_t i = 0; i < 13; ++i) {
      const uint32_t bits = static_cast<uint32_t>(block[2 * i]) << 16 | block[2 * i + 1];
      float f;
      std::memcpy(&f, &bits, sizeof f);
      // Battery strings' figures, state of charge and autonomy: none here.
      Json::Value want;
      if (i < 5) want = *figures[i][1] ? before[figures[i][0]][figures[i][1]] : before["power_w"];
      const bool ok = want.isNumeric() ? std::fabs(f - static_cast<float>(want.asDouble())) <=
                                                 std::fabs(want.asFloat()) * 2e-7f &&
                                             status[i] == 0
                                       : std::isnan(f) && status[i] == 1;
      if (!ok)
        battery_trouble += "figure " + std::to_string(i) + ": API " + want.toStyledString() +
                           " Modbus " + std::to_string(f) + " status " +
                           std::to_string(status[i]) + "\n";
    }
    EXPECT_GT(before["power_w"].asDouble(), 1000) << before;
  }
  EXPECT_TRUE(battery_trouble.empty()) << battery_trouble;
  close(fd);
  std::printf("float32 values compared with the API: %zu (%zu numbers, %zu no value)\n", compared,
              numbers, none);
  EXPECT_EQ(compared, floats) << "no two API reads of the same round in 8 tries";
  EXPECT_GT(numbers, 20u);
  EXPECT_TRUE(trouble.empty()) << trouble;
  EXPECT_EQ(0, runner.Stop()) << e2e::ReadText(t.File("log"));
}
