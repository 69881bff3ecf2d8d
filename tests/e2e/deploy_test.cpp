// The runner as a gateway runs it: installed from the install rules, checked
// by an integrator before a reload, started by systemd (readiness and
// watchdog), reloaded on SIGHUP, and stopped with a message by set-up faults.
#include <gtest/gtest.h>
#include <json/json.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_util.h"

using namespace e2e;

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A datagram socket standing in for systemd's notification socket. Like
// systemd it reads all the time: a full socket would block the sender.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (bound_) reader_ = std::thread([this] { Read(); });
  }
  ~NotifySocket() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }
  // Every message received so far, one per datagram.
  std::vector<std::string> Messages() {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // what is still in the socket
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
  }

 private:
  void Read() {
    char buf[4096];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) continue;
      std::lock_guard<std::mutex> lock(mu_);
      messages_.emplace_back(buf, static_cast<size_t>(n));
    }
  }
  int fd_ = -1;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<std::string> messages_;
  std::thread reader_;
};

}  // namespace

TEST(RunnerDeploy, CheckConfigNamesEveryProblemAndExitsTwo) {
  TempDir t;
  const std::string scen = Example("scenario.json");
  const std::string good = SiteFor(ParseFile(scen), t.File("good.json"));
  // The simulator stands in for the ports the site file does not name.
  RunResult ok = RunRunner("--check-config --site " + good + " --simulate " + scen);
  EXPECT_EQ(0, ok.exit_code) << ok.raw;
  EXPECT_TRUE(Contains(ok.raw, "1 device, configuration OK")) << ok.raw;

  // Both devices are wrong: the check goes on past the first.
  const std::string two = Write(t.File("two.json"), R"({"devices": [
      {"name": "no-rc", "data_id": 1, "setting": {"port": "/dev/null", "acSetting": []}},
      {"name": "no-port", "data_id": 2, "setting": {"rcSetting": {}}}]})");
  RunResult bad = RunRunner("--check-config --site " + two + " 2>&1");
  EXPECT_EQ(2, bad.exit_code) << bad.raw;
  EXPECT_TRUE(Contains(bad.raw, "device no-rc (1): setting refused")) << bad.raw;
  EXPECT_TRUE(Contains(bad.raw, "device no-port (2) has no \"port\"")) << bad.raw;
  EXPECT_FALSE(Contains(bad.raw, "configuration OK")) << bad.raw;

  const std::string dup = Write(t.File("dup.json"), R"({"devices": [
      {"data_id": 7, "setting": {"port": "/dev/null", "rcSetting": {}}},
      {"data_id": 7, "setting": {"port": "/dev/null", "rcSetting": {}}}]})");
  RunResult twice = RunRunner("--check-config --site " + dup + " 2>&1");
  EXPECT_EQ(2, twice.exit_code) << twice.raw;
  EXPECT_TRUE(Contains(twice.raw, "have the same data_id 7")) << twice.raw;
  // The runner refuses the same file.
  EXPECT_EQ(2, RunRunner("--site " + dup + " --simulate " + scen + " --rounds 1 --db " +
                         t.File("h.db") + " 2>/dev/null")
                   .exit_code);

  // Each device is fine on its own; together they clash on their port.
  const std::string bus = Write(t.File("bus.json"), R"({"devices": [
      {"name": "p1", "data_id": 7, "setting": {"port": "/dev/null", "address": 3, "rcSetting": {}}},
      {"name": "p2", "data_id": 8, "setting": {"port": "/dev/null", "address": 3, "rcSetting": {}}},
      {"name": "p3", "data_id": 9, "setting": {"port": "/dev/null", "address": 4,
                                               "baud_rate": 19200, "rcSetting": {}}}]})");
  RunResult clash = RunRunner("--check-config --site " + bus + " 2>&1");
  EXPECT_EQ(2, clash.exit_code) << clash.raw;
  EXPECT_TRUE(Contains(clash.raw, "devices p1 and p2 share port /dev/null and address 3"))
      << clash.raw;
  EXPECT_TRUE(Contains(clash.raw, "p1 (9600 baud) and p3 (19200 baud) share port /dev/null"))
      << clash.raw;

  // Names for a DC unit's m and user values: checked like every other member.
  const std::string named = Write(t.File("named.json"), R"({"devices": [
      {"name": "p1", "data_id": 7, "setting": {"port": "/dev/null", "rcSetting": {},
       "dcSetting": [{"data_id": 71, "labels": {"m": [{"name": "Battery 1 current", "unit": "A"}],
                                                "user": [{"name": "Room", "unit": "°C"}]}}]}}]})");
  RunResult ok_named = RunRunner("--check-config --site " + named + " 2>&1");
  EXPECT_EQ(0, ok_named.exit_code) << ok_named.raw;
  const std::pair<const char*, const char*> wrong_labels[] = {
      {R"({"m": [{"name": "a"}, {"name": "b"}, {"name": "c"}]})",
       "labels.m must be a list of at most 2"},
      {R"({"m": [{"name": "a", "units": "A"}]})", "labels.m[0].units is not known"},
      {R"({"n": []})", "labels.n is not a list this unit has"},
      {R"({"user": [{"unit": "A"}]})", "labels.user[0].name must be a text"},
      {R"({"user": [{"name": "x", "unit": 5}]})", "labels.user[0].unit must be a text"}};
  for (const auto& [labels, says] : wrong_labels) {
    const std::string f = Write(t.File("labels.json"), std::string(R"({"devices": [
      {"name": "p1", "data_id": 7, "setting": {"port": "/dev/null", "rcSetting": {},
       "dcSetting": [{"data_id": 71, "labels": )") + labels +
                                                           "}]}}]}");
    RunResult r = RunRunner("--check-config --site " + f + " 2>&1");
    EXPECT_EQ(2, r.exit_code) << labels << r.raw;
    EXPECT_TRUE(Contains(r.raw, says)) << labels << "\n" << r.raw;
  }

  // The units' own names and the language file of alarm names.
  Write(t.File("names.json"), ReadText(K417T_SOURCE_DIR "/data/alarm-names/en.json"));
  Write(t.File("broken-names.json"), R"({"language": "xx", "words": {}, "alarms": []})");
  int files = 0;
  const auto unit_names = [&](const std::string& ac_name, const std::string& rest) {
    return Write(t.File("unit-names-" + std::to_string(++files) + ".json"), R"({"devices": [
      {"name": "p1", "data_id": 7, "setting": {"port": "/dev/null", "rcSetting": {"name": "Shelf"},
       "acSetting": [{"data_id": 71, "name": )" + ac_name + R"(}]}}])" + rest + "}");
  };
  RunResult named_units =
      RunRunner("--check-config --site " +
                unit_names("\"Main AC\"", R"(, "alarm_names": "names.json")") + " 2>&1");
  EXPECT_EQ(0, named_units.exit_code) << named_units.raw;
  const std::pair<std::string, std::string> wrong_names[] = {
      {unit_names("5", ""), "device p1: acSetting[0].name must be a non-empty string"},
      {unit_names("\"\"", ""), "acSetting[0].name must be a non-empty string"},
      {unit_names("\"A\"", R"(, "alarm_names": 3)"),
       "alarm_names must be the path of a language file"},
      {unit_names("\"A\"", R"(, "alarm_names": "none.json")"), "none.json: cannot be read"},
      {unit_names("\"A\"", R"(, "alarm_names": "broken-names.json")"),
       "alarm_names: " + t.File("broken-names.json") + ": words.separator is missing"}};
  for (const auto& [file, says] : wrong_names) {
    RunResult r = RunRunner("--check-config --site " + file + " 2>&1");
    EXPECT_EQ(2, r.exit_code) << says << r.raw;
    EXPECT_TRUE(Contains(r.raw, says)) << says << "\n" << r.raw;
  }
  // The DC bus band a device is held to (shown to monitoring systems).
  const auto limits = [&](const std::string& band) {
    return Write(t.File("limits-" + std::to_string(++files) + ".json"),
                 R"({"devices": [
      {"name": "p1", "data_id": 7, "dc_limits": )" +
                     band + R"(, "setting": {"port": "/dev/null", "rcSetting": {}}}]})");
  };
  RunResult ok_limits =
      RunRunner("--check-config --site " + limits(R"({"low_v": 43.2, "high_v": 56.4})") + " 2>&1");
  EXPECT_EQ(0, ok_limits.exit_code) << ok_limits.raw;
  const std::pair<std::string, std::string> wrong_limits[] = {
      {limits("47"), "device p1.dc_limits must be an object"},
      {limits(R"({"low": 47})"), "device p1.dc_limits has an unknown member \"low\""},
      {limits(R"({"low_v": "x"})"), "device p1.dc_limits.low_v must be a number of volts"},
      {limits(R"({"high_v": -5})"), "device p1.dc_limits.high_v must be a number of volts"},
      {limits(R"({"high_v": 46})"), "device p1.dc_limits.low_v (47) must be below high_v (46)"}};
  for (const auto& [file, says] : wrong_limits) {
    RunResult r = RunRunner("--check-config --site " + file + " 2>&1");
    EXPECT_EQ(2, r.exit_code) << says << r.raw;
    EXPECT_TRUE(Contains(r.raw, says)) << says << "\n" << r.raw;
  }
  // The battery roles and the battery test (exit 2 naming the member).
  const auto battery = [&](const std::string& member) {
    return Write(t.File("battery-" + std::to_string(++files) + ".json"),
                 R"({"devices": [{"name": "p1", "data_id": 7, "battery": )" + member +
                     R"(, "setting": {"port": "/dev/null", "dcSetting": [{"data_id": 21}],
                     "rcSetting": {}}}]})");
  };
  const auto string = [](const std::string& rest) {
    return R"({"strings": [{"current": {"unit": 21, "list": "m", "index": 0},
               "discharge": "negative", "end_v": 44, )" +
           rest;
  };
  RunResult ok_battery = RunRunner(
      "--check-config --site " +
      battery(string(R"("capacity_ah": 100}], "test": {"allowed": true, "start": {"code": 104},
                     "stop": {"code": 100}, "schedule": "monthly 1 03:00"}})")) +
      " 2>&1");
  EXPECT_EQ(0, ok_battery.exit_code) << ok_battery.raw;
  const std::pair<std::string, std::string> wrong_battery[] = {
      {battery(R"({"volts": 1})"), "device p1.battery has an unknown member \"volts\""},
      {battery(string(R"("capacity_ah": 0}]})")),
       "device p1.battery.strings[0].capacity_ah: must be a number above 0"},
      {battery(R"({"strings": [{"current": {"unit": 99, "list": "m", "index": 0},
                   "discharge": "negative", "capacity_ah": 100, "end_v": 44}]})"),
       "device p1.battery.strings[0].current.unit: must be one of the device's DC units (21)"},
      {battery(
           string(R"("capacity_ah": 100}], "test": {"allowed": true, "start": {"code": 104}}})")),
       "device p1.battery.test.stop: is required when tests are allowed"},
      {battery(string(R"("capacity_ah": 100}], "test": {"schedule": "yearly"}})")),
       "device p1.battery.test.schedule: must be \"daily HH:MM\""}};
  for (const auto& [file, says] : wrong_battery) {
    RunResult r = RunRunner("--check-config --site " + file + " 2>&1");
    EXPECT_EQ(2, r.exit_code) << says << r.raw;
    EXPECT_TRUE(Contains(r.raw, says)) << says << "\n" << r.raw;
  }
  const std::string rc_name = Write(t.File("rc-name.json"), R"({"devices": [
      {"name": "p1", "data_id": 7, "setting": {"port": "/dev/null", "rcSetting": {"name": ["x"]}}}]})");
  RunResult bad_rc = RunRunner("--check-config --site " + rc_name + " 2>&1");
  EXPECT_EQ(2, bad_rc.exit_code) << bad_rc.raw;
  EXPECT_TRUE(Contains(bad_rc.raw, "device p1: rcSetting.name must be a non-empty string"))
      << bad_rc.raw;

  RunResult missing = RunRunner("--check-config --site " + t.File("nowhere.json") + " 2>&1");
  EXPECT_EQ(2, missing.exit_code);
  EXPECT_TRUE(Contains(missing.raw, t.File("nowhere.json"))) << missing.raw;

  RunResult no_plugin =
      RunRunner("--check-config --site " + good + " --plugin " + t.File("k417t.so") + " 2>&1");
  EXPECT_EQ(2, no_plugin.exit_code);
  EXPECT_TRUE(Contains(no_plugin.raw, "plug-in " + t.File("k417t.so") + " does not exist"))
      << no_plugin.raw;

  RunResult version = RunRunner("--version");
  EXPECT_EQ(0, version.exit_code);
  EXPECT_EQ("k417t-run " K417T_VERSION "\n", version.raw);
}

TEST(RunnerDeploy, SetupFaultsStopTheRunnerWithAMessage) {
  TempDir t;
  const std::string scen = Example("scenario.json");
  const std::string site = SiteFor(ParseFile(scen), t.File("site.json"));
  const std::string common = "--site " + site + " --simulate " + scen + " --rounds 1";
  // A service started without its state directory.
  RunResult no_state = RunRunner(common + " --db " + t.File("state/k417t-history.db") + " 2>&1");
  EXPECT_EQ(2, no_state.exit_code) << no_state.raw;
  EXPECT_TRUE(Contains(no_state.raw, t.File("state/k417t-history.db") + " does not exist"))
      << no_state.raw;
  RunResult no_plugin = RunRunner(common + " --db " + t.File("h.db") + " --plugin " +
                                  t.File("lib/k417t.so") + " 2>&1");
  EXPECT_EQ(2, no_plugin.exit_code) << no_plugin.raw;
  EXPECT_TRUE(Contains(no_plugin.raw, t.File("lib/k417t.so"))) << no_plugin.raw;
  // Not a plug-in at all.
  const std::string junk = Write(t.File("junk.so"), "not a library");
  RunResult not_lib = RunRunner(common + " --db " + t.File("h.db") + " --plugin " + junk + " 2>&1");
  EXPECT_EQ(2, not_lib.exit_code) << not_lib.raw;
  EXPECT_TRUE(Contains(not_lib.raw, "cannot load " + junk)) << not_lib.raw;
}

TEST(RunnerDeploy, TellsSystemdReadyOnceAndFeedsTheWatchdogFromTheLoop) {
  TempDir t;
  const std::string scen = Example("scenario.json");
  const std::string site = SiteFor(ParseFile(scen), t.File("site.json"));
  NotifySocket sock(t.File("notify"));
  ASSERT_TRUE(sock.bound());
  // WATCHDOG_USEC 0.4 s: fed every 0.1 s while the loop turns.
  RunResult r =
      RunRunner("--site " + site + " --simulate " + scen + " --rounds 3 --json --quiet --db " +
                t.File("h.db") + " --log " + t.File("log") + " </dev/null");
  ASSERT_EQ(0, r.exit_code) << r.raw;
  EXPECT_TRUE(sock.Messages().empty());  // not a service: nothing sent

  const std::string env = "NOTIFY_SOCKET=" + t.File("notify") + " WATCHDOG_USEC=400000 ";
  RunResult s =
      RunRunner("--site " + site + " --simulate " + scen + " --rounds 3 --json --quiet --db " +
                    t.File("h.db") + " --log " + t.File("service.log") + " --traces " +
                    t.File("traces") + " </dev/null",
                env);
  ASSERT_EQ(0, s.exit_code) << s.raw;
  const std::vector<std::string> m = sock.Messages();
  std::string all;
  for (const std::string& x : m) all += "[" + x + "]";
  auto first = [&](const std::string& what) {
    return std::find_if(m.begin(), m.end(),
                        [&](const std::string& x) { return Contains(x, what); }) -
           m.begin();
  };
  const auto ready = std::count_if(m.begin(), m.end(),
                                   [](const std::string& x) { return Contains(x, "READY=1"); });
  EXPECT_EQ(1, ready) << all;
  EXPECT_TRUE(Contains(m.at(static_cast<size_t>(first("READY=1"))), "STATUS=polling 1 device"))
      << all;
  ASSERT_LT(first("WATCHDOG=1"), static_cast<long>(m.size())) << all;
  EXPECT_LT(first("READY=1"), first("STOPPING=1")) << all;
  EXPECT_EQ("STOPPING=1", m.back()) << all;
  // --quiet: no round tables, values go nowhere but history
  for (const Json::Value& v : s.lines) EXPECT_NE("round", v["kind"].asString());
  // --traces: the plug-in's traces apart from the host's log
  const std::string log = ReadText(t.File("service.log"));
  const std::string traces = ReadText(t.File("traces"));
  EXPECT_TRUE(Contains(log, "simulator on")) << log;
  ASSERT_FALSE(traces.empty());
  std::istringstream lines(traces);
  for (std::string line; std::getline(lines, line);)
    EXPECT_FALSE(Contains(log, line + "\n")) << line;
}

TEST(RunnerDeploy, InstalledTreeRunsWithoutPluginPath) {
  TempDir t;
  const std::string root = t.File("root");
  ASSERT_EQ(0, std::system(("DESTDIR=" + root + " " K417T_CMAKE " --install " K417T_BUILD_DIR " >" +
                            t.File("install.log") + " 2>&1")
                               .c_str()))
      << ReadText(t.File("install.log"));
  for (const char* file :
       {K417T_BIN_DIR "/k417t-run", K417T_BIN_DIR "/k417t-sim", K417T_PLUGIN_FILE,
        K417T_DATA_DIR "/scenario.json", K417T_DATA_DIR "/scenarios/lossy_line.json",
        K417T_DATA_DIR "/alarm-names/en.json", K417T_CONF_DIR "/site.json",
        K417T_UNIT_DIR "/k417t.service"})
    EXPECT_EQ(0, access((root + file).c_str(), F_OK)) << file;
  // The unit starts the installed runner on the installed site file.
  const std::string unit = ReadText(root + K417T_UNIT_DIR "/k417t.service");
  EXPECT_TRUE(
      Contains(unit, "ExecStart=" K417T_BIN_DIR "/k417t-run --site " K417T_CONF_DIR "/site.json"))
      << unit;

  const std::string scen = root + K417T_DATA_DIR "/scenario.json";
  const std::string site = SiteFor(ParseFile(scen), t.File("site.json"));
  RunResult r = RunRunner("--site " + site + " --simulate " + scen + " --rounds 1 --json --db " +
                              t.File("h.db") + " --log " + t.File("log"),
                          "", root + K417T_BIN_DIR "/k417t-run");
  ASSERT_EQ(0, r.exit_code) << r.raw << ReadText(t.File("log"));
  EXPECT_EQ(1u, Rounds(r).size()) << r.raw;
}

namespace {

// The runner started in the background with --json; its output read line by
// line while the test signals it.
class LiveRunner {
 public:
  explicit LiveRunner(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], STDOUT_FILENO);
      close(fds[0]);
      close(fds[1]);
      std::vector<std::string> argv;
      const std::string emulator = K417T_EMULATOR;
      if (!emulator.empty()) argv.push_back(emulator);
      argv.push_back(K417T_RUNNER);
      argv.insert(argv.end(), args.begin(), args.end());
      std::vector<char*> c;
      for (std::string& s : argv) c.push_back(s.data());
      c.push_back(nullptr);
      execv(c[0], c.data());
      _exit(127);
    }
    close(fds[1]);
    fd_ = fds[0];
  }
  ~LiveRunner() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }
  // Reads output until `want` accepts a line; false at the end of the output
  // or after two minutes without it (slow under emulation and sanitizers).
  bool Until(const std::function<bool(const Json::Value&)>& want) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
      for (size_t nl; (nl = buffer_.find('\n')) != std::string::npos;) {
        const std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        Json::Value v;
        std::istringstream in(line);
        Json::CharReaderBuilder b;
        std::string err;
        if (!Json::parseFromStream(b, in, &v, &err)) continue;
        seen_.push_back(v);
        if (want(v)) return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[4096];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) return false;
      buffer_.append(buf, static_cast<size_t>(n));
    }
  }
  void Signal(int sig) { kill(pid_, sig); }
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::vector<Json::Value>& seen() const { return seen_; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string buffer_;
  std::vector<Json::Value> seen_;
};

// A device of the example scenario: one AC screen (its second input is dead,
// which raises alarms), two DC distributions, the rectifier group.
std::string SiteDevice(unsigned id, const std::string& name, unsigned ac, unsigned dc) {
  return "{\"name\": \"" + name + "\", \"data_id\": " + std::to_string(id) +
         ", \"setting\": {\"address\": 1, \"timeout_ms\": 1500, \"acSetting\": [{\"data_id\": " +
         std::to_string(ac) + "}], \"dcSetting\": [{\"data_id\": " + std::to_string(dc) +
         "}, {\"data_id\": " + std::to_string(dc + 1) + "}], \"rcSetting\": {}}}";
}

std::function<bool(const Json::Value&)> RoundOf(unsigned device) {
  return [device](const Json::Value& v) {
    return v["kind"] == "round" && v["device"].asUInt() == device;
  };
}

bool IsReload(const Json::Value& v) { return v["kind"] == "reload"; }

std::vector<unsigned> Ids(const Json::Value& list) {
  std::vector<unsigned> out;
  for (const Json::Value& x : list) out.push_back(x.asUInt());
  return out;
}

}  // namespace

TEST(RunnerReload, SighupAppliesTheSiteFileLineByLine) {
  TempDir t;
  const std::string site = t.File("site.json");
  Write(site, "{\"devices\": [" + SiteDevice(100, "a", 11, 21) + "]}");
  NotifySocket sock(t.File("notify"));
  ASSERT_TRUE(sock.bound());
  setenv("NOTIFY_SOCKET", t.File("notify").c_str(), 1);
  LiveRunner r({"--site", site, "--simulate", Example("scenario.json"), "--json", "--db",
                t.File("h.db"), "--log", t.File("log")});
  unsetenv("NOTIFY_SOCKET");
  ASSERT_TRUE(r.Until(RoundOf(100))) << ReadText(t.File("log"));

  // Added: 200. Device 100 is written differently (members reordered, other
  // spacing) but is the same device: its line keeps polling.
  Write(site, "{\"devices\": [" + SiteDevice(200, "b", 12, 31) +
                  ",\n  {\"setting\": {\"rcSetting\": {}, \"dcSetting\": [{\"data_id\": 21}, "
                  "{\"data_id\": 22}], \"acSetting\": [{\"data_id\": 11}], \"timeout_ms\": 1500, "
                  "\"address\": 1}, \"data_id\": 100, \"name\": \"a\"}]}");
  r.Signal(SIGHUP);
  ASSERT_TRUE(r.Until(IsReload));
  Json::Value reload = r.seen().back();
  EXPECT_TRUE(reload["ok"].asBool()) << reload;
  EXPECT_EQ(std::vector<unsigned>{200}, Ids(reload["added"])) << reload;
  EXPECT_EQ(std::vector<unsigned>{100}, Ids(reload["kept"])) << reload;
  EXPECT_TRUE(reload["changed"].empty() && reload["removed"].empty()) << reload;
  ASSERT_TRUE(r.Until(RoundOf(200)));
  uint64_t last_100 = 0;
  ASSERT_TRUE(r.Until([&](const Json::Value& v) {
    if (!RoundOf(100)(v)) return false;
    last_100 = v["round"].asUInt64();
    return true;
  }));
  EXPECT_GE(last_100, 2u);  // counted on: not restarted

  // A file that does not load, or whose new device the plug-in refuses,
  // changes nothing.
  Write(site, "{\"devices\": [");
  r.Signal(SIGHUP);
  ASSERT_TRUE(r.Until(IsReload));
  EXPECT_FALSE(r.seen().back()["ok"].asBool()) << r.seen().back();
  EXPECT_FALSE(r.seen().back().isMember("added")) << r.seen().back();
  Write(site, "{\"devices\": [" + SiteDevice(100, "a", 11, 21) +
                  ", {\"data_id\": 300, \"setting\": {\"acSetting\": []}}]}");
  r.Signal(SIGHUP);
  ASSERT_TRUE(r.Until(IsReload));
  EXPECT_FALSE(r.seen().back()["ok"].asBool()) << r.seen().back();
  // The scenario fails an AC input after round 3: both screens raise alarms.
  ASSERT_TRUE(r.Until([](const Json::Value& v) { return RoundOf(200)(v) && v["round"] >= 5; }));
  ASSERT_TRUE(r.Until(RoundOf(100)));

  // Removed: 100; changed: 200 (its AC screen is now unit 13), which starts
  // again from its history.
  Write(site, "{\"devices\": [" + SiteDevice(200, "b", 13, 31) + "]}");
  const size_t before = r.seen().size();
  r.Signal(SIGHUP);
  ASSERT_TRUE(r.Until(IsReload));
  reload = r.seen().back();
  EXPECT_TRUE(reload["ok"].asBool()) << reload;
  EXPECT_EQ(std::vector<unsigned>{100}, Ids(reload["removed"])) << reload;
  EXPECT_EQ(std::vector<unsigned>{200}, Ids(reload["changed"])) << reload;
  std::vector<unsigned> restored;
  for (size_t i = before; i < r.seen().size(); ++i)
    if (r.seen()[i]["kind"] == "restored") restored.push_back(r.seen()[i]["device"].asUInt());
  EXPECT_EQ(std::vector<unsigned>{200}, restored);
  int rounds_200 = 0;
  ASSERT_TRUE(r.Until([&](const Json::Value& v) {
    EXPECT_NE(100u, v["device"].asUInt()) << v;
    return v["kind"] == "round" && ++rounds_200 == 3;
  }));
  r.Signal(SIGTERM);
  EXPECT_EQ(0, r.Wait());

  const std::string log = ReadText(t.File("log"));
  EXPECT_TRUE(Contains(log, "reload: the site file was not taken; the running configuration stays"))
      << log;
  EXPECT_TRUE(Contains(log,
                       "reload: 1 added, 0 removed, 0 changed, 0 restarted with their line, "
                       "1 kept; polling 2 devices"))
      << log;
  EXPECT_TRUE(Contains(log,
                       "reload: 0 added, 1 removed, 1 changed, 0 restarted with their line, "
                       "0 kept; polling 1 device"))
      << log;
  // The AC screens no longer polled (11 of the removed device, 12 of the
  // changed one) had raised alarms: cleared, in the history, not left raised.
  EXPECT_TRUE(Contains(log, "of unit 11 cleared: the unit is not polled any more")) << log;
  EXPECT_TRUE(Contains(log, "of unit 12 cleared: the unit is not polled any more")) << log;
  for (unsigned unit : {11u, 12u}) {
    RunResult h = RunRunner("history --db " + t.File("h.db") + " --device " + std::to_string(unit) +
                            " --events --format csv");
    ASSERT_EQ(0, h.exit_code) << h.raw;
    const auto count = [&](const std::string& what) {
      size_t n = 0;
      for (size_t at = 0; (at = h.raw.find(what, at)) != std::string::npos; ++at) ++n;
      return n;
    };
    EXPECT_GT(count(",raised,"), 0u) << h.raw;
    EXPECT_EQ(count(",raised,"), count(",cleared,")) << h.raw;
  }
  // systemd is told about the reloads, and ready again after each.
  const std::vector<std::string> m = sock.Messages();
  std::string all;
  for (const std::string& x : m) all += "[" + x + "]";
  const auto reloading = std::count_if(
      m.begin(), m.end(), [](const std::string& x) { return Contains(x, "RELOADING=1"); });
  const auto ready = std::count_if(m.begin(), m.end(),
                                   [](const std::string& x) { return Contains(x, "READY=1"); });
  EXPECT_EQ(4, reloading) << all;
  EXPECT_EQ(5, ready) << all;
}

// Devices on one RS-485 bus share its line: a change to one of them starts
// the line again with all of its devices; another port polls on untouched.
TEST(RunnerReload, ChangeOnASharedBusRestartsThatBusOnly) {
  TempDir t;
  const std::string site = t.File("site.json");
  auto on = [](const std::string& port, int address, unsigned id, unsigned ac, unsigned dc) {
    std::string d = SiteDevice(id, "d" + std::to_string(id), ac, dc);
    const std::string from = "\"address\": 1";
    d.replace(d.find(from), from.size(),
              "\"port\": \"" + port + "\", \"address\": " + std::to_string(address));
    return d;
  };
  Write(site, "{\"devices\": [" + on("bus-a", 1, 100, 11, 21) + ", " + on("bus-a", 2, 200, 12, 31) +
                  ", " + on("bus-b", 1, 300, 13, 41) + "]}");
  LiveRunner r({"--site", site, "--simulate", Example("scenario.json"), "--json", "--db",
                t.File("h.db"), "--log", t.File("log")});
  for (unsigned id : {100u, 200u, 300u})
    ASSERT_TRUE(r.Until(RoundOf(id))) << ReadText(t.File("log"));

  Write(site, "{\"devices\": [" + on("bus-a", 1, 100, 11, 21) + ", " + on("bus-a", 2, 200, 14, 31) +
                  ", " + on("bus-b", 1, 300, 13, 41) + "]}");
  r.Signal(SIGHUP);
  ASSERT_TRUE(r.Until(IsReload));
  const Json::Value reload = r.seen().back();
  EXPECT_TRUE(reload["ok"].asBool()) << reload;
  EXPECT_EQ(std::vector<unsigned>{200}, Ids(reload["changed"])) << reload;
  EXPECT_EQ(std::vector<unsigned>{100}, Ids(reload["restarted"])) << reload;
  EXPECT_EQ(std::vector<unsigned>{300}, Ids(reload["kept"])) << reload;
  // Both devices of the bus poll again, from round 1.
  for (unsigned id : {100u, 200u})
    EXPECT_TRUE(r.Until([id](const Json::Value& v) { return RoundOf(id)(v) && v["round"] == 1; }))
        << id;
  r.Signal(SIGTERM);
  EXPECT_EQ(0, r.Wait());
}
