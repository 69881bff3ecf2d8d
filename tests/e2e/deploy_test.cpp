// The runner as a gateway runs it: installed from the install rules, checked
// by an integrator before a reload, started by systemd (readiness and
// watchdog), and stopped with a message by set-up faults.
#include <gtest/gtest.h>
#include <json/json.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
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
        K417T_CONF_DIR "/site.json", K417T_UNIT_DIR "/k417t.service"})
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
