#pragma once

// The SNMP sub-agent as one of the runner's front ends: an AgentX session to
// the system's snmpd (net-snmp's agent library) on a thread of its own. The
// master owns the UDP port, SNMPv3 users, views and trap destinations; this
// answers K417T-MIB, ENTITY-MIB's physical tables and ENTITY-SENSOR-MIB's
// sensor table from one snapshot of the view and sends the notifications.
//
// Nothing here delays polling: a round, link change or alarm notice only
// marks the snapshot old, and the alarm board's notices (what the operators
// are told, not every transition the controller states: a chattering point
// is raised once) queue notifications (bounded: the oldest goes, counted);
// the agent thread rebuilds the snapshot when it next answers and sends the
// queue while the master is there. net-snmp keeps global state, so a process
// runs one of these at a time.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "snmp/snmp_config.h"
#include "snmp/snmp_mib.h"
#include "view/site_view.h"

namespace qmx::snmp {

class SnmpFrontEnd : public view::FrontEnd {
 public:
  SnmpFrontEnd(view::SiteView& view, SnmpConfig cfg, std::function<void(const std::string&)> log);
  ~SnmpFrontEnd() override;

  const char* name() const override { return "snmp"; }
  // Starts the agent thread; an absent master is retried, not an error.
  bool Start(std::string& error) override;
  void Stop() override;
  void OnRound(const view::RoundView& round) override;
  void OnLink(const LinkReport& link) override;
  void OnAlarm(const view::AlarmNotice& notice) override;
  bool CheckReload(const Json::Value& site, std::string& error) override;
  void OnReload(const Json::Value& site) override;

  bool connected() const { return connected_; }
  uint64_t dropped() const { return dropped_; }
  uint64_t sent() const { return sent_; }

  // For net-snmp's callbacks on the agent thread.
  void AgentUp(bool up);
  void AgentLog(int priority, const char* text);
  // `root`: the subtree the request came to (K417T-MIB's, ENTITY-MIB's or
  // ENTITY-SENSOR-MIB's); get-next answers stay inside it.
  int Answer(const Oid& root, void* reqinfo, void* requests);
  // A request to K417T-MIB's subtree.
  int Answer(void* reqinfo, void* requests) { return Answer(cfg_.enterprise, reqinfo, requests); }

 private:
  void Run();
  void Queue(Notification n);
  void SendQueued();
  void Wake();
  void Rebuild();

  view::SiteView& view_;
  SnmpConfig cfg_;
  const std::function<void(const std::string&)> log_;

  std::atomic<bool> stop_{false}, connected_{false}, dirty_{true};
  std::atomic<uint64_t> dropped_{0}, sent_{0};
  int wake_fd_ = -1;
  std::thread thread_;

  std::mutex mu_;  // the queue
  std::deque<Notification> queue_;

  // Agent thread only.
  MibSnapshot snapshot_;
  std::chrono::steady_clock::time_point snapshot_at_{};
  std::string entity_shape_;        // the physical table last served
  uint32_t entity_changed_at_ = 0;  // entLastChangeTime: sysUpTime ticks
  bool said_unreachable_ = false;
  std::string last_log_;
};

}  // namespace qmx::snmp
