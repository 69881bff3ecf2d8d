#include "snmp/snmp_front_end.h"

#include <sys/eventfd.h>
#include <sys/select.h>
#include <unistd.h>

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>
// clang-format on

#include <algorithm>

#include "snmp/entity_mib.h"

namespace qmx::snmp {
namespace {

// The one front end whose agent runs (net-snmp's state is global).
std::mutex g_running_mu;
bool g_running = false;

int OnUp(int, int, void*, void* arg) {
  static_cast<SnmpFrontEnd*>(arg)->AgentUp(true);
  return 0;
}
int OnDown(int, int, void*, void* arg) {
  static_cast<SnmpFrontEnd*>(arg)->AgentUp(false);
  return 0;
}
int OnLog(int, int, void* server_arg, void* client_arg) {
  auto* m = static_cast<snmp_log_message*>(server_arg);
  if (m != nullptr && m->msg != nullptr)
    static_cast<SnmpFrontEnd*>(client_arg)->AgentLog(m->priority, m->msg);
  return 0;
}

int Handler(netsnmp_mib_handler* handler, netsnmp_handler_registration* reg,
            netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
  const Oid root(reg->rootoid, reg->rootoid + reg->rootoid_len);
  return static_cast<SnmpFrontEnd*>(handler->myvoid)->Answer(root, reqinfo, requests);
}

bool Under(const Oid& root, const Oid& o) {
  return o.size() > root.size() && std::equal(root.begin(), root.end(), o.begin());
}

std::vector<oid> ToNet(const Oid& o) { return std::vector<oid>(o.begin(), o.end()); }

void SetValue(netsnmp_variable_list* vb, const Var& v) {
  switch (v.type) {
    case Var::Type::kInteger: {
      const long n = static_cast<long>(v.number);
      snmp_set_var_typed_value(vb, ASN_INTEGER, &n, sizeof n);
      break;
    }
    case Var::Type::kUnsigned:
    case Var::Type::kGauge:
    case Var::Type::kCounter32:
    case Var::Type::kTimeTicks: {
      const u_long n = static_cast<u_long>(v.number);
      const u_char type = v.type == Var::Type::kCounter32   ? ASN_COUNTER
                          : v.type == Var::Type::kGauge     ? ASN_GAUGE
                          : v.type == Var::Type::kTimeTicks ? ASN_TIMETICKS
                                                            : ASN_UNSIGNED;
      snmp_set_var_typed_value(vb, type, &n, sizeof n);
      break;
    }
    case Var::Type::kCounter64: {
      const uint64_t n = static_cast<uint64_t>(v.number);
      counter64 c{};
      c.high = static_cast<u_long>(n >> 32);
      c.low = static_cast<u_long>(n & 0xFFFFFFFFu);
      snmp_set_var_typed_value(vb, ASN_COUNTER64, &c, sizeof c);
      break;
    }
    case Var::Type::kOctets:
      snmp_set_var_typed_value(vb, ASN_OCTET_STR, v.text.data(), v.text.size());
      break;
    case Var::Type::kOid: {
      const std::vector<oid> o = ToNet(v.oid);
      snmp_set_var_typed_value(vb, ASN_OBJECT_ID, o.data(), o.size() * sizeof(oid));
      break;
    }
  }
}

}  // namespace

SnmpFrontEnd::SnmpFrontEnd(view::SiteView& view, SnmpConfig cfg,
                           std::function<void(const std::string&)> log)
    : view_(view), cfg_(std::move(cfg)), log_(std::move(log)) {}

SnmpFrontEnd::~SnmpFrontEnd() { Stop(); }

bool SnmpFrontEnd::Start(std::string& error) {
  if (thread_.joinable()) return true;
  {
    std::lock_guard<std::mutex> lock(g_running_mu);
    if (g_running) {
      error = "snmp: another SNMP agent runs in this process";
      return false;
    }
    g_running = true;
  }
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) {
    std::lock_guard<std::mutex> lock(g_running_mu);
    g_running = false;
    error = "snmp: cannot make an eventfd";
    return false;
  }
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void SnmpFrontEnd::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  Wake();
  thread_.join();
  close(wake_fd_);
  wake_fd_ = -1;
  std::lock_guard<std::mutex> lock(g_running_mu);
  g_running = false;
}

void SnmpFrontEnd::Wake() {
  if (wake_fd_ < 0) return;
  const uint64_t one = 1;
  if (write(wake_fd_, &one, sizeof one) < 0) {
  }
}

void SnmpFrontEnd::Queue(Notification n) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (queue_.size() >= cfg_.queue) {
      queue_.pop_front();
      ++dropped_;
    }
    queue_.push_back(std::move(n));
  }
  Wake();
}

// Rounds and links change the tables; their alarm transitions reach the
// NMS through the board's notices (OnAlarm), so a point that flaps is not
// trapped on every transition.
void SnmpFrontEnd::OnRound(const view::RoundView&) { dirty_ = true; }

void SnmpFrontEnd::OnLink(const LinkReport&) { dirty_ = true; }

void SnmpFrontEnd::OnAlarm(const view::AlarmNotice& notice) {
  dirty_ = true;
  if (std::optional<Notification> n = NotificationOf(cfg_.enterprise, notice)) Queue(std::move(*n));
}

bool SnmpFrontEnd::CheckReload(const Json::Value& site, std::string& error) {
  // The command line's --snmp stays; only the site file's part is checked.
  SnmpConfig next;
  return LoadSnmp(site, "", next, error);
}

void SnmpFrontEnd::OnReload(const Json::Value& site) {
  SnmpConfig next;
  std::string error;
  dirty_ = true;
  if (LoadSnmp(site, "", next, error) && next.enabled &&
      (next.master != cfg_.master || next.enterprise != cfg_.enterprise) && log_)
    log_("reload: the SNMP agent keeps its master and arc until the service restarts");
}

void SnmpFrontEnd::AgentUp(bool up) {
  if (up == connected_) return;
  connected_ = up;
  if (up) {
    said_unreachable_ = false;
    if (log_) log_("snmp: registered with the master agent at " + cfg_.master);
    Wake();
  } else if (log_) {
    log_("snmp: the master agent at " + cfg_.master + " went away; retrying every " +
         std::to_string(cfg_.ping_s) + " s");
  }
}

void SnmpFrontEnd::AgentLog(int priority, const char* text) {
  std::string line(text);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  // net-snmp says so on every retry: once is enough.
  if (line.find("Failed to connect to the agentx master") != std::string::npos) {
    if (!said_unreachable_ && log_)
      log_("snmp: the master agent at " + cfg_.master + " is not reachable; retrying every " +
           std::to_string(cfg_.ping_s) + " s");
    said_unreachable_ = true;
    return;
  }
  // Its MIB files are not read (answers are by number): no word of them.
  if (line.rfind("Cannot find module", 0) == 0 || line.rfind("MIB search path", 0) == 0) return;
  if (priority > LOG_WARNING || line.empty() || line == last_log_) return;
  last_log_ = line;
  if (log_) log_("snmp: " + line);
}

void SnmpFrontEnd::Rebuild() {
  const std::vector<view::DeviceView> devices = view_.Devices();
  const view::AlarmKpis kpis = view_.AlarmFigures();
  snapshot_ = MibSnapshot(cfg_.enterprise, devices, dropped_, &kpis);
  const view::SiteInfo site = view_.site();
  EntityContext c;
  c.site = &site;
  c.software = K417T_VERSION;
  c.uptime_ticks = static_cast<uint32_t>(netsnmp_get_agent_uptime());
  c.now = view_.Now();
  const EntityTables tables = EntityTablesOf(devices, c);
  std::string shape = tables.Shape();
  if (shape != entity_shape_) {
    entity_shape_ = std::move(shape);
    entity_changed_at_ = c.uptime_ticks;
  }
  std::map<Oid, Var> entity;
  PutEntityTables(tables, entity_changed_at_, entity);
  snapshot_.Merge(std::move(entity));
}

int SnmpFrontEnd::Answer(const Oid& root, void* reqinfo_p, void* requests_p) {
  auto* reqinfo = static_cast<netsnmp_agent_request_info*>(reqinfo_p);
  auto* requests = static_cast<netsnmp_request_info*>(requests_p);
  // The figures of the last 10 minutes move with the clock alone: a
  // snapshot serves at most a few seconds even when nothing was reported.
  const auto now = std::chrono::steady_clock::now();
  if (dirty_.exchange(false) || now - snapshot_at_ > std::chrono::seconds(5)) {
    Rebuild();
    snapshot_at_ = now;
  }
  for (netsnmp_request_info* r = requests; r != nullptr; r = r->next) {
    if (r->processed) continue;
    netsnmp_variable_list* vb = r->requestvb;
    const Oid name(vb->name, vb->name + vb->name_length);
    if (reqinfo->mode == MODE_GET) {
      if (const Var* v = snapshot_.Get(name))
        SetValue(vb, *v);
      else
        netsnmp_set_request_error(reqinfo, r, SNMP_NOSUCHINSTANCE);
    } else if (reqinfo->mode == MODE_GETNEXT) {
      // None after it here: the request moves on to the next registration.
      const auto* next = snapshot_.Next(name);
      if (next != nullptr && Under(root, next->first)) {
        const std::vector<oid> o = ToNet(next->first);
        snmp_set_var_objid(vb, o.data(), o.size());
        SetValue(vb, next->second);
      }
    } else {
      netsnmp_set_request_error(reqinfo, r, SNMP_ERR_NOTWRITABLE);
    }
  }
  return SNMP_ERR_NOERROR;
}

void SnmpFrontEnd::SendQueued() {
  static const oid kTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
  while (connected_ && !stop_) {
    Notification n;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (queue_.empty()) return;
      n = std::move(queue_.front());
      queue_.pop_front();
    }
    netsnmp_variable_list* vars = nullptr;
    const std::vector<oid> trap = ToNet(n.trap);
    snmp_varlist_add_variable(&vars, kTrapOid, OID_LENGTH(kTrapOid), ASN_OBJECT_ID,
                              reinterpret_cast<const u_char*>(trap.data()),
                              trap.size() * sizeof(oid));
    for (const auto& [name, value] : n.vars) {
      const std::vector<oid> o = ToNet(name);
      netsnmp_variable_list* vb =
          snmp_varlist_add_variable(&vars, o.data(), o.size(), ASN_NULL, nullptr, 0);
      if (vb != nullptr) SetValue(vb, value);
    }
    send_v2trap(vars);
    snmp_free_varbind(vars);
    ++sent_;
  }
}

void SnmpFrontEnd::Run() {
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, cfg_.master.c_str());
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                     static_cast<int>(cfg_.ping_s));
  // No signals in a threaded process, no configuration or state files of
  // net-snmp's own, and no MIB files: answers are by number.
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_ERRORS, 0);
  netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_WARNINGS, 0);
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIBDIRS, "/nonexistent/k417t");
  snmp_disable_log();
  snmp_enable_calllog();
  snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, OnLog, this);
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, OnUp, this);
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, OnDown, this);
  init_agent("k417t");
  struct Subtree {
    const char* handler;
    const char* mib;
    Oid arc;
  };
  const Subtree subtrees[] = {
      {"k417t", "K417T-MIB", cfg_.enterprise},
      {"k417t-entity", "ENTITY-MIB", EntityMibObjects()},
      {"k417t-entity-sensor", "ENTITY-SENSOR-MIB", EntitySensorMibObjects()}};
  for (const Subtree& t : subtrees) {
    const std::vector<oid> root = ToNet(t.arc);
    netsnmp_handler_registration* reg = netsnmp_create_handler_registration(
        t.handler, Handler, root.data(), root.size(), HANDLER_CAN_RONLY);
    if (reg != nullptr) {
      reg->handler->myvoid = this;
      if (netsnmp_register_handler(reg) != MIB_REGISTERED_OK && log_)
        log_(std::string("snmp: the ") + t.mib + " subtree could not be registered");
    }
  }
  init_snmp("k417t");

  while (!stop_) {
    int numfds = 0, block = 1;
    fd_set fds;
    FD_ZERO(&fds);
    struct timeval tv = {0, 200000};
    snmp_select_info(&numfds, &fds, &tv, &block);
    // At most 200 ms, so a stop or a queued notification is never waited on long.
    if (block != 0 || tv.tv_sec > 0 || tv.tv_usec > 200000) tv = {0, 200000};
    FD_SET(wake_fd_, &fds);
    numfds = std::max(numfds, wake_fd_ + 1);
    const int n = select(numfds, &fds, nullptr, nullptr, &tv);
    if (n > 0) {
      if (FD_ISSET(wake_fd_, &fds)) {
        uint64_t v;
        if (read(wake_fd_, &v, sizeof v) < 0) {
        }
        FD_CLR(wake_fd_, &fds);
      }
      snmp_read(&fds);
    } else if (n == 0) {
      snmp_timeout();
    }
    run_alarms();
    netsnmp_check_outstanding_agent_requests();
    SendQueued();
  }
  // Ours go first: snmp_shutdown frees the argument of those it finds.
  snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, OnUp, this, 1);
  snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, OnDown, this, 1);
  snmp_unregister_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, OnLog, this, 1);
  snmp_shutdown("k417t");
  connected_ = false;
}

}  // namespace qmx::snmp
