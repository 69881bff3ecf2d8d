#pragma once

// The alarm board: what the operators are shown of the alarm points, as
// against what the controller states. The alarm service (store/) keeps the
// condition of every point and the history keeps every transition; the board
// decides what is annunciated and in which state each alarm is:
//
//   active, unacknowledged      raised and not yet seen by an operator
//   active, acknowledged        raised, an operator has seen it
//   cleared, unacknowledged     gone again before anyone saw it (stays listed)
//   shelved                     an operator put it aside for a bounded time
//   out of service              its device is in maintenance
//   suppressed                  attached to another alarm of the same cause
//   unknown                     its device does not answer: the last word is
//                               not a standing truth any more
//   chattering                  raised and cleared too often; annunciated
//                               once until it settles
//   delayed                     raised, waiting for its on-delay
//
// Everything a front end shows of an alarm comes from here, so the page, the
// API, MQTT, /metrics, SNMP and the notifications agree.
#include <json/value.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "store/alarm_event.h"
#include "store/alarm_service.h"

namespace qmx::store {
class HistoryStore;
}

namespace qmx::view {

// One alarm point of one device.
struct AlarmRef {
  unsigned int device = 0;
  uint32_t data_id = 0;
  std::string key;
  uint32_t seq = 0;
  bool operator<(const AlarmRef& o) const {
    return std::tie(device, data_id, key, seq) < std::tie(o.device, o.data_id, o.key, o.seq);
  }
  bool operator==(const AlarmRef& o) const {
    return device == o.device && data_id == o.data_id && key == o.key && seq == o.seq;
  }
};
// "DATAID_KEY_SEQ", the id MQTT and the page already use for a point.
std::string AlarmIdText(uint32_t data_id, const std::string& key, uint32_t seq);

// Who did something to an alarm, when, and why.
struct AlarmMark {
  std::string who;
  int64_t time = 0;
  std::string comment;
  int64_t until = 0;  // shelving and maintenance: when it ends by itself
};

// An alarm as the operators see it.
struct AlarmState {
  unsigned int device = 0;
  store::ActiveAlarm point;  // data_id, key, seq, level, code, name, text, since
  bool active = false;       // the controller states it now (false: cleared)
  int64_t cleared = 0;       // when it cleared (0 while active)
  std::optional<AlarmMark> ack;
  std::optional<AlarmMark> shelf;  // shelved now
  bool maintenance = false;        // its device is in maintenance
  bool unknown = false;            // its device does not answer
  bool chattering = false;
  bool delayed = false;               // waiting for its on-delay
  std::string suppressed_by;          // AlarmIdText of the alarm it is attached to
  std::vector<std::string> attached;  // the alarms attached to this one
  bool annunciated = false;           // shown to the operators as an alarm that needs them
  std::string name_en, place_en;      // readable name and place (the label table)
  // "active_unacknowledged", "active_acknowledged", "cleared_unacknowledged",
  // "shelved", "out_of_service", "suppressed", "unknown", "chattering",
  // "delayed"
  std::string state;
  AlarmRef ref() const { return {device, point.data_id, point.key, point.seq}; }
};

// Something the operators are told: an alarm annunciated or returned, an
// operator's action, a state the board entered. The history keeps the
// controller's transitions apart; these are the filtered messages.
struct AlarmNotice {
  int64_t time = 0;
  // "raised", "cleared", "acknowledged", "shelved", "unshelved",
  // "chattering", "settled", "maintenance", "maintenance_end", "unknown",
  // "known"
  std::string kind;
  unsigned int device = 0;
  std::string device_name;
  // The alarm (empty key for a device's own notices: maintenance, unknown).
  uint32_t data_id = 0;
  std::string key;
  uint32_t seq = 0;
  uint32_t level = 0;
  std::string code, name, text;   // the controller's own
  std::string name_en, place_en;  // readable
  std::string state;              // the alarm's state afterwards ("" for a device notice)
  int64_t since = 0;
  std::string who, comment;  // an operator's action
  int64_t until = 0;         // shelving or maintenance: when it ends
  std::vector<std::string> attached;
  std::string id() const { return key.empty() ? std::string() : AlarmIdText(data_id, key, seq); }
};

// {"time","kind","device","device_name","id","data_id","key","seq","level",
//  "severity","code","name","text","name_en","place_en","state","since",
//  "who","comment","until","attached"}
Json::Value AlarmNoticeJson(const AlarmNotice& n);
// AlarmPointJson + {"device","id","active","cleared","state","acknowledged",
//  "ack":{"who","time","comment"}|null,"shelved","shelf":{...,"until"}|null,
//  "maintenance","unknown","chattering","delayed","suppressed_by","attached",
//  "annunciated","name_en","place_en"}
Json::Value AlarmStateJson(const AlarmState& a);

// The site file's rules ("alarms" object), with the sensible ones on by default.
struct AlarmDelay {
  int on_s = 0;   // raised this long before it is annunciated
  int off_s = 0;  // cleared this long before the clear is annunciated
};
struct AttachRule {
  // While an alarm with one of `parent_codes` is active, alarms with one of
  // `child_codes` in the same scope are attached to it instead of
  // annunciated of their own. Scope "input": same unit and the same input
  // (the text's place before the phase); "unit": same data identifier;
  // "device": anywhere on the device.
  std::vector<std::string> parent_codes, child_codes;
  std::string scope = "input";
};
struct AlarmRules {
  // By class: a code ("06017"), a severity word ("major") or "default".
  std::map<std::string, AlarmDelay> delays;
  int chatter_transitions = 3;  // this many raises and clears ...
  int chatter_window_s = 600;   // ... within this window: chattering
  std::vector<AttachRule> attach;
  int max_shelve_s = 24 * 3600;
  int max_maintenance_s = 72 * 3600;
  int flood_per_10min = 10;  // annunciated per 10 minutes that make a flood
  static AlarmRules Defaults();
};
// Reads the "alarms" object of a site file (absent: the defaults). False with
// the member named in `error` when it is wrong.
bool ReadAlarmRules(const Json::Value& site, AlarmRules& rules, std::string& error);

// Figures for the operators (EEMUA 191).
struct AlarmKpis {
  uint64_t annunciated_10min = 0;  // raised notices in the last 10 minutes
  bool flood = false;
  uint64_t annunciated_total = 0;
  uint64_t transitions_total = 0;  // what the controller stated (the history's events)
  size_t standing = 0;             // active and annunciated
  size_t stale = 0;                // standing longer than 24 h
  size_t unacknowledged = 0;
  size_t chattering = 0;
  size_t shelved = 0;
  size_t suppressed = 0;
  size_t unknown = 0;
  size_t devices_in_maintenance = 0;
};

// The result of an operator's action.
struct AlarmActionResult {
  bool ok = false;
  std::string reason;  // why not
};

class AlarmBoard {
 public:
  using Listener = std::function<void(const AlarmNotice&)>;
  // Readable name and place of an alarm point (the label table).
  using Describe = std::function<void(unsigned int device, const store::ActiveAlarm& point,
                                      std::string& name_en, std::string& place_en)>;

  AlarmBoard();
  ~AlarmBoard();

  void SetRules(AlarmRules rules);
  AlarmRules Rules() const;
  void SetDescribe(Describe d);
  void SetDeviceName(std::function<std::string(unsigned int)> f);
  // Where acknowledgements, shelves and maintenance are kept across restarts
  // (null: in memory only). Loads what it keeps.
  void SetStore(store::HistoryStore* store);
  // Notices, in order, on the thread that caused them (the job worker, a
  // line, a front end's thread or the ticker); never while the board's lock
  // is held.
  void SetListener(Listener l);

  // The controller's transitions of one device (a round's or a link's
  // events), in order.
  void OnEvents(unsigned int device, const std::vector<store::AlarmEvent>& events, int64_t now);
  // The alarm points raised now at start-up (from the history), without
  // notices.
  void Restore(unsigned int device, const std::vector<store::ActiveAlarm>& active, int64_t now);
  // The controller stopped answering or answers again.
  void OnLink(unsigned int device, bool answering, int64_t now);
  // The site changed (a reloaded site file): alarms of devices or units no
  // longer polled leave the board (a "cleared" notice for those told),
  // and so does the maintenance of a device gone.
  void Retain(const std::map<unsigned int, std::vector<uint32_t>>& polled, int64_t now);
  // Delays, shelves, maintenance and chatter that end by themselves.
  void Tick(int64_t now);

  // Operators' actions (the door checks who may; these check what).
  AlarmActionResult Acknowledge(const AlarmRef& a, const AlarmMark& mark);
  AlarmActionResult Shelve(const AlarmRef& a, const AlarmMark& mark);  // mark.until
  AlarmActionResult Unshelve(const AlarmRef& a, const AlarmMark& mark);
  AlarmActionResult Maintenance(unsigned int device, const AlarmMark& mark);  // until 0: end

  std::vector<AlarmState> States() const;  // every listed alarm
  std::vector<AlarmState> States(unsigned int device) const;
  std::optional<AlarmMark> MaintenanceOf(unsigned int device) const;
  AlarmKpis Kpis(int64_t now) const;

  struct Impl;  // opaque

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace qmx::view
