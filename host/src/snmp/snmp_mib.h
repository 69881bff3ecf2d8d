#pragma once

// K417T-MIB as data: the site's view laid out as (OID, typed value) pairs in
// OID order, and the variables of each notification. The agent answers get
// and get-next from one such snapshot; nothing here knows net-snmp.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "view/site_view.h"

namespace qmx::snmp {

using Oid = std::vector<uint32_t>;

struct Var {
  enum class Type {
    kInteger,
    kUnsigned,
    kGauge,
    kCounter32,
    kCounter64,
    kOctets,
    kOid,
    kTimeTicks
  };
  Type type = Type::kInteger;
  int64_t number = 0;  // kInteger: signed 32 bits; the others: unsigned
  std::string text;    // kOctets
  Oid oid;             // kOid
};

// K417tValueStatus.
enum class ValueStatus { kValid = 1, kNoValue = 2, kOutOfRange = 3 };

// A reading in hundredths (K417tHundredths): no number is noValue, one that
// does not fit 32 bits signed is outOfRange; only valid has `hundredths`.
struct Scaled {
  ValueStatus status = ValueStatus::kNoValue;
  int32_t hundredths = 0;
};
Scaled Hundredths(const std::optional<double>& v);

// DateAndTime of epoch seconds in UTC (11 bytes, "+0:0"); empty for 0.
std::string DateAndTime(int64_t epoch);

// At most `max` bytes, cut before a UTF-8 sequence that would not fit.
std::string Utf8Cut(const std::string& s, size_t max = 255);

// K417tSeverity's cleared: the severity a clear notification carries
// (k417tAlarmCleared, k417tCommRestored), after ITU X.733's perceived
// severity; the other values are view::Severity's.
inline constexpr int kSeverityCleared = 5;

// The alarm table's row of an alarm is (device, unit, point). Units number
// their alarm points from 1 in 16 bits and an alarm keeps its number while
// raised; the communication alarm has none (0) and is point kCommAlarmPoint
// of its device's data identifier. Two active alarms of one unit sharing a
// number (the unit renumbered its points while one was raised) cannot share
// a row: the first in the view's order keeps it, the other takes the lowest
// free point above kCommAlarmPoint.
inline constexpr uint32_t kCommAlarmPoint = 65536;

// K417tBoardState of a state word of the alarm board ("active_unacknowledged"
// is 1 ... "delayed" 9); 0 for a word it does not have.
int BoardStateNumber(const std::string& state);

class MibSnapshot {
 public:
  MibSnapshot() = default;
  // With `kpis`, the k417tKpi scalars too. The alarm state columns come
  // from each device's alarm_states (the board), matched to its active
  // alarms by unit, key and sequence number.
  MibSnapshot(const Oid& root, const std::vector<view::DeviceView>& devices, uint64_t dropped,
              const view::AlarmKpis* kpis = nullptr);

  const Var* Get(const Oid& name) const;
  // The first variable after `name`, or null.
  const std::pair<const Oid, Var>* Next(const Oid& name) const;
  size_t size() const { return vars_.size(); }
  // Variables of other subtrees answered from the same snapshot (the
  // entity tables); those of the same name are replaced.
  void Merge(std::map<Oid, Var> more);
  const std::map<Oid, Var>& vars() const { return vars_; }

 private:
  std::map<Oid, Var> vars_;
};

// A notification: its OID and variables (snmpTrapOID and sysUpTime are the
// agent's to add).
struct Notification {
  Oid trap;
  std::vector<std::pair<Oid, Var>> vars;
};

// k417tAlarmRaised/Cleared, or k417tCommLost/Restored for the communication
// alarm (key "comm"), of device `device` named `name`.
Notification NotificationOf(const Oid& root, unsigned device, const std::string& name,
                            const store::AlarmEvent& e);

// The notification of one of the alarm board's notices: "raised" and
// "cleared" as k417tAlarmRaised/Cleared (k417tCommLost/Restored for the
// communication alarm) with the same objects as NotificationOf; the
// operators' actions and the board's states as the k417tAlarm...Trap and
// k417tDevice...Trap notifications. None for a kind it does not know.
std::optional<Notification> NotificationOf(const Oid& root, const view::AlarmNotice& n);

}  // namespace qmx::snmp
