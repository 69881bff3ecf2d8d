#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "line/line_session.h"
#include "qmx/host_services.h"
#include "qmx/pmbus_protocol.h"
#include "site/control_pacer.h"
#include "site/record_keeper.h"
#include "store/alarm_service.h"
#include "store/history_store.h"
#include "store/job_runner.h"

namespace qmx {

// One unit's record image as it last published it (or was restored with).
struct UnitImage {
  unsigned int data_id = 0;
  int type = 0;
  std::vector<unsigned char> image;
};

// What the host learned in one completed round of one controller.
struct RoundReport {
  unsigned int device_id = 0;
  uint64_t round = 0;
  int64_t time = 0;  // epoch seconds of the round end
  // Epoch milliseconds of the round end (the system clock's; `time` × 1000
  // under a test clock); later than the device's previous round's unless
  // the clock was set back by more than a second.
  int64_t time_ms = 0;
  std::vector<UnitImage> images;          // the device's unit images as the round left them
  double duration_ms = 0;                 // first request of the round to its end
  uint64_t bytes_out = 0, bytes_in = 0;   // on the line during the round
  uint64_t exchanges = 0;                 // requests sent during the round
  std::vector<store::AlarmEvent> events;  // alarm changes committed this round
};

// A controller stopped answering, or answers again. While it does not, its
// communication alarm is raised and its last values are stale.
struct LinkReport {
  unsigned int device_id = 0;
  int64_t time = 0;
  bool answering = false;
  int missed = 0;  // answers missed in a row when it was lost (0: port down)
  // The communication alarm's raise. Its clear comes with the round that
  // brought the controller back (RoundReport::events), never here as well.
  std::vector<store::AlarmEvent> events;
};

// The communication alarm of a device: raised when its controller missed
// this many answers in a row, cleared by its next completed round.
inline constexpr const char* kCommAlarmKey = "comm";
inline constexpr const char* kCommAlarmCode = "comm";
// The key of the battery points the view derives and states after each round
// (SiteHost::StateDerivedPoints): a restart's settling leaves them to it.
inline constexpr const char* kBatteryAlarmKey = "battery";

// The controller's model and software version as its answer to the model
// query (CID1 0x40, CID2 0x51) states them: the first 20 information bytes are
// the model text, padded with blanks or NULs (the padding is dropped, any
// other byte outside printable ASCII shows as '?'); bytes 20 and 21, when
// sent, are the version's major and minor number ("1.20" for 01 14).
struct ControllerModel {
  std::string model, version;  // version empty when the answer has no such bytes
};
ControllerModel ReadModelAnswer(const unsigned char* info, size_t len);

// A device as its last round left it, for readers on any thread.
struct DeviceSnapshot {
  unsigned int device_id = 0;
  std::string line;  // the port's name
  bool line_open = false;
  bool answering = false;  // a round completed and no answer was missed since
  bool stale = false;      // communication lost: values are the last ones read, not live
  uint64_t rounds = 0;
  int64_t last_round = 0;  // epoch seconds, 0 before the first round
  std::vector<UnitImage> images;
  // The controller's data identifier first, then its units' as configured.
  std::vector<unsigned int> unit_ids;
  std::vector<store::ActiveAlarm> alarms;  // of the controller and its units
  line::LineStats line_stats;              // of the whole port (shared on a multi-drop bus)
  std::string model, version;              // as the controller last reported them; empty before
};

using line::ControlResult;

// The real host behind the plug-in: the controllers on their lines (one line
// session per port, several controllers on a multi-drop port), the alarm
// service, the job runner, the history store and the last images.
//
// Threads: after Start() each line runs on a thread of its own, and every
// plug-in call for a controller on it is made there; round-end jobs run on
// the job runner's worker. Snapshot, Control, ControlQuery, ActiveAlarms,
// LastImage, rounds and stats may be called from any thread.
//
// Lines come and go while the others poll (a site file reloaded): AddLine,
// AddDevice, Start, RemoveLine and RetireAlarms are called from one thread,
// the one that set the host up. The tables of lines and devices are replaced
// whole on each change; a reader keeps the one it took for as long as it
// holds it, so a device removed under a reader stays alive until it lets go.
class SiteHost : public HostServices {
 public:
  struct Options {
    size_t job_queue = 256;
    std::string db_path;  // empty: no history
    store::RetentionPolicy retention;
    int poll_tick_ms = 100;
    int missed_answers_invalidate = 3;
    // Control pacing per device (see ControlPacer): one command at a time, the
    // next at least this long after the previous one ended, this many waiting.
    int control_spacing_ms = 1000;
    size_t control_queue = 4;
    // History on change: a unit's record is stored on its first round, when
    // its round counts as changed (its dead bands, or
    // `changed_past_dead_band`), when one of its alarm points changed, and at
    // least every heartbeat_s. 0: every round is stored.
    uint32_t heartbeat_s = 0;
    // Records are committed at most every commit_s (alarm events at once);
    // 0: at every round end.
    uint32_t commit_s = 0;
    uint64_t history_max_bytes = 0;  // 0: no size bound
    // For units whose own verdict is "changed" every round (the rectifier
    // group): whether `now` moved past a dead band against the last stored
    // image; no value: the unit's own verdict stands.
    std::function<std::optional<bool>(int type, const std::vector<unsigned char>& stored,
                                      const std::vector<unsigned char>& now)>
        changed_past_dead_band;
    std::function<int64_t()> clock;  // epoch seconds; default time()
  };
  using LogSink = std::function<void(const std::string&)>;
  // Runs on the job worker once the round's jobs (alarms, history) are done.
  using ReportSink = std::function<void(const RoundReport&)>;
  // Runs on the line's thread when a controller is lost or answers again.
  using LinkSink = std::function<void(const LinkReport&)>;

  SiteHost(Options options, LogSink log);
  ~SiteHost() override;

  // Opens the history store when one is configured; false (logged) when it
  // cannot be opened now (polling still works; writes are retried). The
  // alarms the history still has raised are taken over: they are not raised
  // again, and those no round states any more are cleared after their
  // device's first completed round.
  bool OpenHistory();
  // Restores every unit of `ctrl` from the newest image stored under its data
  // identifier that it accepts.
  void RestoreUnits(PMBusProtocol& ctrl);

  // A line for one port; returns its number (never reused). A line added
  // after Start() polls from the next Start().
  size_t AddLine(std::unique_ptr<wire::Transport> transport);
  // A controller on a line that is not polling yet. False (logged) when the
  // line does not exist, already polls, or another controller there has the
  // same address. A device added after Start() (a restart with a changed
  // setting) takes over the points raised under its identifiers as if
  // restored from the history: its first round settles those it no longer
  // states.
  bool AddDevice(std::shared_ptr<PMBusProtocol> ctrl, size_t line);
  // A controller with a line of its own.
  bool AddDevice(std::shared_ptr<PMBusProtocol> ctrl, std::unique_ptr<wire::Transport> transport);
  void SetReportSink(ReportSink s) { report_ = std::move(s); }
  void SetLinkSink(LinkSink s) { link_sink_ = std::move(s); }

  // Runs every line on its own thread until Stop(); lines added since the
  // last call start polling.
  void Start();
  void Stop();
  // Stops a line and lets go of its controllers once the round-end jobs
  // queued so far have run (nothing of theirs runs after this returns). The
  // other lines poll on. False when there is no such line.
  bool RemoveLine(size_t line);
  // The line a device polls on; false when there is no such device.
  bool LineOf(unsigned int device_id, size_t& line) const;
  // Clears (with events, in the history) the raised alarms of every unit no
  // device polls any more, and forgets their points. Returns how many were
  // raised.
  size_t RetireAlarms();
  // Without Start(): one pass over every line on the caller's thread, waiting
  // at most max_wait_ms (tests).
  void RunOnce(int max_wait_ms);
  // Stops the lines, finishes queued jobs and writes what is pending.
  void Shutdown();

  // --- any thread ---
  // Sends control command `code` (DeviceIoControl) with `in` to a device when
  // its line is between exchanges, and waits for the controller's answer.
  // Paced per device (Options::control_spacing_ms, control_queue): a command
  // beyond the queue is refused at once. Waits for its turn and then for the
  // answer at most `limit` each (0: twice the device's answer time-out plus
  // 2 s). Unknown device, queue full, line down, no answer: -1 with the
  // reason (not logged here: the view's door audits every attempt).
  ControlResult Control(unsigned int device_id, int code, const std::vector<unsigned char>& in,
                        std::chrono::milliseconds limit = std::chrono::milliseconds(0));
  // A control attempt for the audit trail: `line` to the log (never
  // rate-limited) and the entry to the history when one is kept.
  void Audit(const store::AuditEntry& entry, const std::string& line);
  // Points the gateway derives for a device from its values (the battery's
  // discharge and low autonomy), stated each round like a unit's: `points`
  // are every point of `key` under the device's data identifier (a point
  // not stated is cleared; state every point each round), committed through the alarm service to
  // the history. Returns the events (raise and clear) for the caller's round.
  std::vector<store::AlarmEvent> StateDerivedPoints(unsigned int device_id, const std::string& key,
                                                    std::vector<rule_value> points);
  // The result of the device's last control command (DeviceIoControl query).
  ControlResult ControlQuery(unsigned int device_id);
  std::optional<DeviceSnapshot> Snapshot(unsigned int device_id) const;
  std::vector<unsigned int> DeviceIds() const;

  uint64_t rounds(unsigned int device_id) const;
  std::vector<store::ActiveAlarm> ActiveAlarms() const { return alarms_.Active(); }
  // Every polling line has tried its port since it started.
  bool LinesTried() const;
  // Every polling line began a pass within `bound`; false with the first line
  // that did not in `stuck` (a thread wedged in a plug-in call or a driver).
  bool LinesTurning(std::chrono::milliseconds bound, std::string& stuck) const;
  store::HistoryStore* history() { return history_.get(); }
  // The image a unit last published under `type`; empty when none.
  std::vector<unsigned char> LastImage(unsigned int data_id, int type) const;
  // The image this unit last published (under the type it published with).
  std::vector<unsigned char> LastImage(const QMXVDevice& unit) const;
  // An exchange in flight, or a request or command waiting, on the device's line.
  bool Busy(const PMBusProtocol& ctrl) const;
  line::LineStats stats(const PMBusProtocol& ctrl) const;

  // HostServices
  bool Publish(QMXVDevice& dev, int type, const unsigned char* data, int len, bool flag,
               bool changed) override;
  bool ThresholdPoint(QMXVDevice& dev, const rule_value& rule) override;
  bool BatchCheck(QMXVDevice& dev, const std::vector<rule_value>& rules) override;
  void QueueJob(QMXVDevice& dev, std::function<void()> job) override;
  void SaveHistory(QMXVDevice& dev, const unsigned char* data, int len) override;
  void Log(const std::string& line) override;
  int RefreshStatus(QMXSPDevice& dev) override;
  void Reset(QMXSPDevice& dev) override;
  bool OpenPort(QMXSPDevice& dev) override;
  bool SendRequest(PMBusProtocol& dev, uint8_t cid1, uint8_t cid2, const unsigned char* info,
                   int info_len) override;

 private:
  using Clock = std::chrono::steady_clock;
  struct Device {
    std::shared_ptr<PMBusProtocol> ctrl;
    std::shared_ptr<line::LineSession> line;
    size_t line_id = 0;
    std::vector<unsigned int> unit_ids;
    // Guarded by mu_.
    int64_t last_round = 0;
    int64_t last_round_ms = 0;
    std::vector<store::AlarmEvent> round_events;
    ControllerModel model;
    bool lost = false;
    uint64_t control_round = 0;  // rounds completed when its last command ended
    bool settled = false;        // the line's thread only: restored alarms settled
  };
  // Lines and devices; never changed once published, replaced whole.
  struct Tables {
    std::map<size_t, std::shared_ptr<line::LineSession>> lines;
    std::vector<std::shared_ptr<Device>> devices;
    std::map<const QMXController*, std::shared_ptr<Device>> by_host_ctrl;
  };
  // Hold the result in a local before looping over its members: a range-for
  // over tables()->devices would let the tables go while it runs.
  std::shared_ptr<const Tables> tables() const;
  void Replace(std::shared_ptr<const Tables> next);
  std::shared_ptr<Device> DeviceOf(const QMXSPDevice& ctrl) const;
  std::shared_ptr<Device> DeviceOfUnit(const QMXVDevice& unit) const;
  std::shared_ptr<Device> DeviceById(unsigned int device_id) const;
  // Returns once every job posted before the call has run.
  void DrainJobs();
  void OnRound(PMBusProtocol& ctrl, const line::RoundTiming& timing);
  void OnLink(PMBusProtocol& ctrl, bool answering, int missed);
  void OnAnswer(PMBusProtocol& ctrl, uint8_t cid1, uint8_t cid2, const uint8_t* frame, size_t len);
  // To the history; with `in_round`, also into the
  // device's next round report.
  void CommitEvents(Device* device, const std::vector<store::AlarmEvent>& events,
                    bool in_round = true);
  void RateLimitedLog(const std::string& key, const std::string& line);
  void WriteLog(const std::string& line);
  void KeepImage(const QMXVDevice& unit, int type, std::vector<unsigned char> image);
  int64_t Now() const;
  // The newest image of each unit of `ids` (all when null) that the store decision
  // passed over goes to the history; then everything pending is committed.
  void WriteLatest(const std::set<unsigned int>* ids);

  Options options_;
  LogSink log_;
  ReportSink report_;
  LinkSink link_sink_;
  mutable std::mutex tables_mu_;  // guards tables_ (the pointer, not what it points to)
  std::shared_ptr<const Tables> tables_;
  ControlPacer control_pacer_;
  std::condition_variable round_cv_;  // with mu_: a round completed (control waits for one)
  size_t next_line_ = 0;
  bool started_ = false;
  store::AlarmService alarms_;
  std::unique_ptr<store::HistoryStore> history_;
  store::JobRunner jobs_;

  mutable std::mutex mu_;  // guards what follows and Device's guarded fields
  // (data id, type) -> image; (data id, device type) -> the type it published.
  std::map<std::pair<unsigned int, int>, std::vector<unsigned char>> last_images_;
  std::map<std::pair<unsigned int, std::string>, int> unit_types_;
  std::map<std::string, std::pair<Clock::time_point, uint64_t>> log_limits_;

  // Whether a unit's round end is stored (history on change).
  RecordKeeper records_;
};

}  // namespace qmx
