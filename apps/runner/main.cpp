// k417t-run: the host runner. Loads k417t.so, creates a controller per device
// of the site file, polls each over its serial line (or the built-in
// simulator), prints values and alarm changes after every round, keeps history
// and sends control commands.
#include <dlfcn.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <json/json.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "db_lock.h"
#include "export/mqtt_front_end.h"
#include "fleet.h"
#include "input/checked_json.h"
#include "plugin/get_providers.h"
#include "qmx/pmbus_protocol.h"
#include "report.h"
#include "service_notify.h"
#include "sim/pty_server.h"
#include "site/site_host.h"
#include "site_file.h"
#include "snmp/snmp_config.h"
#ifdef K417T_HAVE_SNMP
#include "snmp/snmp_front_end.h"
#endif
#include "view/control_rules.h"
#include "view/site_view.h"
#include "web/http_front_end.h"
#include "web/http_server.h"
#include "wire/serial_transport.h"

namespace {

using k417t_run::LoadSite;
using k417t_run::SiteDevice;

std::atomic<bool> g_stop{false};
std::atomic<bool> g_show_alarms{false};
std::atomic<bool> g_reload{false};

extern "C" void OnStop(int) { g_stop = true; }
extern "C" void OnUsr1(int) { g_show_alarms = true; }
extern "C" void OnHup(int) { g_reload = true; }

struct Args {
  std::string site;
  std::string plugin;
  std::string simulate;
  std::string db;
  std::string log;
  std::string control;
  int rounds = 0;
  bool json = false;
  bool alarms = false;
  bool no_restore = false;
  bool pace = false;
  bool quiet = false;
  bool check_config = false;
  std::string traces;
  unsigned retention_rows = 0;
  unsigned retention_days = 0;
  std::string history_heartbeat, history_commit, history_max_mb;  // override the site file
  // history subcommand
  unsigned device = 0;
  std::string from, to, format = "table";
  bool events = false;
  // MQTT export
  std::string mqtt_url, mqtt_ca, mqtt_auth_file, mqtt_client_id, mqtt_prefix, mqtt_discovery_prefix;
  // embedded HTTP server
  std::string http;
  bool http_control = false;
  std::string http_token_file;
  // SNMP sub-agent: the master's AgentX address
  std::string snmp;
};

// The token for --http-control: the file's first line, at least 16
// characters. Empty with `error` set when it cannot be used.
std::string ReadToken(const std::string& path, std::string& error) {
  std::ifstream in(path);
  std::string token;
  if (!in || !std::getline(in, token)) {
    error = "cannot read the token file " + path;
    return "";
  }
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
  if (token.size() < 16) {
    error = "the token in " + path + " is shorter than 16 characters";
    return "";
  }
  return token;
}

// Beside the runner in a build tree; installed, in the plug-in folder found
// from the runner's own (bin/../lib/k417t).
std::string DefaultPlugin() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "k417t.so";
  const std::string exe(buf, static_cast<size_t>(n));
  const std::string dir = exe.substr(0, exe.rfind('/') + 1);
  const std::string beside = dir + "k417t.so";
  if (access(beside.c_str(), F_OK) == 0) return beside;
  return dir + K417T_PLUGIN_FROM_BIN "/k417t.so";
}

// The plug-in library and its controller provider; the library is closed
// last, after everything it made.
class Plugin {
 public:
  ~Plugin() {
    providers_.clear();
    if (lib_ != nullptr) dlclose(lib_);
  }
  bool Load(const std::string& path, std::string& error) {
    if (access(path.c_str(), F_OK) != 0) {
      error = "plug-in " + path + " does not exist (--plugin names another)";
      return false;
    }
    lib_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib_ == nullptr) {
      error = "cannot load " + path + ": " + dlerror();
      return false;
    }
    auto get = reinterpret_cast<get_providers_fn>(dlsym(lib_, "get_providers"));
    if (get == nullptr) {
      error = path + " has no get_providers";
      return false;
    }
    providers_ = get();
    factory_ = providers_.empty() ? nullptr : dynamic_cast<QMXSPDeviceProvider*>(providers_[0].get());
    if (factory_ == nullptr) {
      error = path + " offers no controller";
      return false;
    }
    return true;
  }
  QMXSPDeviceProvider& factory() { return *factory_; }

 private:
  void* lib_ = nullptr;
  decltype(std::declval<get_providers_fn>()()) providers_;
  QMXSPDeviceProvider* factory_ = nullptr;
};

bool FolderOfExists(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  struct stat st {};
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ReadJson(const std::string& path, Json::Value& out, std::string& error) {
  return qmx::json::ReadFile(path, out, error);
}

// "YYYY-MM-DD[ HH:MM[:SS]]" (local time) or epoch seconds; empty: open end.
bool ParseTime(const std::string& text, int64_t fallback, int64_t& out) {
  if (text.empty()) {
    out = fallback;
    return true;
  }
  if (text.find('-') == std::string::npos) {
    try {
      out = std::stoll(text);
      return true;
    } catch (...) {
      return false;
    }
  }
  struct tm tm {};
  int n = std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                      &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
  if (n < 3) return false;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  out = static_cast<int64_t>(mktime(&tm));
  return true;
}

std::string DefaultDb(const std::string& site) {
  const size_t slash = site.rfind('/');
  return (slash == std::string::npos ? std::string() : site.substr(0, slash + 1)) + "k417t-history.db";
}

int History(const Args& a) {
  int64_t from = 0, to = 0;
  if (!ParseTime(a.from, 0, from) || !ParseTime(a.to, INT64_MAX / 2, to)) {
    std::cerr << "k417t-run history: --from/--to take YYYY-MM-DD[ HH:MM:SS] or epoch seconds\n";
    return 2;
  }
  qmx::store::HistoryOptions o;
  o.path = a.db.empty() ? DefaultDb(a.site) : a.db;
  o.log = [](const std::string& l) { std::cerr << l << "\n"; };
  qmx::store::HistoryStore store(o);
  if (access(o.path.c_str(), R_OK) != 0 || !store.Open()) {
    std::cerr << "k417t-run history: cannot open " << o.path << "\n";
    return 2;
  }
  if (a.format == "csv") {
    std::cout << (a.events ? store.ExportEventsCsv(a.device, from, to)
                           : store.ExportRecordsCsv(a.device, from, to));
  } else if (a.format == "json") {
    std::cout << store.ExportJson(a.device, from, to) << "\n";
  } else {
    if (a.events) {
      for (const auto& e : store.Events(a.device, from, to))
        std::cout << fmt::format("{} {} {:7} #{} [{}] {} {} {}\n", e.local_time, e.event.data_id,
                                 e.event.raised ? "RAISED" : "cleared", e.event.seq, e.event.key,
                                 e.event.code, e.event.name, e.event.text);
    } else {
      for (const auto& r : store.Records(a.device, from, to))
        std::cout << fmt::format("{} {} type {} {} bytes\n", r.local_time, r.data_id, r.type,
                                 r.image.size());
    }
  }
  return 0;
}

// A control command from --control: DeviceIoControl code and its input byte.
struct ControlCommand {
  int code = 0;
  int byte = -1;  // none
};

// The MQTT export's settings: the site file's "mqtt" object, overridden by
// the command line. `enabled` false: no export. False with the problem in
// `error` on a bad setting.
bool LoadMqtt(const Args& a, const Json::Value& site, const std::vector<SiteDevice>& devices,
              bool& enabled, qmx::exporter::MqttConfig& cfg, std::string& error) {
  namespace ex = qmx::exporter;
  const Json::Value& mqtt = qmx::json::Member(site, "mqtt");
  enabled = !a.mqtt_url.empty() || qmx::json::Has(mqtt, "url");
  if (!enabled && mqtt.isNull()) return true;
  for (const SiteDevice& d : devices) {
    ex::MqttDevice m;
    m.id = d.data_id;
    m.name = d.name;
    cfg.devices.push_back(m);
  }
  std::set<std::string> given;
  if (!a.mqtt_url.empty()) {
    given.insert("url");
    if (!ex::ParseMqttUrl(a.mqtt_url, cfg, error)) {
      error = std::string("--mqtt: ") + error;
      return false;
    }
  }
  std::string auth_file = a.mqtt_auth_file;
  const std::pair<const std::string*, const char*> flags[] = {
      {&a.mqtt_ca, "ca_file"}, {&a.mqtt_auth_file, "auth_file"}, {&a.mqtt_client_id, "client_id"},
      {&a.mqtt_prefix, "prefix"}, {&a.mqtt_discovery_prefix, "discovery_prefix"}};
  for (const auto& [value, key] : flags)
    if (!value->empty()) given.insert(key);
  if (!a.mqtt_ca.empty()) cfg.ca_file = a.mqtt_ca;
  if (!a.mqtt_client_id.empty()) cfg.client_id = a.mqtt_client_id;
  if (!a.mqtt_prefix.empty()) cfg.prefix = a.mqtt_prefix;
  if (!a.mqtt_discovery_prefix.empty()) cfg.discovery_prefix = a.mqtt_discovery_prefix;
  if (!mqtt.isNull() && !ex::ReadSiteMqtt(mqtt, a.site, given, cfg, auth_file, error)) {
    return false;
  }
  if (!enabled) return true;
  if (!auth_file.empty() && !ex::ReadAuthFile(auth_file, cfg, error)) {
    return false;
  }
  if (!cfg.ca_file.empty() && access(cfg.ca_file.c_str(), R_OK) != 0) {
    error = std::string("cannot read the MQTT CA file ") + cfg.ca_file;
    return false;
  }
  for (std::string* level : {&cfg.prefix, &cfg.discovery_prefix}) {
    if (level->empty() || level->find_first_of(std::string("+#\0", 3)) != std::string::npos ||
        level->front() == '/' || level->back() == '/') {
      error = "MQTT prefix \"" + *level +
              "\" must be a topic without '+', '#' or a leading or trailing '/'";
      return false;
    }
  }
  cfg.site = a.site;
  if (cfg.client_id.empty()) cfg.client_id = ex::DefaultClientId(a.site);
  if (!ex::AssignTopics(cfg.devices, error)) {
    error = a.site + ": " + error;
    return false;
  }
  return true;
}

// The SNMP sub-agent's settings (site file "snmp" object, --snmp); false with
// the problem when they are bad or this build has no SNMP.
bool LoadSnmp(const Args& a, const Json::Value& site, qmx::snmp::SnmpConfig& cfg,
              std::string& error) {
  if (!qmx::snmp::LoadSnmp(site, a.snmp, cfg, error)) return false;
#ifndef K417T_HAVE_SNMP
  if (cfg.enabled) {
    error = "this k417t-run was built without SNMP (net-snmp's agent library)";
    return false;
  }
#endif
  return true;
}

// The site file's "history" with the command line's overrides.
bool LoadHistory(const Args& a, const Json::Value& site, k417t_run::HistorySettings& out,
                 std::string& error) {
  if (!k417t_run::ReadHistory(site, out, error)) {
    error = a.site + ": " + error;
    return false;
  }
  const std::pair<const std::string*, double*> given[] = {{&a.history_heartbeat, &out.heartbeat_s},
                                                          {&a.history_commit, &out.commit_s},
                                                          {&a.history_max_mb, &out.max_mb}};
  const char* names[] = {"--history-heartbeat", "--history-commit", "--history-max-mb"};
  for (size_t k = 0; k < 3; ++k) {
    if (!given[k].first->empty() &&
        !k417t_run::HistoryValue(names[k], *given[k].first, *given[k].second, error))
      return false;
  }
  return true;
}

// Sends the --control command to every device after its first round, from a
// thread of its own (as a front end would), and prints each result. False
// when a controller never answered.
bool DriveControl(qmx::SiteHost& host, const std::vector<unsigned>& ids, const Args& a,
                  const ControlCommand& c, k417t_run::Output& output) {
  bool answered = true;
  for (const unsigned id : ids) {
    while (!g_stop && host.rounds(id) < 1 && host.Snapshot(id))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (g_stop) return answered;
    std::vector<unsigned char> in;
    if (c.byte >= 0) in.push_back(static_cast<unsigned char>(c.byte));
    const qmx::ControlResult r = host.Control(id, c.code, in);
    if (r.result == -1) answered = false;
    if (a.json) {
      Json::Value v(Json::objectValue);
      v["kind"] = "control";
      v["device"] = id;
      v["code"] = c.code;
      v["result"] = r.result;
      if (!r.reason.empty()) v["reason"] = r.reason;
      output.Json(v);
    } else {
      output.Line(fmt::format("control {} on device {}: result {}{}", a.control, id, r.result,
                              r.reason.empty() ? "" : " (" + r.reason + ")"));
    }
  }
  return answered;
}

// Waits until every device has done its rounds (and the control driver is
// through), or until a signal; shows progress, on SIGUSR1 the alarms, and on
// SIGHUP reloads the site file.
// The watchdog is fed only while every line's thread keeps turning: a line
// wedged this long (in a plug-in call, or a driver that never returns) stops
// the feeding and systemd restarts the service. A pass of a healthy line takes
// well under a second.
constexpr std::chrono::seconds kLineStuckAfter{15};

void Loop(qmx::SiteHost& host, const k417t_run::Fleet& fleet, const Args& a,
          const std::atomic<bool>& control_done, k417t_run::Output& output,
          k417t_run::ServiceNotify& service, const std::function<void()>& reload,
          const std::function<void(const std::string&)>& log) {
  std::string stuck, said_stuck;
  while (!g_stop) {
    if (host.LinesTurning(kLineStuckAfter, stuck)) {
      service.Tick();
      said_stuck.clear();
    } else if (stuck != said_stuck) {
      said_stuck = stuck;
      const std::string why = "line " + stuck + " has not turned for " +
                              std::to_string(kLineStuckAfter.count()) +
                              " s; the watchdog is no longer fed";
      log(why);
      service.Status(why);
    }
    if (g_reload.exchange(false)) reload();
    const std::vector<unsigned> ids = fleet.ids();
    bool all_done = a.rounds > 0 && control_done;
    uint64_t least = UINT64_MAX;
    unsigned slowest = 0;
    for (const unsigned id : ids) {
      const uint64_t done = host.rounds(id);
      if (a.rounds > 0 && done < static_cast<uint64_t>(a.rounds)) all_done = false;
      if (done < least) {
        least = done;
        slowest = id;
      }
    }
    if (a.quiet || ids.empty()) {
    } else if (ids.size() == 1) {
      output.Progress(fmt::format("device {}: round {} in flight", slowest, least + 1));
    } else {
      output.Progress(
          fmt::format("{} devices: slowest {} at round {}", ids.size(), slowest, least + 1));
    }
    if (g_show_alarms.exchange(false)) output.Alarms(host.ActiveAlarms());
    if (all_done) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// The status page's address for links from Home Assistant: a wildcard
// listen address gives the host name.
std::string PageUrl(const std::string& address, int port) {
  std::string host = address;
  if (host.empty() || host == "0.0.0.0" || host == "::") {
    char name[256] = {};
    host = gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' ? name : "localhost";
  } else if (host.find(':') != std::string::npos) {
    host = "[" + host + "]";
  }
  return fmt::format("http://{}:{}/", host, port);
}

// --check-config: the site file as the runner loads it, then the plug-in's
// reading of every device's setting (all refusals, not only the first). One
// message per problem on standard error; 0 or 2.
int CheckConfig(const Args& a) {
  // The plug-in traces to standard output: keep them off the verdict.
  std::fflush(stdout);
  const int out_fd = dup(STDOUT_FILENO);
  dup2(STDERR_FILENO, STDOUT_FILENO);
  int rc = 0;
  std::vector<SiteDevice> devices;
  Json::Value site;
  qmx::exporter::MqttConfig mqtt_config;
  bool mqtt_enabled = false;
  std::string error;
  Plugin plugin;
  qmx::snmp::SnmpConfig snmp_config;
  k417t_run::HistorySettings history;
  if (!LoadSite(a.site, site, devices, error) ||
      !LoadMqtt(a, site, devices, mqtt_enabled, mqtt_config, error) ||
      !LoadSnmp(a, site, snmp_config, error) || !LoadHistory(a, site, history, error)) {
    std::cerr << "k417t-run: " << error << "\n";
    rc = 2;
  } else if (!plugin.Load(a.plugin, error)) {
    std::cerr << "k417t-run: " << error << "\n";
    rc = 2;
  } else {
    std::mutex mu;
    std::vector<std::string> said;
    auto host = std::make_shared<qmx::SiteHost>(qmx::SiteHost::Options{}, [&](const std::string& l) {
      std::lock_guard<std::mutex> lock(mu);
      said.push_back(l);
    });
    for (SiteDevice& d : devices) {
      {
        std::lock_guard<std::mutex> lock(mu);
        said.clear();
      }
      d.host_ctrl = std::make_shared<QMXController>(std::shared_ptr<qmx::HostServices>(host, host.get()));
      std::unique_ptr<QMXSPDevice> made(plugin.factory().create());
      if (dynamic_cast<PMBusProtocol*>(made.get()) == nullptr) {
        std::cerr << "k417t-run: the plug-in's controller is not a protocol device\n";
        rc = 2;
        break;
      }
      d.ctrl.reset(static_cast<PMBusProtocol*>(made.release()));
      d.ctrl->Init(d.host_ctrl, d.data_id);
      const std::string who = fmt::format("{}: device {} ({})", a.site, d.name, d.data_id);
      if (!d.ctrl->InitSetting(d.setting)) {
        std::lock_guard<std::mutex> lock(mu);
        std::string why;
        for (const std::string& l : said) why += (why.empty() ? "" : "; ") + l;
        std::cerr << "k417t-run: " << who << ": setting refused" << (why.empty() ? "" : ": " + why) << "\n";
        d.ctrl.reset();  // its port and address mean nothing
        rc = 2;
      } else if (d.ctrl->port.empty() && a.simulate.empty()) {
        std::cerr << "k417t-run: " << who << " has no \"port\"\n";
        rc = 2;
      } else if (a.simulate.empty() && access(d.ctrl->port.c_str(), F_OK) != 0) {
        std::cerr << "k417t-run: note: " << who << ": port " << d.ctrl->port
                  << " is not there now (it is retried while running)\n";
      }
    }
    // Every device on its own may be fine and two still clash on a port.
    std::vector<std::string> problems;
    if (!k417t_run::CheckBuses(a.site, devices, problems)) {
      for (const std::string& p : problems) std::cerr << "k417t-run: " << p << "\n";
      rc = 2;
    }
    for (SiteDevice& d : devices) {
      d.ctrl.reset();
      d.host_ctrl.reset();
    }
  }
  if (rc == 0) {
    const std::string ok = fmt::format("{}: {} device{}, configuration OK\n", a.site, devices.size(),
                                       devices.size() == 1 ? "" : "s");
    if (write(out_fd, ok.data(), ok.size()) < 0) {
    }
  }
  std::fflush(stdout);
  close(out_fd);
  return rc;
}

// What a reload did: in the log, and as a "reload" line (JSON) or its text.
void ReportReload(const Args& a, bool applied, const std::vector<std::string>& problems,
                  const k417t_run::Fleet::Change& change, const std::string& polling,
                  k417t_run::Output& output, const std::function<void(const std::string&)>& log) {
  Json::Value v(Json::objectValue);
  v["kind"] = "reload";
  v["ok"] = problems.empty();
  for (const std::string& p : problems) {
    log("reload: " + p);
    v["problems"].append(p);
  }
  auto list = [](const std::vector<unsigned>& ids) {
    Json::Value out(Json::arrayValue);
    for (unsigned id : ids) out.append(id);
    return out;
  };
  std::string text;
  if (!applied) {
    text = "reload: the site file was not taken; the running configuration stays";
  } else {
    v["added"] = list(change.added);
    v["removed"] = list(change.removed);
    v["changed"] = list(change.changed);
    v["restarted"] = list(change.restarted);
    v["kept"] = list(change.kept);
    text = fmt::format(
        "reload: {} added, {} removed, {} changed, {} restarted with their line, {} kept; {}",
        change.added.size(), change.removed.size(), change.changed.size(),
        change.restarted.size(), change.kept.size(), polling);
  }
  log(text);
  if (a.json) output.Json(v);
  else if (!a.quiet) output.Line(text);
}

int Run(const Args& a) {
  // A reload asked for while starting waits for the main loop (SIGHUP would
  // otherwise end the process).
  signal(SIGHUP, OnHup);
  std::vector<SiteDevice> devices;
  Json::Value site;
  std::string error;
  if (!LoadSite(a.site, site, devices, error)) {
    std::cerr << "k417t-run: " << error << "\n";
    return 2;
  }
  ControlCommand control;
  if (!a.control.empty() &&
      !qmx::view::ParseControlText(a.control, control.code, control.byte, error)) {
    std::cerr << "k417t-run: --control " << a.control << ": " << error << "\n";
    return 2;
  }
  qmx::exporter::MqttConfig mqtt_config;
  bool mqtt_enabled = false;
  k417t_run::HistorySettings history;
  if (!LoadMqtt(a, site, devices, mqtt_enabled, mqtt_config, error) ||
      !LoadHistory(a, site, history, error)) {
    std::cerr << "k417t-run: " << error << "\n";
    return 2;
  }
  qmx::snmp::SnmpConfig snmp_config;
  if (!LoadSnmp(a, site, snmp_config, error)) {
    std::cerr << "k417t-run: " << error << "\n";
    return 2;
  }
  Json::Value scenario;
  std::string http_address, http_token;
  int http_port = 0;
  if (!a.http.empty() && !qmx::web::ParseListen(a.http, http_address, http_port, error)) {
    std::cerr << "k417t-run: " << error << "\n";
    return 2;
  }
  if (a.http_control && (a.http.empty() || a.http_token_file.empty())) {
    std::cerr << "k417t-run: --http-control needs --http and --http-token-file\n";
    return 2;
  }
  if (a.http_control && (http_token = ReadToken(a.http_token_file, error)).empty()) {
    std::cerr << "k417t-run: " << error << "\n";
    return 2;
  }
  if (!a.simulate.empty() && !ReadJson(a.simulate, scenario, error)) {
    std::cerr << "k417t-run: " << error << "\n";
    return 2;
  }
  const std::string db_path = a.db.empty() ? DefaultDb(a.site) : a.db;
  // A missing folder is a setup fault (a service unit without its state
  // directory), not a passing one like a full or read-only database.
  if (!FolderOfExists(db_path)) {
    std::cerr << "k417t-run: the folder of the history database " << db_path
              << " does not exist (a service needs StateDirectory=k417t)\n";
    return 2;
  }
  // Before the history is opened: a second runner must not touch it.
  // One runner per database. A lock file that cannot be made (a read-only
  // folder) means this runner cannot write the history either, so it cannot
  // falsify another's: it polls on, and the history store logs its failures.
  k417t_run::DbLock db_lock;
  pid_t holder = 0;
  if (!db_lock.Take(db_path, error, holder)) {
    std::cerr << "k417t-run: " << error << "\n";
    if (holder != 0) return 2;
  }
  Plugin plugin;
  if (!plugin.Load(a.plugin, error)) {
    std::cerr << "k417t-run: " << error << "\n";
    return 2;
  }

  // Keep the runner's output clean: the plug-in writes traces to standard
  // output, so standard output goes to the log and our output to a copy.
  const int out_fd = dup(STDOUT_FILENO);
  int log_fd = STDERR_FILENO;
  if (!a.log.empty()) {
    log_fd = open(a.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) {
      std::cerr << "k417t-run: cannot open log " << a.log << "\n";
      return 2;
    }
  }
  // A service sends them elsewhere: a few lines per answer would crowd the
  // journal.
  int traces_fd = log_fd;
  if (!a.traces.empty()) {
    traces_fd = open(a.traces.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (traces_fd < 0) {
      std::cerr << "k417t-run: cannot open " << a.traces << " for the plug-in's traces\n";
      return 2;
    }
  }
  std::fflush(stdout);
  dup2(traces_fd, STDOUT_FILENO);
  FILE* out = fdopen(out_fd, "w");
  k417t_run::Output output(out, a.json, isatty(out_fd) != 0 && !a.quiet);
  std::mutex log_mu;
  auto log = [&log_mu, log_fd](const std::string& line) {
    std::lock_guard<std::mutex> lock(log_mu);
    const std::string l = line + "\n";
    if (write(log_fd, l.data(), l.size()) < 0) {
    }
  };

  int rc = 0;
  {
    qmx::SiteHost::Options opts;
    opts.db_path = db_path;
    opts.retention.max_rows = a.retention_rows;
    opts.retention.max_days = a.retention_days;
    opts.retention.max_event_rows = a.retention_rows;
    opts.heartbeat_s = static_cast<uint32_t>(history.heartbeat_s);
    opts.commit_s = static_cast<uint32_t>(history.commit_s);
    opts.history_max_bytes = static_cast<uint64_t>(history.max_mb) << 20;
    opts.changed_past_dead_band = [band = history.rectifier](
                                      int type, const std::vector<unsigned char>& stored,
                                      const std::vector<unsigned char>& now) {
      return type == qmx::view::kRectifierType ? qmx::view::MovedPast(type, stored, now, band)
                                               : std::nullopt;
    };
    auto host = std::make_shared<qmx::SiteHost>(opts, log);
    host->OpenHistory();
    // The site as the front ends see it, and the front ends, started in
    // this order (once the devices are set up) and stopped in the reverse one.
    qmx::view::SiteView view(*host);
    qmx::view::FrontEnds fronts(view);
    fronts.Add(std::make_shared<k417t_run::ConsoleFrontEnd>(output, a.quiet));
    if (!a.http.empty()) {
      qmx::web::ApiOptions wo;
      wo.control = a.http_control;
      wo.token = http_token;
      qmx::web::ServerOptions so;
      so.address = http_address;
      so.port = http_port;
      fronts.Add(std::make_shared<qmx::web::HttpFrontEnd>(view, wo, so, log));
    }
    const std::string page_url = a.http.empty() ? "" : PageUrl(http_address, http_port);
    fronts.Add(std::make_shared<qmx::exporter::MqttFrontEnd>(
        view, site,
        [&a, page_url](const Json::Value& s, bool& enabled, qmx::exporter::MqttConfig& cfg,
                       std::string& err) {
          if (!LoadMqtt(a, s, k417t_run::NamedDevices(s), enabled, cfg, err)) return false;
          cfg.configuration_url = page_url;
          return true;
        },
        log));
#ifdef K417T_HAVE_SNMP
    if (snmp_config.enabled)
      fronts.Add(std::make_shared<qmx::snmp::SnmpFrontEnd>(view, snmp_config, log));
#endif
    host->SetReportSink([&fronts](const qmx::RoundReport& r) {
      fronts.Round(r);
    });
    host->SetLinkSink([&fronts](const qmx::LinkReport& r) {
      fronts.Link(r);
    });

    // Stops the lines before anything the plug-in made goes, and that before
    // the host and the log it may still use, and before the library.
    k417t_run::Fleet::Options fo;
    fo.site = a.site;
    fo.scenario = scenario;
    fo.pace = a.pace;
    fo.restore = !a.no_restore;
    fo.json = a.json;
    k417t_run::Fleet fleet(fo, plugin.factory(), host, output, log);
    std::vector<std::string> problems;
    if (!fleet.Start(std::move(devices), problems)) {
      for (const std::string& p : problems) std::cerr << "k417t-run: " << p << "\n";
      return 2;
    }
    auto site_info = [&fleet] {
      qmx::view::SiteInfo info;
      for (const SiteDevice* d : fleet.devices())
        info[d->data_id] = {d->name, d->ctrl->baud_rate, d->labels};
      return info;
    };
    view.SetSite(site_info());
    signal(SIGINT, OnStop);
    signal(SIGTERM, OnStop);
    signal(SIGUSR1, OnUsr1);
    signal(SIGPIPE, SIG_IGN);
    {
      std::string err;
      if (!fronts.StartAll(err)) {
        std::cerr << "k417t-run: " << err << "\n";
        return 2;
      }
    }
    host->Start();
    // Ready once the site is loaded and every line has tried its port (opened
    // it, or found it missing and retries in the background); a line that
    // hangs in its first open holds this back for 10 s at most.
    for (int i = 0; i < 200 && !g_stop && !host->LinesTried(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    k417t_run::ServiceNotify service;
    auto polling = [&fleet] {
      const size_t n = fleet.ids().size();
      return fmt::format("polling {} device{}", n, n == 1 ? "" : "s");
    };
    service.Ready(polling());

    // SIGHUP: the site file again. Nothing changes unless all of it loads and
    // every new setting is accepted.
    auto reload = [&] {
      service.Reloading();
      log("reload: reading " + a.site);
      Json::Value next_site;
      std::vector<SiteDevice> next;
      std::string err;
      std::vector<std::string> why;
      k417t_run::Fleet::Change change;
      bool applied = false;  // a line that did not start leaves the rest applied
      if (!LoadSite(a.site, next_site, next, err)) {
        why.push_back(err);
      } else if (fronts.CheckReload(next_site, why)) {
        applied = fleet.Reload(std::move(next), change, why);
      }
      if (applied) {
        view.SetSite(site_info());
        fronts.Reload(next_site);
      }
      ReportReload(a, applied, why, change, polling(), output, log);
      service.Ready(polling());
    };

    std::atomic<bool> control_done{a.control.empty()};
    std::thread control_driver;
    if (!a.control.empty()) {
      control_driver = std::thread([&, ids = fleet.ids()] {
        if (!DriveControl(*host, ids, a, control, output)) rc = 1;  // a controller never answered
        control_done = true;
      });
    }
    Loop(*host, fleet, a, control_done, output, service, reload, log);
    service.Stopping();
    g_stop = true;  // ends the control driver's wait for a first round
    if (control_driver.joinable()) control_driver.join();
    host->Shutdown();
    fronts.StopAll();
    if (a.alarms) output.Alarms(host->ActiveAlarms());
  }
  std::fflush(out);
  std::fflush(stdout);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  a.plugin = DefaultPlugin();
  CLI::App app{"k417t-run: host runner for the K417T power-system driver"};
  app.add_option("--site", a.site, "site file (devices and their settings)")->check(CLI::ExistingFile);
  app.add_option("--plugin", a.plugin, "path of k417t.so")->capture_default_str();
  app.add_option("--simulate", a.simulate, "poll the built-in simulator with this scenario")
      ->check(CLI::ExistingFile);
  app.add_option("--rounds", a.rounds, "stop after N rounds of every device")->check(CLI::NonNegativeNumber);
  app.add_flag("--json", a.json, "one JSON object per line instead of the table");
  app.add_option("--control", a.control,
                 "send a control command CODE[:BYTE] after the first round (exit 1 if unanswered)");
  app.add_flag("--alarms", a.alarms, "print the active alarms at exit (also on SIGUSR1)");
  app.add_option("--db", a.db, "history database (default: k417t-history.db beside the site file)");
  app.add_flag("--no-restore", a.no_restore, "do not restore units from their last stored images");
  app.add_option("--retention-rows", a.retention_rows, "records kept per unit (0: no limit)");
  app.add_option("--retention-days", a.retention_days, "days of history kept (0: no limit)");
  app.add_option(
      "--history-heartbeat", a.history_heartbeat,
      "seconds: a unit's record at least this often (default 300; site file history.heartbeat_s)");
  app.add_option(
      "--history-commit", a.history_commit,
      "seconds: records committed together at most this often, alarm events at once (default 30)");
  app.add_option("--history-max-mb", a.history_max_mb,
                 "size bound of the history database in MiB, oldest records go first (default 64)");
  app.add_option("--log", a.log, "log file (default: standard error)");
  app.add_option("--traces", a.traces, "where the plug-in's console traces go (default: the log)");
  app.add_flag("--pace", a.pace, "simulator paces its answers at the scenario's baud rate");
  app.add_flag("--quiet", a.quiet, "print alarm changes only, not every round (as a service)");
  app.add_flag("--check-config", a.check_config,
               "check the site file and each device's setting, then exit (0 good, 2 not)");
  app.set_version_flag("--version", "k417t-run " K417T_VERSION);
  app.add_option("--mqtt", a.mqtt_url, "export to an MQTT broker: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
  app.add_option("--mqtt-ca", a.mqtt_ca, "mqtts: certificate authority file to trust");
  app.add_option("--mqtt-auth-file", a.mqtt_auth_file, "MQTT user name (first line) and password (second)");
  app.add_option("--mqtt-client-id", a.mqtt_client_id, "MQTT client id (default: k417t-HOSTNAME)");
  app.add_option("--mqtt-prefix", a.mqtt_prefix, "base topic (default: k417t)");
  app.add_option("--mqtt-discovery-prefix", a.mqtt_discovery_prefix,
                 "Home Assistant discovery prefix (default: homeassistant)");

  CLI::App* hist = app.add_subcommand("history", "list or export stored records and alarm events");
  hist->add_option("--db", a.db, "history database");
  hist->add_option("--site", a.site, "site file (locates the default database)");
  hist->add_option("--device", a.device, "data identifier of the unit")->required();
  hist->add_option("--from", a.from, "start, YYYY-MM-DD[ HH:MM:SS] or epoch seconds");
  hist->add_option("--to", a.to, "end, YYYY-MM-DD[ HH:MM:SS] or epoch seconds");
  hist->add_option("--format", a.format, "table, csv or json")->check(CLI::IsMember({"table", "csv", "json"}));
  hist->add_flag("--events", a.events, "alarm events instead of records");
  app.add_option("--http", a.http, "serve the status page, JSON API and /metrics on [ADDR:]PORT (ADDR default 127.0.0.1)");
  app.add_option("--snmp", a.snmp,
                 "SNMP sub-agent of the master snmpd at agentx:SOCKET-PATH or tcp:127.0.0.1:705");
  app.add_flag("--http-control", a.http_control, "allow rectifier control commands over HTTP (needs --http-token-file)");
  app.add_option("--http-token-file", a.http_token_file, "file whose first line is the control token (16+ characters)");

  // A later option overrides an earlier one (scripts/run.sh passes defaults).
  for (CLI::Option* opt : app.get_options())
    if (opt->get_expected_max() == 1) opt->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  if (hist->parsed()) return History(a);
  if (a.site.empty()) {
    std::cerr << "k417t-run: --site is required\n";
    return 2;
  }
  return a.check_config ? CheckConfig(a) : Run(a);
}
