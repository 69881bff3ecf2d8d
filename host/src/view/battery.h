#pragma once

// Energy, battery discharges, autonomy and the battery test, computed on the
// gateway from what the units report each round. Pure: no clock, no I/O, no
// threads. The site view feeds one BatteryEngine per device with each
// completed round's readings (RoundInputs) and stores what it gives back
// (counters, discharge records); front ends read its figures through the
// view.
//
// Conventions:
// - Times are epoch milliseconds of the round's end, as the host stamped it.
// - String currents are handed to the engine with discharge POSITIVE, after
//   the site's sign convention has been applied (RoundInputs::string_a).
// - Integration is the trapezoid rule between consecutive live rounds with a
//   value at both ends. A gap longer than kMaxGapMs (a lost controller, a
//   stopped service) is not bridged: nothing is counted over it.
// - Counters only grow. Charge and discharge are counted apart, each from
//   the positive part of its own sign.
#include <json/value.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qmx::view {

// Two live rounds further apart than this are not integrated across.
inline constexpr int64_t kMaxGapMs = 60000;

// A value of a DC unit's m or user list, as the site file names it.
struct ValueRef {
  unsigned int unit = 0;   // DC unit data identifier
  std::string list = "m";  // "m" or "user"
  unsigned int index = 0;  // from 0
  bool operator==(const ValueRef& o) const {
    return unit == o.unit && list == o.list && index == o.index;
  }
};

struct BatteryString {
  std::string name;  // "String 1" when the site names none
  ValueRef current;
  bool discharge_negative = true;  // the reading is negative while discharging
  double capacity_ah = 0;          // rated capacity at `rate_h`
  double rate_h = 10;              // the rate the capacity is rated at (C10)
  double end_v = 0;                // end-of-discharge voltage of the bus
  double peukert = 1.0;            // 1.0: no rate correction
};

struct BatteryTestSettings {
  bool allowed = false;
  // The plant's own command that puts the rectifiers into test (or reduced
  // voltage) mode, and the one that returns them to float.
  int start_code = -1, start_byte = -1;
  int stop_code = -1, stop_byte = -1;
  // Ends: whichever comes first; 0 switches that end off (duration always on).
  int64_t max_s = 3600;
  double max_ah = 0;
  double end_v = 0;  // 0: the strings' end voltage
  // Pass when the string delivers at least this share of what its capacity
  // promises for the test's duration and mean current (Peukert-corrected).
  double pass_ratio = 0.8;
  // "" none; "daily HH:MM", "weekly DAY HH:MM" (DAY mon..sun), "monthly D HH:MM"
  // (D 1..28); local time of the gateway.
  std::string schedule;
};

struct BatterySettings {
  std::vector<BatteryString> strings;
  std::vector<ValueRef> temperatures;  // °C
  // A discharge starts after `discharge_rounds` rounds in a row with the
  // strings together delivering more than `discharge_threshold_a`, or at
  // once when mains is lost and they deliver anything beyond it; it ends
  // after `discharge_rounds` rounds with the strings charging (below minus
  // the threshold) or idle with mains back.
  double discharge_threshold_a = 2.0;
  unsigned int discharge_rounds = 3;
  // Raise the autonomy alarm below this many minutes (0: no alarm).
  double autonomy_alarm_min = 0;
  // Capacity change per °C away from 25 °C (IEEE 485's 0.006/°C for VRLA,
  // less capacity when colder).
  double temp_coeff = 0.006;
  BatteryTestSettings test;
  bool configured() const { return !strings.empty(); }
};

// Reads the device's "battery" member of the site file (`v` is the member's
// value; null when the device has none). A member that is absent leaves the
// defaults. False with `error` naming the member
// ("battery.strings[0].capacity_ah: must be a number above 0") on anything
// wrong; `dc_units` are the device's DC unit identifiers (a role must name
// one of them).
bool ParseBatterySettings(const Json::Value& v, const std::vector<unsigned int>& dc_units,
                          BatterySettings* out, std::string* error);

// What a round gave the engine.
struct RoundInputs {
  int64_t time_ms = 0;
  bool live = false;                  // the controller answered this round (values current)
  std::optional<double> bus_v;        // DC bus voltage (first DC unit's v)
  std::optional<double> load_a;       // DC load current (sum of the DC units' i)
  std::optional<double> rectifier_a;  // rectifier group total current
  std::optional<double> rectifier_v;  // rectifier group output voltage
  // The round's date in the gateway's local time (yyyymmdd): energy today
  // and this month count from the first round of the day and of the month.
  int local_day = 0;
  // Minutes since local midnight and day of week (0 = Monday): the schedule.
  int local_minute = 0;
  int local_weekday = 0;
  std::vector<std::optional<double>> string_a;  // per string, discharge positive
  std::vector<std::optional<double>> temps_c;   // per temperature role
  // Every AC input voltage is below 50 % of nominal or its state says it is
  // missing or low; false when no AC screen reports.
  bool mains_lost = false;
  // An active alarm of the AC inputs or of the rectifier modules.
  bool mains_or_rectifier_alarm = false;
};

// Since the first round ever counted (persisted across restarts).
struct EnergyCounters {
  double load_kwh = 0;       // DC bus voltage × load current
  double rectifier_kwh = 0;  // rectifier output voltage × total current
  double charge_ah = 0, discharge_ah = 0;
  double charge_kwh = 0, discharge_kwh = 0;
  int64_t time_ms = 0;  // the round they were last advanced to (0: never)
};

struct DischargeRecord {
  int64_t id = 0;  // the history's; 0 before it is stored
  unsigned int device = 0;
  int64_t start_ms = 0;
  int64_t end_ms = 0;      // 0: going on
  std::string cause;       // "mains loss", "rectifier shortfall", "test"
  double ah = 0, kwh = 0;  // delivered
  std::optional<double> min_v, end_v;
  std::optional<double> min_temp_c;
  // Tests: "pass", "fail", "aborted: REASON"; "" otherwise.
  std::string result;
  double expected_ah = 0;  // tests: what the capacity promises for the test
};

struct AutonomyEstimate {
  bool valid = false;
  bool discharging = false;          // a discharge is going on (else projected at the present load)
  double minutes = 0;                // the estimate
  double low_min = 0, high_min = 0;  // its band
  double soc = 0;                    // state of charge, 0..1
  double load_a = 0;                 // discharge current it assumes
  std::optional<double> temp_c;      // the temperature it corrected for
  // "charge" (counted Ah against capacity), "charge+voltage" (refined by
  // the voltage trend); "" when not valid, with `why` saying what is missing.
  std::string basis;
  std::string why;
};

// The engine's state as the history keeps it between runs.
struct BatteryMemory {
  EnergyCounters counters;
  EnergyCounters day_start, month_start;  // the counters at the first round of the day/month
  int day = 0;                            // yyyymmdd those starts belong to
  std::optional<double> soc;
  std::optional<DischargeRecord> open;  // a discharge going on
  int64_t last_test_ms = 0;             // when the last test started (the schedule's memory)
};
Json::Value BatteryMemoryJson(const BatteryMemory& m);
// False when `v` is not such a memory (then *out is left alone).
bool ParseBatteryMemory(const Json::Value& v, BatteryMemory* out);

// The battery test as it stands.
struct BatteryTestState {
  enum class Phase { kIdle, kRunning } phase = Phase::kIdle;
  int64_t started_ms = 0;
  std::string started_by;         // the user, or "schedule"
  int64_t next_scheduled_ms = 0;  // 0: none
  std::string last_result;        // of the last test ("" none)
};

class BatteryEngine {
 public:
  BatteryEngine(unsigned int device, BatterySettings settings);

  // What the history kept: the counters, the state of charge and a discharge
  // that was going on when the service stopped (it goes on, or ends at the
  // first round that says it is over).
  void Restore(const BatteryMemory& memory);
  BatteryMemory Memory() const;

  // What a round changed. Commands are for the site view to send through
  // the audited control path.
  struct Step {
    bool counters_changed = false;
    std::optional<DischargeRecord> started;  // a discharge began this round
    std::optional<DischargeRecord> ended;    // one ended (a test's carries its result)
    bool autonomy_low = false;               // the alarm's state after this round
    struct Command {
      int code = 0;
      int byte = -1;
      std::string why;  // "battery test start", "battery test end: 3600 s", ...
    };
    std::vector<Command> commands;
    std::string test_refused;  // a scheduled test that was due and did not start: why
  };
  Step Round(const RoundInputs& in);

  // On demand (`who` the user): "" when it starts, with the plant's start
  // command in *start for the caller to send, else why it may not. Refused
  // when tests are not allowed, one runs, the last round was not live (a
  // lost controller), mains or rectifier alarms are active, a discharge is
  // going on, or the autonomy is below the site's minimum (or unknown). A
  // test that is due by the schedule starts from Round (Step::commands),
  // under the same interlocks (Step::test_refused says why it did not).
  // While a test runs each Round checks the interlocks and its ends, and
  // gives the stop command with the reason when one trips. The test's
  // discharge record (cause "test") opens at once; a test started or aborted
  // here gives its record in the next Round's Step::started / Step::ended.
  std::string StartTest(int64_t now_ms, const std::string& who, Step::Command* start);
  // Ends a running test at once (the stop command in *stop); false when none runs.
  bool AbortTest(int64_t now_ms, const std::string& reason, Step::Command* stop);

  const EnergyCounters& counters() const { return counters_; }
  // Since the first round of today / of this month (local time).
  EnergyCounters Today() const;
  EnergyCounters ThisMonth() const;
  // Bus voltage × load current of the last live round; none without both.
  std::optional<double> PowerW() const;
  double soc() const { return soc_; }
  AutonomyEstimate Autonomy() const;
  std::optional<DischargeRecord> Discharging() const;
  BatteryTestState Test() const;
  const BatterySettings& settings() const { return settings_; }

 private:
  unsigned int device_;
  BatterySettings settings_;
  EnergyCounters counters_;
  double soc_ = 1.0;
  // Implementation state (previous round's readings, debounce counters, the
  // open discharge, the voltage trend, the test) lives in the .cpp's Impl.
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// {"load_kwh","rectifier_kwh","charge_ah","discharge_ah","charge_kwh","discharge_kwh","time"}
Json::Value CountersJson(const EnergyCounters& c);
// {"id","device","start","end"(null: going on),"cause","ah","kwh","min_v","end_v",
//  "min_temp_c","result","expected_ah"}; times epoch seconds, no value null.
Json::Value DischargeJson(const DischargeRecord& r);
// {"valid","discharging","minutes","low_min","high_min","soc","load_a","temp_c","basis","why"}
Json::Value AutonomyJson(const AutonomyEstimate& a);

}  // namespace qmx::view
