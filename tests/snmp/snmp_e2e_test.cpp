// The runner's SNMP sub-agent under Debian's snmpd, started by the test as
// master on a free 127.0.0.1 port with its AgentX socket in a temporary
// folder and an SNMPv3 user, and snmptrapd on another port writing what it
// receives to a file: a walk over SNMPv3 gives the view's numbers under
// K417T-MIB's names, no value where the controller sent none; an alarm's
// raise and clear and a lost controller arrive as notifications; the agent
// comes back after snmpd restarts. README's snmpd.conf lines, run as they
// are, answer its v2c command and give an NMS sysObjectID and sysDescr.
// In the test's own process: the alarm board's states walked through snmpd,
// an operator's acknowledgement and maintenance arriving as notifications,
// and a chattering point trapped as raised once and chattering once; the
// runner with a point that flaps every round does the same.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_util.h"
#include "snmp/snmp_config.h"
#include "snmp/snmp_front_end.h"
#include "support/one_round.h"
#include "view/site_view.h"

// The plug-in's pauses between requests: not needed on the in-memory line.
extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

using e2e::Spawn;
using e2e::Stop;
using e2e::WaitFor;

std::string Capture(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

class Snmp {
 public:
  // snmpd.conf: `conf` with its AgentX socket and trap sink made local, or
  // the test's own lines.
  explicit Snmp(const e2e::TempDir& t, const std::string& conf = "")
      : t_(t), port_(e2e::FreePort(SOCK_DGRAM)), trap_port_(e2e::FreePort(SOCK_DGRAM)) {
    e2e::Write(t.File("snmptrapd.conf"), "disableAuthorization yes\n");
    if (!conf.empty()) {
      std::istringstream in(conf);
      std::string text, line;
      while (std::getline(in, line)) {
        if (line.rfind("agentXSocket ", 0) == 0) line = "agentXSocket " + socket();
        // The socket's modes as given; owner and group are the test's own.
        if (line.rfind("agentXPerms ", 0) == 0) line = line.substr(0, line.find(' ', 17));
        if (line.rfind("trap2sink ", 0) == 0)
          line = "trap2sink 127.0.0.1:" + std::to_string(trap_port_) + " public";
        text += line + "\n";
      }
      e2e::Write(t.File("snmpd.conf"), text);
      return;
    }
    e2e::Write(t.File("snmpd.conf"),
               "master agentx\n"
               "agentXSocket " +
                   socket() +
                   "\n"
                   "agentXPerms 0600 0700\n"
                   "createUser noc SHA \"noc-auth-pass\" AES \"noc-priv-pass\"\n"
                   "view k417t included .1.3.6.1.4.1.32473\n"
                   "view k417t included .1.3.6.1.2.1.47\n"
                   "view k417t included .1.3.6.1.2.1.99\n"
                   "rouser noc priv -V k417t\n"
                   "trap2sink 127.0.0.1:" +
                   std::to_string(trap_port_) + " public\n");
  }
  ~Snmp() {
    Stop(snmpd_);
    Stop(trapd_);
  }
  std::string socket() const { return t_.File("agentx"); }
  void StartMaster() {
    snmpd_ = Spawn(
        {"/usr/sbin/snmpd", "-f", "-C", "-c", t_.File("snmpd.conf"), "-Lf", t_.File("snmpd.log"),
         "--persistentDir=" + t_.File("persist"), "udp:127.0.0.1:" + std::to_string(port_)},
        t_.File("snmpd.out"));
    WaitFor([&] { return access(socket().c_str(), F_OK) == 0; }, 10);
  }
  void StopMaster() {
    Stop(snmpd_);
    snmpd_ = -1;
  }
  void StartTraps() {
    trapd_ = Spawn({"/usr/sbin/snmptrapd", "-f", "-C", "-c", t_.File("snmptrapd.conf"), "-On",
                    "-Lf", traps(), "udp:127.0.0.1:" + std::to_string(trap_port_)},
                   t_.File("snmptrapd.out"));
  }
  std::string traps() const { return t_.File("traps.log"); }
  // snmpwalk (or another tool) over SNMPv3 authPriv, with K417T-MIB's names.
  std::string Tool(const std::string& tool, const std::string& what) const {
    return Capture("timeout 20 " + tool +
                   " -v3 -l authPriv -u noc -a SHA -A noc-auth-pass -x AES -X noc-priv-pass"
                   " -t 2 -r 1 -M " K417T_SNMP_TEST_MIBS ":" K417T_MIB_DIR
                   " -m K417T-MIB"
                   " -OQs 127.0.0.1:" +
                   std::to_string(port_) + " " + what + " 2>/dev/null");
  }
  std::string Walk() const { return Tool("snmpwalk", "K417T-MIB::k417tMIB"); }
  // snmpwalk over SNMPv3 with numeric names and no MIBs: ".1.3... = INTEGER: 2".
  std::string Numeric(const std::string& what) const {
    return Capture(
        "timeout 20 snmpwalk -v3 -l authPriv -u noc -a SHA -A noc-auth-pass -x AES"
        " -X noc-priv-pass -t 2 -r 1 -m '' -On 127.0.0.1:" +
        std::to_string(port_) + " " + what + " 2>&1");
  }
  // snmptable (or snmpget) with `auth` ("-v2c -c …" or "-v3 …") and only the
  // ENTITY-MIB and ENTITY-SENSOR-MIB stand-ins, brief column names; what it
  // says on stderr too, so a module that does not parse shows.
  std::string EntityTool(const std::string& tool, const std::string& auth,
                         const std::string& what) const {
    return Capture("timeout 20 " + tool + " " + auth +
                   " -t 2 -r 1 -M " K417T_SNMP_TEST_MIBS " -m ENTITY-MIB:ENTITY-SENSOR-MIB " +
                   (tool == "snmptable" ? "-Cb " : "") + "127.0.0.1:" + std::to_string(port_) +
                   " " + what + " 2>&1");
  }
  static std::string V3() {
    return "-v3 -l authPriv -u noc -a SHA -A noc-auth-pass -x AES -X noc-priv-pass";
  }
  // A tool over SNMPv2c with `community`, numeric names and no MIBs.
  std::string V2c(const std::string& tool, const std::string& community,
                  const std::string& what) const {
    return Capture("timeout 20 " + tool + " -v2c -c '" + community +
                   "' -t 2 -r 1 -m '' -On 127.0.0.1:" + std::to_string(port_) + " " + what +
                   " 2>&1");
  }

 private:
  const e2e::TempDir& t_;
  const int port_, trap_port_;
  pid_t snmpd_ = -1, trapd_ = -1;
};

// "k417tDcVoltage.100.21 53.50 V": that line of a walk (printed "NAME = VALUE").
bool Has(const std::string& text, const std::string& line) {
  const size_t sp = line.find(' ');
  return text.find(line.substr(0, sp) + " = " + line.substr(sp + 1) + "\n") != std::string::npos;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The rows of snmptable's output (with -Ci: each line that starts with an
// index).
size_t Rows(const std::string& table) {
  const std::regex row(R"(^ *[0-9]+ )");
  size_t n = 0;
  std::istringstream in(table);
  for (std::string line; std::getline(in, line);)
    if (std::regex_search(line, row)) ++n;
  return n;
}

Json::Value Site(const std::string& agentx) {
  Json::Value site = e2e::ParseFile(e2e::Example("site.json"));
  site["devices"][0]["setting"]["timeout_ms"] = 300;
  site["snmp"]["agentx"] = "agentx:" + agentx;
  site["snmp"]["ping_s"] = 1;
  return site;
}

std::string WriteJson(const std::string& path, const Json::Value& v) {
  return e2e::Write(path, Json::writeString(Json::StreamWriterBuilder(), v));
}

std::vector<std::string> Runner(const e2e::TempDir& t, const std::string& site,
                                const std::string& scenario) {
  return e2e::RunnerCommand({"--site", site, "--simulate", scenario, "--db", t.File("h.db"),
                             "--log", t.File("log"), "--quiet"});
}

}  // namespace

TEST(SnmpE2E, WalkTrapsCommLossAndMasterRestart) {
  e2e::TempDir t;
  Snmp snmp(t);
  snmp.StartTraps();
  snmp.StartMaster();
  ASSERT_EQ(0, access(snmp.socket().c_str(), F_OK)) << "snmpd is needed (scripts/install-deps.sh)";
  // The example's AC alarm raised after round 1 and cleared after round 3;
  // from round 12 the controller stops answering.
  Json::Value s = e2e::ParseFile(e2e::Example("scenario.json"));
  Json::Value changes(Json::arrayValue);
  changes.append(s["changes"][0]);
  changes[0]["after_rounds"] = 1;
  changes.append(s["changes"][2]);
  changes[1]["after_rounds"] = 3;
  Json::Value silent;
  silent["after_rounds"] = 12;
  silent["set"]["faults"]["drop_every"] = 1;
  changes.append(silent);
  s["changes"] = changes;
  const std::string site = WriteJson(t.File("site.json"), Site(snmp.socket()));
  const pid_t runner = Spawn(Runner(t, site, WriteJson(t.File("scen.json"), s)), t.File("out"));

  // The scenario's values, as the view gives them, under their names.
  std::string walk;
  ASSERT_TRUE(WaitFor([&] { return Has(walk = snmp.Walk(), "k417tDeviceName.100 power-1"); }, 20))
      << walk << e2e::ReadText(t.File("log"));
  // Values come in as their answers do; the device counts as answering once
  // its first round has ended.
  ASSERT_TRUE(WaitFor(
      [&] {
        walk = snmp.Walk();
        return Has(walk, "k417tDcVoltage.100.21 53.50 V") &&
               Has(walk, "k417tDeviceAnswering.100 true");
      },
      10))
      << walk;
  EXPECT_TRUE(Has(walk, "k417tDcCurrent.100.21 120.40 A")) << walk;
  EXPECT_TRUE(Has(walk, "k417tDcVoltage.100.22 53.40 V")) << walk;
  EXPECT_TRUE(Has(walk, "k417tAcPhaseCurrent.100.11.a 31.50 A")) << walk;
  EXPECT_TRUE(Has(walk, "k417tRectGroupVoltage.100.100 53.50 V")) << walk;
  // The energy row: the load power is the first DC unit's bus voltage times
  // both units' current (53.5 V × 200.4 A); no battery strings named here.
  EXPECT_TRUE(Has(walk, "k417tBatteryLoadPower.100 10721 W")) << walk;
  EXPECT_EQ(1u, Count(walk, "k417tBatteryLoadEnergy.100 = ")) << walk;
  EXPECT_TRUE(Has(walk, "k417tBatteryConfigured.100 false")) << walk;
  EXPECT_TRUE(Has(walk, "k417tRectGroupCurrent.100.100 80.00 A")) << walk;
  EXPECT_TRUE(Has(walk, "k417tRectModuleCurrent.100.100.1 40.20 A")) << walk;
  EXPECT_TRUE(Has(walk, "k417tRectModuleOnOff.100.100.3 off")) << walk;
  EXPECT_TRUE(Has(walk, "k417tDcValueName.100.21.user.1 Battery 1 temperature")) << walk;
  EXPECT_TRUE(Has(walk, "k417tDcValueReading.100.21.user.1 25.00")) << walk;
  // Read-only: a set is refused by the master's view and our registration.
  EXPECT_EQ(std::string::npos,
            snmp.Tool("snmpset", "K417T-MIB::k417tDeviceName.100 s x").find("power-1 x"));

  // The raise and the clear of the AC alarm, with their severity (major: 3).
  // The input's three missing phases are one cause: the second and third
  // are attached to the first and not raised of their own.
  const std::string raised = ".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.32473.0.1";
  const std::string cleared = ".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.32473.0.2";
  std::string traps;
  ASSERT_TRUE(WaitFor([&] { return Count(traps = e2e::ReadText(snmp.traps()), cleared) >= 1; }, 20))
      << traps;
  std::this_thread::sleep_for(std::chrono::seconds(1));
  traps = e2e::ReadText(snmp.traps());
  EXPECT_EQ(1u, Count(traps, raised)) << traps;
  EXPECT_EQ(1u, Count(traps, cleared)) << traps;
  EXPECT_NE(std::string::npos, traps.find(".1.3.6.1.4.1.32473.1.11.4.0 = INTEGER: 3")) << traps;
  EXPECT_NE(std::string::npos, traps.find(".1.3.6.1.4.1.32473.1.11.5.0 = STRING: \"06017\""))
      << traps;
  EXPECT_NE(std::string::npos, traps.find(".1.3.6.1.4.1.32473.1.1.1.2.100 = STRING: \"power-1\""))
      << traps;

  // snmpd restarts: the agent registers again and answers.
  snmp.StopMaster();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  snmp.StartMaster();
  ASSERT_TRUE(WaitFor([&] { return Has(walk = snmp.Walk(), "k417tDeviceName.100 power-1"); }, 20))
      << walk << e2e::ReadText(t.File("log"));

  // The controller goes silent: communication lost, critical, in the alarm
  // table and as a notification.
  const std::string lost = ".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.32473.0.3";
  ASSERT_TRUE(WaitFor([&] { return Count(e2e::ReadText(snmp.traps()), lost) >= 1; }, 30))
      << e2e::ReadText(snmp.traps()) << e2e::ReadText(t.File("log"));
  // Its alarms are unknown: the board says so.
  const std::string unknown = ".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.32473.0.12";
  EXPECT_TRUE(WaitFor([&] { return Count(e2e::ReadText(snmp.traps()), unknown) >= 1; }, 10))
      << e2e::ReadText(snmp.traps());
  walk = snmp.Walk();
  EXPECT_TRUE(Has(walk, "k417tDeviceAnswering.100 false")) << walk;
  EXPECT_NE(std::string::npos, walk.find(" = comm\n")) << walk;
  EXPECT_TRUE(Has(walk, "k417tAlarmState.100.100.65536 activeUnacknowledged")) << walk;
  // The phase alarm that cleared unacknowledged is still listed as such: it
  // cleared while the controller answered.
  EXPECT_TRUE(Has(walk, "k417tKpiUnknown.0 0")) << walk;
  EXPECT_NE(std::string::npos, walk.find(" = clearedUnacknowledged\n")) << walk;
  EXPECT_EQ(0, Stop(runner)) << e2e::ReadText(t.File("log"));
  const std::string log = e2e::ReadText(t.File("log"));
  EXPECT_EQ(2u, Count(log, "snmp: registered with the master agent")) << log;
}

TEST(SnmpE2E, NoValueIsAStatusNotANumber) {
  e2e::TempDir t;
  Snmp snmp(t);
  snmp.StartMaster();
  ASSERT_EQ(0, access(snmp.socket().c_str(), F_OK));
  const Json::Value scenario = e2e::ParseFile(e2e::Example("scenarios/no_values.json"));
  const std::string site = e2e::SiteFor(scenario, t.File("site.json"));
  Json::Value s = e2e::ParseFile(site);
  s["devices"][0]["name"] = "nv";
  s["snmp"]["agentx"] = snmp.socket();
  WriteJson(site, s);
  const pid_t runner =
      Spawn(Runner(t, site, e2e::Example("scenarios/no_values.json")), t.File("out"));
  std::string walk;
  ASSERT_TRUE(WaitFor([&] { return Has(walk = snmp.Walk(), "k417tDcVoltage.100.21 53.50 V"); }, 20))
      << walk << e2e::ReadText(t.File("log"));
  // "20202020": no value; its reading has no instance, its status says so.
  EXPECT_TRUE(Has(walk, "k417tAcPhaseCurrentStatus.100.11.a noValue")) << walk;
  EXPECT_EQ(std::string::npos, walk.find("k417tAcPhaseCurrent.100.11.a ")) << walk;
  EXPECT_TRUE(Has(walk, "k417tAcPhaseCurrent.100.11.b .00 A")) << "0 is a reading: " << walk;
  EXPECT_TRUE(Has(walk, "k417tRectGroupVoltageStatus.100.100 noValue")) << walk;
  EXPECT_TRUE(Has(walk, "k417tDcValueStatus.100.21.user.1 noValue")) << walk;
  EXPECT_TRUE(Has(walk, "k417tDcValueStatus.100.21.user.3 valid")) << walk;
  EXPECT_NE(
      std::string::npos,
      snmp.Tool("snmpget", "K417T-MIB::k417tAcPhaseCurrent.100.11.1").find("No Such Instance"));
  // The same readings as ENTITY-SENSOR-MIB sensors (AC screen 11 is the
  // device's first unit; phase A, B and C currents are its rows 9 to 11):
  // no value is unavailable(2) at 0, a 0 is ok(1).
  const std::string sensors = snmp.Numeric(".1.3.6.1.2.1.99.1.1.1");
  const std::string sensor = ".1.3.6.1.2.1.99.1.1.1.";
  EXPECT_NE(std::string::npos, sensors.find(sensor + "5.10109000 = INTEGER: 2\n")) << sensors;
  EXPECT_NE(std::string::npos, sensors.find(sensor + "4.10109000 = INTEGER: 0\n")) << sensors;
  EXPECT_NE(std::string::npos, sensors.find(sensor + "5.10110000 = INTEGER: 1\n")) << sensors;
  EXPECT_NE(std::string::npos, sensors.find(sensor + "5.10111000 = INTEGER: 2\n")) << sensors;
  const std::string names = snmp.Numeric(".1.3.6.1.2.1.47.1.1.1.1.7.10109000");
  EXPECT_NE(std::string::npos, names.find("= STRING: \"Phase A current\"")) << names;
  // snmptable shows them by name: the no-value row unavailable, the 0 ok.
  const std::string table =
      snmp.EntityTool("snmptable", Snmp::V3(), "-Ci ENTITY-SENSOR-MIB::entPhySensorTable");
  std::printf("%s", table.c_str());
  EXPECT_TRUE(
      std::regex_search(table, std::regex(R"(\n10109000 +amperes +units +2 +0 +unavailable )")))
      << table;
  EXPECT_TRUE(std::regex_search(table, std::regex(R"(\n10110000 +amperes +units +2 +0 +ok )")))
      << table;
  EXPECT_EQ(Count(sensors, sensor + "1."), Rows(table)) << sensors << table;
  EXPECT_EQ(0, Stop(runner));
}

TEST(SnmpE2E, BadSettingsExit2NamingTheMember) {
  e2e::TempDir t;
  Json::Value site = Site("/no/such/folder/agentx");
  const std::string path = WriteJson(t.File("site.json"), site);
  e2e::RunResult r = e2e::RunRunner("--site " + path + " --check-config 2>&1");
  EXPECT_EQ(2, r.exit_code);
  EXPECT_NE(std::string::npos, r.raw.find("snmp.agentx")) << r.raw;
  site["snmp"]["agentx"] = t.File("agentx");
  site["snmp"]["enterprise"] = "1.3.6.x";
  WriteJson(path, site);
  r = e2e::RunRunner("--site " + path + " --check-config 2>&1");
  EXPECT_EQ(2, r.exit_code);
  EXPECT_NE(std::string::npos, r.raw.find("snmp.enterprise")) << r.raw;
  site["snmp"]["enterprise"] = "1.3.6.1.4.1.32473";
  WriteJson(path, site);
  r = e2e::RunRunner("--site " + path + " --simulate " + e2e::Example("scenario.json") +
                     " --snmp tcp:127.0.0.1 --rounds 1 2>&1");
  EXPECT_EQ(2, r.exit_code);
  EXPECT_NE(std::string::npos, r.raw.find("--snmp")) << r.raw;
}

// The fenced block after `marker` in README.md.
std::string ReadmeBlock(const std::string& marker) {
  const std::string readme = e2e::ReadText(K417T_README);
  const size_t at = readme.find(marker);
  if (at == std::string::npos) return "";
  const size_t open = readme.find("```\n", at);
  if (open == std::string::npos) return "";
  const size_t close = readme.find("```", open + 4);
  if (close == std::string::npos) return "";
  return readme.substr(open + 4, close - open - 4);
}

TEST(SnmpE2E, ReadmeSnmpdLinesAnswerItsV2cCommandAndAnNms) {
  const std::string conf = ReadmeBlock("`/etc/snmp/snmpd.conf` lines to paste");
  ASSERT_NE(std::string::npos, conf.find("master agentx")) << conf;
  // Only snmpd and the service's group reach the AgentX socket; no
  // well-known community anywhere.
  EXPECT_NE(std::string::npos, conf.find("\nagentXPerms 0660 0750 root k417t-agentx\n")) << conf;
  EXPECT_EQ(std::string::npos, conf.find(" public")) << conf;
  std::smatch m;
  const std::string readme = e2e::ReadText(K417T_README);
  ASSERT_TRUE(std::regex_search(readme, m, std::regex(R"(snmpwalk -v2c -c (\S+) )")))
      << "README gives a v2c walk with its community";
  const std::string community = m[1];
  // The community is for this host only.
  EXPECT_TRUE(
      std::regex_search(conf, std::regex("\nrocommunity " + community + " 127\\.0\\.0\\.1 ")))
      << conf;
  std::string sysdescr;
  if (std::regex_search(conf, m, std::regex(R"(\nsysdescr ([^\n]+))"))) sysdescr = m[1];
  EXPECT_NE(std::string::npos, sysdescr.find("K417T")) << "sysDescr names the device: " << conf;

  e2e::TempDir t;
  Snmp snmp(t, conf);
  snmp.StartMaster();
  ASSERT_EQ(0, access(snmp.socket().c_str(), F_OK)) << e2e::ReadText(t.File("snmpd.log"));
  const std::string site = WriteJson(t.File("site.json"), Site(snmp.socket()));
  const pid_t runner = Spawn(Runner(t, site, e2e::Example("scenario.json")), t.File("out"));

  // README's v2c walk answers with the K417T subtree ...
  std::string walk;
  ASSERT_TRUE(WaitFor(
      [&] {
        walk = snmp.V2c("snmpwalk", community, ".1.3.6.1.4.1.32473.1.1.1.2");
        return walk.find(".1.3.6.1.4.1.32473.1.1.1.2.100 = STRING: \"power-1\"") !=
               std::string::npos;
      },
      20))
      << walk << e2e::ReadText(t.File("log"));
  // ... and ENTITY-MIB's tree and ENTITY-SENSOR-MIB's sensors, numbered as
  // README says: DC unit 21's output voltage is 10201000, rectifier module 1
  // 10400001.
  const std::string physical = ".1.3.6.1.2.1.47.1.1.1.1.";
  const std::string sensor = ".1.3.6.1.2.1.99.1.1.1.";
  std::string entities, sensors;
  double walk_ms = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto start = std::chrono::steady_clock::now();
        entities = snmp.V2c("snmpwalk", community, ".1.3.6.1.2.1.47.1");
        sensors = snmp.V2c("snmpwalk", community, ".1.3.6.1.2.1.99.1");
        walk_ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        // Both walks after the first round (the tree before it is the
        // gateway and the controller only).
        return sensors.find(sensor + "4.10201000 = INTEGER: 5350\n") != std::string::npos &&
               entities.find(physical + "5.10400001 = INTEGER: 6\n") != std::string::npos;
      },
      20))
      << sensors << entities;
  for (const std::string& line : {
           physical + "5.1 = INTEGER: 3",                  // the gateway: chassis
           physical + "4.10000000 = INTEGER: 1",           // the controller in it
           physical + "7.10000000 = STRING: \"power-1\"",  // named as the site names it
           physical + "13.10000000 = STRING: \"K417T\"",   // its model
           physical + "5.10400000 = INTEGER: 5",           // the rectifier group: container
           physical + "5.10400001 = INTEGER: 6",           // module 1: powerSupply
           physical + "4.10401000 = INTEGER: 10400000",    // the group's output voltage
           physical + "7.10201000 = STRING: \"Output voltage\"",
           std::string(".1.3.6.1.2.1.47.1.3.3.1.1.10400000.10400001 = INTEGER: 10400001"),
       })
    EXPECT_NE(std::string::npos, entities.find(line + "\n")) << line << "\n" << entities;
  EXPECT_NE(std::string::npos, entities.find(".1.3.6.1.2.1.47.1.4.1.0 = Timeticks: ")) << entities;
  for (const std::string& line : {
           sensor + "1.10201000 = INTEGER: 4",  // voltsDC
           sensor + "2.10201000 = INTEGER: 9",  // units
           sensor + "3.10201000 = INTEGER: 2",  // hundredths
           sensor + "5.10201000 = INTEGER: 1",  // ok
           sensor + "6.10201000 = STRING: \"V DC\"",
           sensor + "1.10101001 = INTEGER: 3",  // the AC screen's input 1 voltage: voltsAC
           sensor + "4.10101001 = INTEGER: 38050",
       })
    EXPECT_NE(std::string::npos, sensors.find(line + "\n")) << line << "\n" << sensors;
  EXPECT_EQ(std::string::npos, sensors.find("No more variables")) << sensors;
  std::printf("entity walk: %zu + %zu lines in %.0f ms\n", Count(entities, "\n"),
              Count(sensors, "\n"), walk_ms);

  // The same tables by name with the MIB modules an NMS has (here the
  // stand-ins): README's community, snmptable's brief column names.
  const std::string v2c = "-v2c -c '" + community + "'";
  const std::string sensor_table =
      snmp.EntityTool("snmptable", v2c, "ENTITY-SENSOR-MIB::entPhySensorTable");
  const std::string physical_table =
      snmp.EntityTool("snmptable", v2c, "-Ci ENTITY-MIB::entPhysicalTable");
  std::printf("%s\n%s", sensor_table.c_str(), physical_table.c_str());
  EXPECT_NE(std::string::npos,
            sensor_table.find("SNMP table: ENTITY-SENSOR-MIB::entPhySensorTable"))
      << sensor_table;
  for (const char* column : {"Type", "Scale", "Precision", "Value", "OperStatus", "UnitsDisplay",
                             "ValueTimeStamp", "ValueUpdateRate"})
    EXPECT_TRUE(std::regex_search(sensor_table, std::regex(std::string(" ") + column + "( |\n)")))
        << column << "\n"
        << sensor_table;
  // DC output 53.50 V, DC load 120.40 A, the site's battery temperature
  // 25.00 °C, an AC phase voltage; every row ok.
  for (const char* row :
       {R"(\n +voltsDC +units +2 +5350 +ok +V DC )", R"(\n +amperes +units +2 +12040 +ok +A )",
        R"(\n +celsius +units +2 +2500 +ok +°C )", R"(\n +voltsAC +units +2 +38050 +ok +V AC )"})
    EXPECT_TRUE(std::regex_search(sensor_table, std::regex(row))) << row << "\n" << sensor_table;
  EXPECT_EQ(std::string::npos, sensor_table.find("unavailable")) << sensor_table;
  EXPECT_EQ(Count(sensors, sensor + "1."), Count(sensor_table, " ok ")) << sensor_table;
  for (const char* column : {"Descr", "VendorType", "ContainedIn", "Class", "ParentRelPos", "Name",
                             "FirmwareRev", "SoftwareRev", "ModelName", "IsFRU", "MfgDate"})
    EXPECT_TRUE(std::regex_search(physical_table, std::regex(std::string(" ") + column + "( |\n)")))
        << column << "\n"
        << physical_table;
  for (const char* row :
       {R"(\n +1 +K417T gateway \(k417t-run\) +(SNMPv2-SMI::)?zeroDotZero +0 +chassis )",
        R"(\n10000000 +K417T controller power-1 .* +1 +module +1 +power-1 +1\.20 )",
        R"(\n10400000 +.* +10000000 +container +4 )",
        R"(\n10400001 +.* +10400000 +powerSupply +1 +Rectifier module 1 )",
        R"(\n10201000 +.* +10200000 +sensor +1 +Output voltage )"})
    EXPECT_TRUE(std::regex_search(physical_table, std::regex(row))) << row << "\n"
                                                                    << physical_table;
  EXPECT_EQ(Count(entities, physical + "5."), Rows(physical_table)) << entities << physical_table;
  const std::string changed = snmp.EntityTool("snmpget", v2c, "ENTITY-MIB::entLastChangeTime.0");
  EXPECT_TRUE(std::regex_search(
      changed, std::regex(R"(^ENTITY-MIB::entLastChangeTime\.0 = Timeticks: \(\d+\) )")))
      << changed;

  // ... and an NMS finds what the device is: sysObjectID k417tGateway,
  // sysDescr as set.
  const std::string system =
      snmp.V2c("snmpget", community, ".1.3.6.1.2.1.1.2.0 .1.3.6.1.2.1.1.1.0");
  EXPECT_NE(std::string::npos, system.find(".1.3.6.1.2.1.1.2.0 = OID: .1.3.6.1.4.1.32473.3.1\n"))
      << system;
  EXPECT_NE(std::string::npos, system.find(".1.3.6.1.2.1.1.1.0 = STRING: \"" + sysdescr + "\"\n"))
      << system;
  // Another community gets nothing.
  EXPECT_EQ(std::string::npos,
            snmp.V2c("snmpget", community + "-not", ".1.3.6.1.2.1.1.2.0").find("OID:"));
  EXPECT_EQ(0, Stop(runner)) << e2e::ReadText(t.File("log"));
}

// One traps line of snmptrapd's log per notification: its varbinds.
std::vector<std::string> TrapLines(const std::string& log, const std::string& trap_oid) {
  std::vector<std::string> out;
  std::istringstream in(log);
  const std::string is = ".1.3.6.1.6.3.1.1.4.1.0 = OID: " + trap_oid + "\t";
  for (std::string line; std::getline(in, line);)
    if ((line + "\t").find(is) != std::string::npos) out.push_back(line);
  return out;
}

size_t TrapsAbout(const std::string& log, const std::string& trap_oid, const std::string& key) {
  size_t n = 0;
  for (const std::string& line : TrapLines(log, trap_oid))
    if (line.find("STRING: \"" + key + "\"") != std::string::npos) ++n;
  return n;
}

TEST(SnmpE2E, BoardStatesActionsAndChatterThroughSnmpd) {
  e2e::TempDir t;
  Snmp snmp(t);
  snmp.StartTraps();
  snmp.StartMaster();
  ASSERT_EQ(0, access(snmp.socket().c_str(), F_OK)) << "snmpd is needed (scripts/install-deps.sh)";

  k417t_test::OneRound r(e2e::ParseText(
      R"({"ac": [{"inputs": [{"a": 380.5}]}], "rectifier": {"value": 53.5,
          "modules": [{"value": 40.2}]}, "dc": [{"v": 53.5, "i": 120.4}]})"));
  r.Poll(1);
  qmx::view::SiteView view(*r.host);
  qmx::view::SiteInfo site;
  site[100].name = "power-1";
  view.SetSite(site);
  qmx::view::FrontEnds fronts(view);
  qmx::snmp::SnmpConfig cfg;
  std::string error;
  Json::Value snmp_site;
  snmp_site["snmp"]["agentx"] = snmp.socket();
  snmp_site["snmp"]["ping_s"] = 1;
  ASSERT_TRUE(qmx::snmp::LoadSnmp(snmp_site, "", cfg, error)) << error;
  std::mutex log_mu;
  std::string log;
  auto agent = std::make_shared<qmx::snmp::SnmpFrontEnd>(view, cfg, [&](const std::string& l) {
    std::lock_guard<std::mutex> lock(log_mu);
    log += l + "\n";
  });
  fronts.Add(agent);
  ASSERT_TRUE(fronts.StartAll(error)) << error;
  ASSERT_TRUE(WaitFor([&] { return agent->connected(); }, 20)) << log;

  const std::string ns = ".1.3.6.1.4.1.32473.0.";
  auto traps = [&] { return e2e::ReadText(snmp.traps()); };
  const int64_t t0 = view.Now();
  auto event = [&](const std::string& key, uint32_t seq, bool raised, int64_t time) {
    qmx::store::AlarmEvent e;
    e.data_id = 21;
    e.key = key;
    e.seq = seq;
    e.level = 2;
    e.code = "09001";
    e.name = "熔丝告警";  // device text: bytes as sent
    e.text = "fuse 3";
    e.raised = raised;
    e.time = time;
    return e;
  };

  // A raise, then an operator's acknowledgement through the door.
  view.Board().OnEvents(100, {event("DC_7", 4, true, t0)}, t0);
  ASSERT_TRUE(WaitFor([&] { return TrapsAbout(traps(), ns + "1", "DC_7") == 1; }, 20)) << traps();
  qmx::view::AlarmAction ack;
  ack.via = "command line";
  ack.who = "alice";
  ack.action = "acknowledge";
  ack.device = 100;
  ack.alarm = "21_DC_7_4";
  ack.comment = "on my way";
  const qmx::view::AlarmActionResult done = view.Act(ack);
  ASSERT_TRUE(done.ok) << done.reason;
  ASSERT_TRUE(WaitFor([&] { return TrapsAbout(traps(), ns + "5", "DC_7") == 1; }, 20)) << traps();
  const std::string ack_trap = TrapLines(traps(), ns + "5").front();
  EXPECT_NE(std::string::npos, ack_trap.find(".1.3.6.1.4.1.32473.1.11.11.0 = STRING: \"alice\""))
      << ack_trap;
  EXPECT_NE(std::string::npos, ack_trap.find(".1.3.6.1.4.1.32473.1.11.10.0 = INTEGER: 2"))
      << "activeAcknowledged: " << ack_trap;
  EXPECT_NE(std::string::npos, ack_trap.find(".1.3.6.1.4.1.32473.1.11.9.0 = STRING: \"21_DC_7_4\""))
      << ack_trap;

  // Maintenance: a notification and the device's columns.
  qmx::view::AlarmAction maint = ack;
  maint.action = "maintenance";
  maint.alarm.clear();
  maint.duration_s = 3600;
  ASSERT_TRUE(view.Act(maint).ok);
  ASSERT_TRUE(WaitFor([&] { return TrapLines(traps(), ns + "10").size() == 1; }, 20)) << traps();

  // The new columns under their names, over SNMPv3 through snmpd.
  const auto walk_start = std::chrono::steady_clock::now();
  const std::string walk = snmp.Walk();
  const double walk_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - walk_start)
          .count();
  EXPECT_TRUE(Has(walk, "k417tDeviceMaintenance.100 true")) << walk;
  EXPECT_TRUE(Has(walk, "k417tDeviceMaintenanceBy.100 alice")) << walk;
  EXPECT_TRUE(Has(walk, "k417tAlarmListState.100.21.4 outOfService")) << walk;
  EXPECT_TRUE(Has(walk, "k417tAlarmListAcknowledgedBy.100.21.4 alice")) << walk;
  EXPECT_TRUE(Has(walk, "k417tAlarmListId.100.21.4 21_DC_7_4")) << walk;
  EXPECT_TRUE(Has(walk, "k417tAlarmListActive.100.21.4 true")) << walk;
  EXPECT_TRUE(Has(walk, "k417tAlarmListAnnunciated.100.21.4 false")) << "out of service: " << walk;
  EXPECT_TRUE(Has(walk, "k417tKpiMaintenance.0 1")) << walk;
  EXPECT_TRUE(Has(walk, "k417tKpiFlood.0 false")) << walk;
  maint.action = "maintenance_end";
  maint.duration_s = 0;
  ASSERT_TRUE(view.Act(maint).ok);
  ASSERT_TRUE(WaitFor([&] { return TrapLines(traps(), ns + "11").size() == 1; }, 20)) << traps();
  std::string after;
  EXPECT_TRUE(WaitFor(
      [&] {
        after = snmp.Walk();
        return Has(after, "k417tDeviceMaintenance.100 false") &&
               Has(after, "k417tAlarmListState.100.21.4 activeAcknowledged");
      },
      10))
      << after;

  // A point that flaps 60 times within the chatter window: raised once,
  // chattering once; the board keeps its transitions counted.
  const uint64_t transitions_before = view.AlarmFigures().transitions_total;
  for (int k = 0; k < 60; ++k)
    view.Board().OnEvents(100, {event("DC_8", 5, k % 2 == 0, t0 + k)}, t0 + k);
  ASSERT_TRUE(WaitFor([&] { return TrapsAbout(traps(), ns + "8", "DC_8") >= 1; }, 20)) << traps();
  // What else would come has come by now (the agent sends within 200 ms).
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const std::string all = traps();
  const size_t raised = TrapsAbout(all, ns + "1", "DC_8");
  const size_t chattering = TrapsAbout(all, ns + "8", "DC_8");
  const size_t cleared = TrapsAbout(all, ns + "2", "DC_8");
  EXPECT_EQ(1u, raised) << all;
  EXPECT_EQ(1u, chattering) << all;
  EXPECT_LE(raised + chattering, 2u);
  EXPECT_LE(cleared, 1u) << all;
  EXPECT_EQ(transitions_before + 60, view.AlarmFigures().transitions_total);
  std::string chatter_walk;
  EXPECT_TRUE(WaitFor(
      [&] {
        chatter_walk = snmp.Walk();
        return Has(chatter_walk, "k417tAlarmListState.100.21.5 chattering");
      },
      10))
      << chatter_walk;
  EXPECT_TRUE(Has(chatter_walk, "k417tKpiChattering.0 1")) << chatter_walk;
  std::printf(
      "chatter: 60 transitions, %zu raised, %zu chattering, %zu cleared traps; walk %.0f ms\n",
      raised, chattering, cleared, walk_ms);
  fronts.StopAll();
  EXPECT_EQ(0u, agent->dropped());
}

// The runner with a DC voltage that flaps every round: the history keeps
// every transition (k417tKpiTransitions counts them), the NMS gets the
// alarm raised once and chattering once.
TEST(SnmpE2E, RunnerChatteringPointTrapsTwice) {
  e2e::TempDir t;
  Snmp snmp(t);
  snmp.StartTraps();
  snmp.StartMaster();
  ASSERT_EQ(0, access(snmp.socket().c_str(), F_OK));
  const std::string scenario = e2e::Example("scenarios/chatter.json");
  const std::string site = e2e::SiteFor(e2e::ParseFile(scenario), t.File("site.json"));
  Json::Value s = e2e::ParseFile(site);
  s["snmp"]["agentx"] = snmp.socket();
  s["snmp"]["ping_s"] = 1;
  WriteJson(site, s);
  const pid_t runner = Spawn(Runner(t, site, scenario), t.File("out"));
  std::string walk;
  uint64_t transitions = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        walk = snmp.Walk();
        std::smatch m;
        if (std::regex_search(walk, m, std::regex(R"(k417tKpiTransitions\.0 = (\d+)\n)")))
          transitions = std::stoull(m[1]);
        return transitions >= 10;
      },
      60))
      << walk << e2e::ReadText(t.File("log"));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const std::string all = e2e::ReadText(snmp.traps());
  const std::string ns = ".1.3.6.1.4.1.32473.0.";
  const size_t raised = TrapLines(all, ns + "1").size();
  const size_t chattering = TrapLines(all, ns + "8").size();
  const size_t cleared = TrapLines(all, ns + "2").size();
  EXPECT_GE(raised, 1u) << all;
  EXPECT_EQ(1u, chattering) << all;
  EXPECT_LE(raised + chattering, 2u) << transitions << " transitions: " << all;
  EXPECT_LE(cleared, 1u) << all;
  EXPECT_NE(std::string::npos, walk.find(" = chattering\n")) << walk;
  std::printf("runner chatter: %llu transitions, %zu raised, %zu chattering, %zu cleared traps\n",
              static_cast<unsigned long long>(transitions), raised, chattering, cleared);
  EXPECT_EQ(0, Stop(runner)) << e2e::ReadText(t.File("log"));
}
