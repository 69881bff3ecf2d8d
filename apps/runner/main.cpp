// k417t-run: the host runner. Loads k417t.so, creates a controller per device
// of the site file, polls each over its serial line (or the built-in
// simulator), prints values and alarm changes after every round, keeps history
// and sends control commands.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <thread>

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <json/json.h>

#include "export/mqtt_export.h"
#include "input/checked_json.h"
#include "plugin/get_providers.h"
#include "qmx/pmbus_protocol.h"
#include "report.h"
#include "service_notify.h"
#include "sim/pty_server.h"
#include "image_view.h"
#include "site/site_host.h"
#include "web/http_server.h"
#include "wire/serial_transport.h"

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_show_alarms{false};

extern "C" void OnStop(int) { g_stop = true; }
extern "C" void OnUsr1(int) { g_show_alarms = true; }

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

struct Device {
  std::string name;
  unsigned data_id = 0;
  Json::Value setting;
  std::shared_ptr<QMXController> host_ctrl;
  std::shared_ptr<PMBusProtocol> ctrl;
};

// A control command from --control: DeviceIoControl code and its input byte.
struct ControlCommand {
  int code = 0;
  int byte = -1;  // none
};

// The site file's devices, before anything is created. 2 and a message on a
// file that cannot be used.
bool CheckUnits(const std::string& site, const Json::Value& setting, const std::string& device,
                std::map<uint32_t, std::string>& used);

int LoadSite(const Args& a, std::vector<Device>& devices) {
  Json::Value site;
  std::string error;
  if (!ReadJson(a.site, site, error)) {
    std::cerr << "k417t-run: " << error << "\n";
    return 2;
  }
  if (!site.isObject() || !site["devices"].isArray() || site["devices"].empty()) {
    std::cerr << "k417t-run: " << a.site << ": needs a non-empty \"devices\" array\n";
    return 2;
  }
  for (Json::ArrayIndex i = 0; i < site["devices"].size(); ++i) {
    const Json::Value& d = site["devices"][i];
    Device dev;
    if (!d.isObject() || !d["setting"].isObject()) {
      std::cerr << "k417t-run: " << a.site << ": devices[" << i << "] has no \"setting\" object\n";
      return 2;
    }
    if (!d["data_id"].isNull() && !d["data_id"].isUInt()) {
      std::cerr << "k417t-run: " << a.site << ": devices[" << i << "].data_id must be an unsigned integer\n";
      return 2;
    }
    dev.data_id = d["data_id"].isNull() ? 0 : d["data_id"].asUInt();
    dev.name = d["name"].isString() ? d["name"].asString() : fmt::format("device-{}", dev.data_id);
    dev.setting = d["setting"];
    for (const Device& other : devices) {
      if (other.data_id == dev.data_id) {
        std::cerr << "k417t-run: " << a.site << ": devices " << other.name << " and " << dev.name
                  << " have the same data_id " << dev.data_id << "\n";
        return 2;
      }
    }
    devices.push_back(std::move(dev));
  }
  // Unit identifiers against each other and against the devices' own.
  std::map<uint32_t, std::string> used;
  for (const Device& d : devices) used.emplace(d.data_id, "the data_id of device " + d.name);
  for (const Device& d : devices) {
    if (!CheckUnits(a.site, d.setting, d.name, used)) return 2;
  }
  return 0;
}

// The MQTT export's settings: the site file's "mqtt" object, overridden by
// the command line. False: no export. 2 and a message on a bad setting.
int LoadMqtt(const Args& a, const std::vector<Device>& devices, bool& enabled,
             qmx::exporter::MqttConfig& cfg) {
  namespace ex = qmx::exporter;
  Json::Value site;
  std::string error;
  if (!ReadJson(a.site, site, error)) {
    std::cerr << "k417t-run: " << error << "\n";
    return 2;
  }
  const Json::Value& mqtt = qmx::json::Member(site, "mqtt");
  enabled = !a.mqtt_url.empty() || qmx::json::Has(mqtt, "url");
  if (!enabled && mqtt.isNull()) return 0;
  for (const Device& d : devices) {
    ex::MqttDevice m;
    m.id = d.data_id;
    m.name = d.name;
    cfg.devices.push_back(m);
  }
  std::set<std::string> given;
  if (!a.mqtt_url.empty()) {
    given.insert("url");
    if (!ex::ParseMqttUrl(a.mqtt_url, cfg, error)) {
      std::cerr << "k417t-run: --mqtt: " << error << "\n";
      return 2;
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
    std::cerr << "k417t-run: " << error << "\n";
    return 2;
  }
  if (!enabled) return 0;
  if (!auth_file.empty() && !ex::ReadAuthFile(auth_file, cfg, error)) {
    std::cerr << "k417t-run: " << error << "\n";
    return 2;
  }
  if (!cfg.ca_file.empty() && access(cfg.ca_file.c_str(), R_OK) != 0) {
    std::cerr << "k417t-run: cannot read the MQTT CA file " << cfg.ca_file << "\n";
    return 2;
  }
  for (std::string* level : {&cfg.prefix, &cfg.discovery_prefix}) {
    if (level->empty() || level->find_first_of(std::string("+#\0", 3)) != std::string::npos ||
        level->front() == '/' || level->back() == '/') {
      std::cerr << "k417t-run: MQTT prefix \"" << *level << "\" must be a topic without '+', '#' or "
                   "a leading or trailing '/'\n";
      return 2;
    }
  }
  if (cfg.client_id.empty()) cfg.client_id = ex::DefaultClientId();
  if (!ex::AssignTopics(cfg.devices, error)) {
    std::cerr << "k417t-run: " << a.site << ": " << error << "\n";
    return 2;
  }
  return 0;
}

// CODE or CODE:BYTE. Only the nine rectifier commands exist: 100, 102 and
// 104 take no byte, 106 to 116 need one (0-255, decimal or 0x hex). Numbers
// are read whole: 4294967396 is not 100.
bool ParseControl(const std::string& text, ControlCommand& c) {
  auto number = [](const std::string& s, int base, long max, long& out) {
    if (s.empty() || s.size() > 12 || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, base);
    if (errno != 0 || end == nullptr || *end != '\0' || v < 0 || v > max) return false;
    out = v;
    return true;
  };
  const size_t colon = text.find(':');
  long code = 0, byte = -1;
  if (!number(text.substr(0, colon), 10, 1000, code)) return false;
  if (code < 100 || code > 116 || code % 2 != 0) return false;
  const bool needs_byte = code >= 106;
  if (colon != std::string::npos) {
    if (!needs_byte || !number(text.substr(colon + 1), 0, 255, byte)) return false;
  } else if (needs_byte) {
    return false;
  }
  c.code = static_cast<int>(code);
  c.byte = static_cast<int>(byte);
  return true;
}

// The unit elements of a device's setting: every data_id an exact unsigned
// 32-bit integer, none used twice in the site (the rectifier unit shares its
// controller's), and a baud_rate the serial driver can set. Prints the problem
// and returns false.
bool CheckUnits(const std::string& site, const Json::Value& setting, const std::string& device,
                std::map<uint32_t, std::string>& used) {
  for (const char* list : {"acSetting", "dcSetting"}) {
    const Json::Value& units = qmx::json::Member(setting, list);
    if (!units.isArray()) continue;
    for (Json::ArrayIndex k = 0; k < units.size(); ++k) {
      const std::string where = fmt::format("device {}: {}[{}].data_id", device, list, k);
      uint32_t id = 0;
      if (!qmx::json::ToUInt32(qmx::json::Member(units[k], "data_id"), id)) {
        std::cerr << "k417t-run: " << site << ": " << where
                  << " must be an unsigned integer (0-4294967295)\n";
        return false;
      }
      const auto [it, fresh] = used.emplace(id, where);
      if (!fresh) {
        std::cerr << "k417t-run: " << site << ": " << where << " is " << id << ", as is "
                  << it->second << "; their history and restored images would mix\n";
        return false;
      }
    }
  }
  const Json::Value& baud = qmx::json::Member(setting, "baud_rate");
  if (!baud.isNull()) {
    int64_t b = 0;
    if (!qmx::json::ToIntIn(baud, 1, 4000000, b) ||
        !qmx::wire::SerialTransport::baud_supported(static_cast<int>(b))) {
      std::cerr << "k417t-run: " << site << ": device " << device << ": baud_rate "
                << qmx::json::Compact(baud) << " is not a speed the serial driver can set\n";
      return false;
    }
  }
  return true;
}

// Creates every controller, configures it and puts it on its line: devices
// whose site entries name the same port share one line (a multi-drop bus) and
// take turns on it. With a scenario, each port is served by the simulator, one
// simulated controller per address. 2 and a message on a setting that cannot
// work.
int SetUp(const Args& a, const Json::Value& scenario, QMXSPDeviceProvider& factory,
          const std::shared_ptr<qmx::SiteHost>& host, std::vector<Device>& devices,
          std::vector<std::unique_ptr<k417t::sim::PtyServer>>& sims,
          const std::function<void(const std::string&)>& log) {
  for (Device& d : devices) {
    d.host_ctrl = std::make_shared<QMXController>(std::shared_ptr<qmx::HostServices>(host, host.get()));
    std::unique_ptr<QMXSPDevice> made(factory.create());
    if (dynamic_cast<PMBusProtocol*>(made.get()) == nullptr) {
      std::cerr << "k417t-run: the controller is not a protocol device\n";
      return 2;
    }
    d.ctrl.reset(static_cast<PMBusProtocol*>(made.release()));
    d.ctrl->Init(d.host_ctrl, d.data_id);
    if (!d.ctrl->InitSetting(d.setting)) {
      std::cerr << "k417t-run: " << a.site << ": device " << d.name
                << ": setting refused (see the log: needs \"rcSetting\", valid data_id values, "
                   "an integer \"address\")\n";
      return 2;
    }
    if (d.ctrl->port.empty() && a.simulate.empty()) {
      std::cerr << "k417t-run: " << a.site << ": device " << d.name << " has no \"port\"\n";
      return 2;
    }
  }
  // One line per port; a bus has one speed and one controller per address.
  std::vector<std::vector<Device*>> ports;
  for (Device& d : devices) {
    auto same = std::find_if(ports.begin(), ports.end(), [&d](const std::vector<Device*>& p) {
      return p.front()->ctrl->port == d.ctrl->port;
    });
    if (same == ports.end() || d.ctrl->port.empty()) {
      ports.push_back({&d});
      continue;
    }
    for (const Device* other : *same) {
      if (other->ctrl->baud_rate != d.ctrl->baud_rate) {
        std::cerr << "k417t-run: " << a.site << ": devices " << other->name << " ("
                  << other->ctrl->baud_rate << " baud) and " << d.name << " ("
                  << d.ctrl->baud_rate << " baud) share port " << d.ctrl->port
                  << " but not its speed\n";
        return 2;
      }
      if (other->ctrl->address == d.ctrl->address) {
        std::cerr << "k417t-run: " << a.site << ": devices " << other->name << " and " << d.name
                  << " share port " << d.ctrl->port << " and address "
                  << static_cast<int>(d.ctrl->address) << "\n";
        return 2;
      }
    }
    same->push_back(&d);
  }
  for (const std::vector<Device*>& bus : ports) {
    std::string port = bus.front()->ctrl->port;
    if (!a.simulate.empty()) {
      std::vector<std::unique_ptr<k417t::sim::Simulator>> controllers;
      for (const Device* d : bus) {
        Json::Value sc = scenario;
        sc["address"] = d->ctrl->address;
        if (!a.pace) sc["baud"] = 0;
        std::string err;
        auto sim = k417t::sim::Simulator::Create(sc, &err, log);
        if (!sim) {
          std::cerr << "k417t-run: " << a.simulate << ": " << err << "\n";
          return 2;
        }
        controllers.push_back(std::move(sim));
      }
      k417t::sim::ServerOptions so;
      so.log = log;
      sims.push_back(std::make_unique<k417t::sim::PtyServer>(std::move(controllers), so));
      port = sims.back()->Start();
      if (port.empty()) {
        std::cerr << "k417t-run: simulator: " << sims.back()->error() << "\n";
        return 2;
      }
      log(fmt::format("device {}: simulator on {}", bus.front()->name, port));
    }
    const size_t line = host->AddLine(
        std::make_unique<qmx::wire::SerialTransport>(port, bus.front()->ctrl->baud_rate));
    for (Device* d : bus) {
      if (!host->AddDevice(d->ctrl, line)) {
        std::cerr << "k417t-run: device " << d->name << " could not be added (see the log)\n";
        return 2;
      }
    }
  }
  return 0;
}

// Sends the --control command to every device after its first round, from a
// thread of its own (as a front end would), and prints each result. False
// when a controller never answered.
bool DriveControl(qmx::SiteHost& host, const std::vector<Device>& devices, const Args& a,
                  const ControlCommand& c, k417t_run::Output& output) {
  bool answered = true;
  for (const Device& d : devices) {
    while (!g_stop && host.rounds(d.data_id) < 1)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (g_stop) return answered;
    std::vector<unsigned char> in;
    if (c.byte >= 0) in.push_back(static_cast<unsigned char>(c.byte));
    const qmx::ControlResult r = host.Control(d.data_id, c.code, in);
    if (r.result == -1) answered = false;
    if (a.json) {
      Json::Value v(Json::objectValue);
      v["kind"] = "control";
      v["device"] = d.data_id;
      v["code"] = c.code;
      v["result"] = r.result;
      if (!r.reason.empty()) v["reason"] = r.reason;
      output.Json(v);
    } else {
      output.Line(fmt::format("control {} on device {}: result {}{}", a.control, d.data_id,
                              r.result, r.reason.empty() ? "" : " (" + r.reason + ")"));
    }
  }
  return answered;
}

// Waits until every device has done its rounds (and the control driver is
// through), or until a signal; shows progress and, on SIGUSR1, the alarms.
void Loop(qmx::SiteHost& host, const std::vector<Device>& devices, const Args& a,
          const std::atomic<bool>& control_done, k417t_run::Output& output,
          k417t_run::ServiceNotify& service) {
  while (!g_stop) {
    service.Tick();
    bool all_done = a.rounds > 0 && control_done;
    uint64_t least = UINT64_MAX;
    unsigned slowest = 0;
    for (const Device& d : devices) {
      const uint64_t done = host.rounds(d.data_id);
      if (a.rounds > 0 && done < static_cast<uint64_t>(a.rounds)) all_done = false;
      if (done < least) {
        least = done;
        slowest = d.data_id;
      }
    }
    if (a.quiet) {
    } else if (devices.size() == 1) {
      output.Progress(fmt::format("device {}: round {} in flight", slowest, least + 1));
    } else {
      output.Progress(fmt::format("{} devices: slowest {} at round {}", devices.size(), slowest,
                                  least + 1));
    }
    if (g_show_alarms.exchange(false)) output.Alarms(host.ActiveAlarms());
    if (all_done) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
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
  std::vector<Device> devices;
  qmx::exporter::MqttConfig mqtt_config;
  bool mqtt_enabled = false;
  std::string error;
  Plugin plugin;
  if (LoadSite(a, devices) != 0 || LoadMqtt(a, devices, mqtt_enabled, mqtt_config) != 0) {
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
    for (Device& d : devices) {
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
        rc = 2;
      } else if (d.ctrl->port.empty() && a.simulate.empty()) {
        std::cerr << "k417t-run: " << who << " has no \"port\"\n";
        rc = 2;
      } else if (a.simulate.empty() && access(d.ctrl->port.c_str(), F_OK) != 0) {
        std::cerr << "k417t-run: note: " << who << ": port " << d.ctrl->port
                  << " is not there now (it is retried while running)\n";
      }
    }
    for (Device& d : devices) {
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

int Run(const Args& a) {
  std::vector<Device> devices;
  if (const int bad = LoadSite(a, devices)) return bad;
  ControlCommand control;
  if (!a.control.empty() && !ParseControl(a.control, control)) {
    std::cerr << "k417t-run: --control takes CODE or CODE:BYTE (BYTE 0-255; codes 106-116 "
                 "need one)\n";
    return 2;
  }
  qmx::exporter::MqttConfig mqtt_config;
  bool mqtt_enabled = false;
  if (const int bad = LoadMqtt(a, devices, mqtt_enabled, mqtt_config)) return bad;
  Json::Value scenario;
  std::string error;
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
    // Outlives the host (declared first); stopped before the host goes.
    std::unique_ptr<qmx::exporter::MqttExport> mqtt;
    qmx::SiteHost::Options opts;
    opts.db_path = db_path;
    opts.retention.max_rows = a.retention_rows;
    opts.retention.max_days = a.retention_days;
    opts.retention.max_event_rows = a.retention_rows;
    auto host = std::make_shared<qmx::SiteHost>(opts, log);
    host->OpenHistory();
    host->SetSnapshot([&host_ref = *host](PMBusProtocol& ctrl) {
      Json::StreamWriterBuilder w;
      w["indentation"] = "";
      w["precision"] = 7;
      return Json::writeString(w, k417t_run::SnapshotValues(ctrl, host_ref));
    });
    // The web API learns round timing from the report sink; it is made here so
    // the sink can hold it, and serves once the devices are set up.
    std::shared_ptr<qmx::web::WebApi> web_api;
    std::unique_ptr<qmx::web::HttpServer> web;
    if (!a.http.empty()) {
      qmx::web::ApiOptions wo;
      wo.decode = k417t_run::DecodeImage;
      wo.control = a.http_control;
      wo.token = http_token;
      web_api = std::make_shared<qmx::web::WebApi>(*host, wo);
    }
    host->SetReportSink([&output, &mqtt, web_api, quiet = a.quiet](const qmx::RoundReport& r) {
      if (web_api) web_api->OnRound(r);
      if (quiet) output.Events(r);
      else output.Round(r);
      if (mqtt) mqtt->OnRound(r);
    });
    host->SetLinkSink([&output, &mqtt](const qmx::LinkReport& r) {
      output.Link(r);
      if (mqtt) mqtt->OnLink(r);
    });

    std::vector<std::unique_ptr<k417t::sim::PtyServer>> sims;
    // On every way out of this block, the lines stop before anything the
    // plug-in made goes, and that goes before the host and the log it may
    // still use, and before the library.
    struct Cleanup {
      qmx::SiteHost& host;
      std::vector<Device>& devices;
      std::vector<std::unique_ptr<k417t::sim::PtyServer>>& sims;
      ~Cleanup() {
        host.Stop();
        for (auto& s : sims) s->Stop();
        for (Device& d : devices) {
          d.ctrl.reset();
          d.host_ctrl.reset();
        }
        devices.clear();
      }
    } cleanup{*host, devices, sims};

    if (const int bad = SetUp(a, scenario, plugin.factory(), host, devices, sims, log)) return bad;
    if (!a.no_restore) {
      for (Device& d : devices) {
        host->RestoreUnits(*d.ctrl);
        // What the units answer right after start-up, before any round.
        Json::Value v(Json::objectValue);
        v["kind"] = "restored";
        v["device"] = d.data_id;
        v["units"] = k417t_run::SnapshotValues(*d.ctrl, *host);
        if (a.json) output.Json(v);
      }
    }

    if (web_api) {
      std::map<unsigned int, qmx::web::DeviceInfo> info;
      for (const Device& d : devices) info[d.data_id] = {d.name, d.ctrl->baud_rate};
      web_api->SetDevices(info);
      qmx::web::ServerOptions so;
      so.address = http_address;
      so.port = http_port;
      web = std::make_unique<qmx::web::HttpServer>(*web_api, so, log);
      std::string err;
      if (!web->Start(err)) {
        std::cerr << "k417t-run: " << err << "\n";
        return 2;
      }
    }

    signal(SIGINT, OnStop);
    signal(SIGTERM, OnStop);
    signal(SIGUSR1, OnUsr1);
    signal(SIGPIPE, SIG_IGN);
    if (mqtt_enabled) {
      mqtt = std::make_unique<qmx::exporter::MqttExport>(
          mqtt_config, qmx::exporter::MqttSource::Of(*host), log);
      mqtt->Start();
    }
    host->Start();
    // The site is loaded and every line has started on its thread.
    k417t_run::ServiceNotify service;
    service.Ready(fmt::format("polling {} device{}", devices.size(), devices.size() == 1 ? "" : "s"));
    std::atomic<bool> control_done{a.control.empty()};
    std::thread control_driver;
    if (!a.control.empty()) {
      control_driver = std::thread([&] {
        if (!DriveControl(*host, devices, a, control, output)) rc = 1;  // a controller never answered
        control_done = true;
      });
    }
    Loop(*host, devices, a, control_done, output, service);
    service.Stopping();
    g_stop = true;  // ends the control driver's wait for a first round
    if (control_driver.joinable()) control_driver.join();
    if (web) web->Stop();  // its workers call into the host
    host->Shutdown();
    if (mqtt) mqtt->Stop();
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
