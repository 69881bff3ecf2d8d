#pragma once

// The site as every front end sees it: devices with their names, ports,
// model and health, units as named values, active alarms with severities,
// line statistics and round timing, the history's read side, and control.
// Front ends reach the site through this class and include nothing from
// site/, store/, line/ or wire/ (tests/structure checks their includes).
#include <json/value.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "site/site_host.h"
#include "view/alarm_board.h"
#include "view/alarm_names.h"
#include "view/battery.h"
#include "view/outbox.h"
#include "view/severity.h"
#include "view/unit_values.h"

namespace qmx::view {

// A control command as a front end received it: who sent it, from where,
// through what. Every one is audited (one history row, one log line),
// whatever becomes of it.
struct ControlAttempt {
  std::string via;   // "http", "mqtt", "command line"
  std::string who;   // the user, or the client as the front end knows it
  std::string peer;  // the client's address; "" for the command line
  unsigned int device = 0;
  int code = 0;
  int byte = -1;           // -1: none
  std::string request_id;  // "" when the request names none
  int64_t sent_at = 0;     // the request's own time (epoch s); 0: it carries none
};

// Requests older (or further ahead of this clock) than this are refused,
// and a request id is remembered this long: neither a late copy nor a
// replay of a command runs.
inline constexpr int64_t kControlWindowS = 30;
inline constexpr int64_t kRequestIdMemoryS = 60;

// The DC bus voltage band the site holds its plant to (the site file's
// device "dc_limits"; a -48 V plant's usual band when it says none). Shown
// to monitoring systems so shipped alert rules compare against the site's
// own figures.
struct DcLimits {
  double low_v = 47.0;
  double high_v = 57.0;
};

// What the site file says about a device beyond its setting.
struct DeviceInfo {
  std::string name;
  int baud = 9600;
  std::map<unsigned int, UnitLabels> labels;  // by unit data identifier
  std::map<unsigned int, std::string>
      unit_names;  // by unit data identifier, as the site names them
  DcLimits dc_limits;
  BatterySettings battery;  // the device's "battery" member
};
using SiteInfo = std::map<unsigned int, DeviceInfo>;

// How a device is: answering without alarms, answering with alarms, or not
// answering (its values stale), or not polled yet.
enum class Health { kStarting, kHealthy, kAlarm, kLost };
const char* HealthWord(Health h);  // "starting", "healthy", "alarm", "lost"

// Round timing of a device as the front ends show it.
struct RoundStats {
  static constexpr std::array<double, 8> kBuckets = {0.25, 0.5, 0.75, 1, 1.5, 2, 4, 8};
  double last_ms = 0;
  double last_limit_ms = 0;  // what the wire needs for the round's bytes and pauses
  uint64_t last_exchanges = 0;
  uint64_t count = 0;
  double sum_s = 0;
  std::array<uint64_t, kBuckets.size()> buckets{};  // cumulative, as Prometheus counts
  double ratio() const { return last_limit_ms > 0 ? last_ms / last_limit_ms : 0; }
};

// The duration the wire needs for a round: its bytes at `baud` (10 bits a
// byte) plus the controller's 20 ms pause per answer.
double WireLimitMs(uint64_t bytes, uint64_t exchanges, int baud);

// Energy and batteries of a device as the front ends show them: counters
// since the first round ever counted (they only grow, across restarts),
// today's and this month's, the power now, the state of charge, the
// autonomy estimate (labelled as one, with its inputs), the discharge going
// on and the last one ended, and the battery test.
struct BatteryView {
  bool configured = false;  // the site names battery strings
  EnergyCounters total, today, month;
  std::optional<double> power_w;  // DC load power of the last live round
  double soc = 0;                 // 0..1 (configured sites only)
  AutonomyEstimate autonomy;
  bool autonomy_low = false;  // the autonomy alarm is raised
  std::optional<DischargeRecord> discharging;
  std::optional<DischargeRecord> last;  // the newest ended discharge
  BatteryTestState test;
  bool test_allowed = false;
};
// {"configured","total":CountersJson,"today","month","power_w","soc",
//  "autonomy":AutonomyJson,"autonomy_low","discharging":DischargeJson|null,
//  "last":DischargeJson|null,"test":{"allowed","running","started","started_by",
//  "next_scheduled","last_result"}}
Json::Value BatteryJson(const BatteryView& b);

struct DeviceView {
  unsigned int id = 0;
  std::string name;
  std::string line;  // the port
  int baud = 9600;
  std::string model, version;  // as the controller reports them; "" before its answer
  bool line_open = false, answering = false, stale = false;
  uint64_t rounds = 0;
  int64_t last_round = 0;  // epoch seconds
  std::vector<UnitValues> units;
  // The data identifiers of the units the controller was set up with (its
  // site file setting's), in its order, whether or not they have answered.
  std::vector<unsigned int> unit_ids;
  std::vector<store::ActiveAlarm> alarms;
  line::LineStats line_stats;
  RoundStats round;
  Health health = Health::kStarting;
  Severity worst = Severity::kNone;      // of the active alarms
  std::vector<AlarmState> alarm_states;  // every listed alarm of the device, as the board has it
  std::optional<AlarmMark> maintenance;  // in maintenance until maintenance->until
  DcLimits dc_limits;
  BatteryView battery;
};

// Whether a device's values are live: its controller answers now. Before
// its first answer they are the images restored from the history, after a
// loss the last ones read; neither is shown as a current reading (no
// Prometheus sample, a stale status on Modbus, unavailable sensors).
inline bool ValuesLive(const DeviceView& d) { return d.answering && !d.stale; }

// An operator's action on an alarm or a device, as a front end received it.
// Every one is audited, whatever becomes of it.
struct AlarmAction {
  std::string via;   // "http", "mqtt", "command line"
  std::string who;   // the user
  std::string peer;  // the client's address
  // "acknowledge", "shelve", "unshelve", "maintenance", "maintenance_end"
  std::string action;
  unsigned int device = 0;
  std::string alarm;  // AlarmIdText of the alarm ("" for maintenance)
  std::string comment;
  int64_t duration_s = 0;  // shelve and maintenance
};

// A completed round of one device, read once for every front end.
struct RoundView {
  RoundReport report;
  DeviceInfo info;
  std::vector<UnitValues> units;
};

class SiteView {
 public:
  explicit SiteView(SiteHost& host) : host_(host) {}
  ~SiteView();  // waits for the battery commands under way
  SiteView(const SiteView&) = delete;
  SiteView& operator=(const SiteView&) = delete;

  void SetSite(SiteInfo site);
  SiteInfo site() const;
  DeviceInfo Info(unsigned int id) const;

  std::vector<unsigned int> DeviceIds() const { return host_.DeviceIds(); }
  std::optional<DeviceView> Device(unsigned int id) const;
  std::vector<DeviceView> Devices() const;
  RoundStats Rounds(unsigned int id) const;

  // From the host's report sink: reads the round's images and counts its timing.
  RoundView Round(const RoundReport& report);

  std::vector<UnitValues> ReadUnits(unsigned int device_id,
                                    const std::vector<UnitImage>& images) const;

  // The one way to the rectifiers. A request older than kControlWindowS
  // (or as far ahead), or one whose request id came through the same front
  // end within kRequestIdMemoryS, is refused; otherwise the command goes to
  // the device, paced with every other command to it (one a round, between
  // rounds), waiting at most `limit` (0: the site's default) for its turn and
  // for the answer. Audited either way.
  ControlResult Control(const ControlAttempt& attempt,
                        std::chrono::milliseconds limit = std::chrono::milliseconds(0));
  // The door's checks of a request before it runs, for control and for the
  // operators' actions alike: its time within kControlWindowS of this clock
  // and its id (per front end) not run within kRequestIdMemoryS (the id is
  // remembered from here on). "" when it may run, else why not.
  std::string CheckRequest(const std::string& via, const std::string& request_id, int64_t sent_at);
  // An attempt a front end turned away before it reached the door (control
  // off, bad credentials, not allowed, rate-limited, malformed): audited.
  // `outcome` is "refused", "bad credentials" or "rate-limited".
  void Refused(const ControlAttempt& attempt, const std::string& outcome,
               const std::string& reason);
  // The newest `limit` audit rows with time in [from, to], oldest first;
  // none when the site keeps no history.
  std::vector<store::AuditEntry> Audit(int64_t from, int64_t to, size_t limit) const;
  // Epoch seconds for the door's checks and the audit (tests set their own).
  void SetClock(std::function<int64_t()> clock);

  // --- Energy and batteries (one engine per device, fed by Round).
  std::optional<BatteryView> Battery(unsigned int device) const;
  // Stored discharge records of a device (0: every device) that started in
  // [from, to] (epoch seconds), newest first, at most `limit`; the one going
  // on first among them. None when the site keeps no history.
  std::vector<DischargeRecord> Discharges(unsigned int device, int64_t from, int64_t to,
                                          size_t limit) const;
  // A battery test on demand (attempt.code/byte are ignored: the site's
  // start command is sent). Authorised by the front end like any control
  // command; the interlocks are checked here; audited either way ("battery
  // test start" in the reason), and the start command itself goes through
  // Control. Result 0 when it started, -1 with the reason otherwise.
  ControlResult StartBatteryTest(const ControlAttempt& attempt);
  // Ends a running test now (the site's stop command, audited).
  ControlResult StopBatteryTest(const ControlAttempt& attempt);

  // --- Alarms as the operators see them (the board).
  std::vector<AlarmState> AlarmStates() const;
  std::vector<AlarmState> AlarmStates(unsigned int device) const;
  AlarmKpis AlarmFigures() const;
  AlarmRules AlarmRulesNow() const;
  // An operator's action, after the front end checked the user's role and
  // devices: audited (outcome "done" or "refused" with the reason), then
  // done by the board, which tells every front end (FrontEnd::OnAlarm).
  AlarmActionResult Act(const AlarmAction& action);
  // An action a front end turned away before it reached the door (bad
  // credentials, not allowed, malformed): audited like the door's refusals.
  // `outcome` is "refused", "bad credentials" or "rate-limited".
  void RefusedAction(const AlarmAction& action, const std::string& outcome,
                     const std::string& reason);
  // The board itself: the runner feeds it and front ends listen through
  // FrontEnds.
  AlarmBoard& Board() { return board_; }
  // Takes the raised alarms and the kept marks over (FrontEnds::StartAll).
  void StartBoard();
  // Lets go of the alarms of devices and units no longer polled (a reload).
  void RetainBoard();
  // Epoch seconds (tests set their own clock).
  int64_t Now() const;

  // --- Readable names and places of alarm points (the label table).
  // The language file the site picked (null: the built-in English one).
  void SetAlarmNames(std::shared_ptr<const AlarmNames> names);
  // Name and place of any point of a device: a listed alarm, an active
  // point or a history event. The place follows the device's units (their
  // kinds and ordinals as its images say) and the site's unit names.
  struct AlarmLabel {
    std::string name_en, place_en;
  };
  AlarmLabel Label(unsigned int device, const store::ActiveAlarm& point) const;
  AlarmLabel Label(unsigned int device, const store::AlarmEvent& event) const;

  // The history's read side; null when the site keeps none.
  const store::HistoryStore* History() const;
  // The notices a notification sink keeps in the history until it has
  // delivered them (one per sink name, shared); null when the site keeps no
  // history.
  std::shared_ptr<NoticeOutbox> OpenNotices(const std::string& sink);

  // The outbox of a northbound sink over the history (one per sink name,
  // shared); null when the site keeps no history.
  std::shared_ptr<Outbox> OpenOutbox(const std::string& sink, bool events = true);
  // Every outbox opened, with its backlog counted now.
  std::vector<OutboxHealth> Outboxes() const;
  // A stored record read as the unit's values (time: the record's), with
  // the device it belongs to; none when no device of the site has the unit.
  struct StoredUnit {
    unsigned int device = 0;
    UnitValues unit;
  };
  std::optional<StoredUnit> ReadRecord(const store::HistoryRecord& record) const;
  // The device whose controller or unit has this data identifier.
  std::optional<unsigned int> DeviceOfUnit(unsigned int data_id) const;

 private:
  SiteHost& host_;
  AlarmBoard board_;
  void Audit(const ControlAttempt& a, const std::string& outcome, int result,
             const std::string& reason);
  // Control with `what` leading the audit row's reason ("battery test start").
  ControlResult Send(const ControlAttempt& a, std::chrono::milliseconds limit,
                     const std::string& what);

  // --- The battery engines (battery_door.cpp): one per device, under
  // battery_mu_ (never held while calling the host's alarm service or
  // control). Commands go out on the battery worker, one at a time, never
  // from the job thread that runs Round.
  struct BatteryDevice;
  void BatteryRound(const RoundReport& report, const DeviceInfo& info,
                    const std::vector<UnitValues>& units, std::vector<store::AlarmEvent>& events);
  void BatterySite(const SiteInfo& site);
  std::shared_ptr<BatteryDevice> BatteryOf(unsigned int device) const;
  // Runs `job` on the battery worker (started on first use).
  void PostBattery(std::function<void()> job);
  ControlResult RunOnBatteryWorker(std::function<ControlResult()> job);
  void SendBatteryCommand(unsigned int device, const BatteryEngine::Step::Command& c,
                          const std::string& who, bool is_start);
  mutable std::mutex battery_mu_;
  std::map<unsigned int, std::shared_ptr<BatteryDevice>> batteries_;
  std::mutex battery_jobs_mu_;
  std::condition_variable battery_jobs_cv_;
  std::deque<std::function<void()>> battery_jobs_;
  bool battery_stop_ = false;
  std::thread battery_worker_;

  mutable std::mutex mu_;
  SiteInfo site_;
  std::map<unsigned int, RoundStats> rounds_;
  std::function<int64_t()> clock_;
  std::vector<std::shared_ptr<Outbox>> outboxes_;
  std::vector<std::shared_ptr<NoticeOutbox>> notice_outboxes_;
  mutable std::map<unsigned int, unsigned int> unit_devices_;  // unit data id -> device
  // (front end, request id) -> when it was run.
  std::map<std::pair<std::string, std::string>, int64_t> request_ids_;

  // The label table and what it needs of each device. Its own lock: the
  // board describes alarms under its lock, and nothing holding labels_mu_
  // calls out.
  struct UnitsSeen {
    std::vector<unsigned int> unit_ids;
    std::map<unsigned int, std::string> kinds;  // by data identifier
  };
  void SeeUnits(unsigned int device, const std::vector<UnitImage>& images);
  void RebuildPlaces();
  void Describe(unsigned int device, const store::ActiveAlarm& point, std::string& name,
                std::string& place) const;
  mutable std::mutex labels_mu_;
  std::shared_ptr<const AlarmNames> names_;
  std::map<unsigned int, UnitsSeen> units_seen_;
  std::map<unsigned int, DevicePlaces> places_;
  bool board_started_ = false;
};

// The audit's row for an attempt and what became of it (time 0: the caller's
// to set).
store::AuditEntry AuditEntryOf(const ControlAttempt& a, const std::string& outcome, int result,
                               const std::string& reason);
// One line for the log: "control: VIA WHO from PEER: device D code C[ byte
// B][ request ID]: OUTCOME[ result R][: REASON]"; client texts made safe.
std::string AuditLine(const store::AuditEntry& a);
// "alarm action: VIA WHO from PEER: device D: OUTCOME: WHAT"; client texts made safe.
std::string AlarmActionLine(const store::AuditEntry& a);
// Client- or device-supplied text made safe for a log line, for the front
// ends (which include nothing below the view): k417t_text::Safe.
std::string SafeText(std::string_view text);
// {"id","time","via","who","peer","device","code","byte"(null: none),
//  "request_id","outcome","result","reason"}
Json::Value AuditJson(const store::AuditEntry& a);

// --- The JSON forms every front end hands out (epoch seconds for times).

// {"data_id","key","seq","level","severity","code","name","text","since"}
Json::Value AlarmPointJson(const store::ActiveAlarm& a);
// {"data_id","state":"raised"|"cleared","key","seq","level","severity","code","name","text","time"}
Json::Value AlarmEventJson(const store::AlarmEvent& e);
// A device's stored records and events in [from, to] for export:
// {"data_id","from","to","records":[{"id","type","time","local_time","image"
// (upper-case hex)}],"events":[AlarmEventJson + "id","local_time"]}.
Json::Value HistoryExportJson(const store::HistoryStore& store, uint32_t data_id, int64_t from,
                              int64_t to);
// {"line","open","rounds","requests","answers","timeouts","late","echoes","dropped","bytes_out","bytes_in"}
Json::Value LineStatsJson(const DeviceView& d);
// key -> number, null (no value) or the state's word.
Json::Value ValuesJson(const UnitValues& u);
// [{"key","label","group","quantity","unit","value","word","raw","alert"}]
Json::Value FieldsJson(const UnitValues& u);
// {"data_id","type","kind","time","values"[,"error"]}
Json::Value UnitJson(const UnitValues& u);
// {"sink","connected","pending_events","pending_records","oldest","lost_events",
//  "lost_records","sent_events","sent_records","rejected","last_success",
//  "last_error","last_error_time"} (times epoch seconds, 0: none)
Json::Value OutboxJson(const OutboxHealth& h);

// One Prometheus sample of a unit's value: the family, its labels (device,
// unit but for the rectifier group, which is the device's own unit, then
// the field's own) and the number (a state: 1 while not normal). Values the
// controller sent as no value have none.
struct Sample {
  std::string metric;
  std::vector<std::pair<std::string, std::string>> labels;
  double value = 0;
};
std::vector<Sample> UnitSamples(unsigned int device, const UnitValues& u);

// --- Front ends: extensions with one lifecycle, started by the runner from a list.

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  virtual const char* name() const = 0;
  // False with the reason when it cannot run (the runner exits 2).
  virtual bool Start(std::string& error) = 0;
  // Idempotent; after it returns nothing of the front end calls the host.
  virtual void Stop() = 0;
  // The job worker, once the round's alarms and records are committed.
  virtual void OnRound(const RoundView& round) { (void)round; }
  // The line's thread: a controller lost or answering again.
  virtual void OnLink(const LinkReport& link) { (void)link; }
  // What the operators are told (the alarm board's notices), in order, from
  // the thread that caused it; must not block.
  virtual void OnAlarm(const AlarmNotice& notice) { (void)notice; }
  // A reloaded site file, before anything changes: false with the problem
  // when this front end's part of it cannot be taken.
  virtual bool CheckReload(const Json::Value& site, std::string& error) {
    (void)site;
    (void)error;
    return true;
  }
  // The reloaded site file once the devices have changed (the view already
  // knows the new devices).
  virtual void OnReload(const Json::Value& site) { (void)site; }
};

class FrontEnds {
 public:
  explicit FrontEnds(SiteView& view);
  ~FrontEnds();
  void Add(std::shared_ptr<FrontEnd> f);
  // Starts them in order; on a failure stops those started and says which.
  bool StartAll(std::string& error);
  // In reverse order.
  void StopAll();
  void Round(const RoundReport& report);
  void Link(const LinkReport& link);
  void Alarm(const AlarmNotice& notice);
  bool CheckReload(const Json::Value& site, std::vector<std::string>& problems);
  void Reload(const Json::Value& site);

 private:
  std::vector<std::shared_ptr<FrontEnd>> list() const;
  SiteView& view_;
  mutable std::mutex mu_;
  std::vector<std::shared_ptr<FrontEnd>> list_;
  bool started_ = false;
  std::thread ticker_;
  std::mutex tick_mu_;
  std::condition_variable tick_cv_;
  bool ticker_stop_ = false;
};

}  // namespace qmx::view
