#pragma once

// Exports a site to an MQTT broker: each unit's values, alarm events, the
// active alarms, line statistics, availability of the gateway and of every
// controller, Home Assistant discovery, and control requests from the broker.
//
// Threads: one thread of its own owns the broker connection (every libmosquitto
// call and callback runs there), and one worker sends control commands, which
// may wait seconds for their line. OnRound may be called from any thread and
// only copies into bounded buffers: a slow or absent broker never holds the
// caller. While the broker is away the newest values of each unit and up to
// max_events alarm events are kept (the oldest dropped, counted and logged);
// they go out when the connection is back (reconnect with back-off).
#include <atomic>
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
#include <thread>
#include <vector>

#include "mqtt/mqtt_config.h"
#include "mqtt/mqtt_control.h"
#include "view/site_view.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace qmx::exporter {

// What the export reads from the site: the view of each device (health,
// model, active alarms, line statistics) and control through the view.
struct MqttSource {
  std::function<std::optional<view::DeviceView>(unsigned int)> device;
  // Through the view's door: audited there, whatever the outcome.
  std::function<ControlResult(const view::ControlAttempt&)> control;
  // An attempt the export turned away before the door (malformed, control
  // off, not allowed, retained, too many waiting): audited by the view.
  // `outcome` as SiteView::Refused takes it. Null: the export logs the audit
  // line itself (no history row).
  std::function<void(const view::ControlAttempt&, const std::string& outcome,
                     const std::string& reason)>
      refused;
  // The history's outbox for the broker: alarm events (communication
  // changes among them) and the records stored while the broker was away
  // are sent from the history past its cursor, which moves when the broker
  // has acknowledged them. Null (no history): alarm events wait in memory,
  // up to max_events, and die with the process.
  std::shared_ptr<view::Outbox> outbox;
  std::function<std::optional<unsigned int>(unsigned int)> device_of_unit;
  std::function<std::optional<view::SiteView::StoredUnit>(const store::HistoryRecord&)> read_record;
  // Operators' actions from the broker: the door's request checks (time
  // window, request id; "" when it may run) and the board's audited door.
  // Null: alarm actions are refused.
  std::function<std::string(const std::string& via, const std::string& request_id, int64_t sent_at)>
      check_request;
  std::function<view::AlarmActionResult(const view::AlarmAction&)> act;
  static MqttSource Of(view::SiteView& view);
};

struct MqttStats {
  uint64_t connects = 0;
  uint64_t messages = 0, bytes = 0;  // handed to the broker connection
  uint64_t events_dropped = 0;       // no history: lost from the memory queue (or at exit)
  uint64_t events_replayed = 0;      // from the history: sent and acknowledged
  uint64_t records_replayed = 0;
  uint64_t control_refused = 0;
  // Refusals in a flood, audited as a count in one row per topic and 30 s
  // instead of one row each.
  uint64_t refusals_counted = 0;
  // Retained control messages handed over again (a reconnect) after this
  // export refused them once: neither run nor audited again.
  uint64_t retained_again = 0;
  uint64_t results_left_out = 0;  // control results not published (rate limit)
  uint64_t taken_over = 0;        // evicted: another connection took our client id
  uint64_t notices = 0;           // alarm board notices handed to the broker
  uint64_t notices_dropped = 0;   // lost from the memory queue (broker away too long)
  uint64_t alarm_actions = 0;     // operators' actions handed to the board's door
  double max_delay_ms = 0;        // round report to its first state message
  double total_delay_ms = 0;
  uint64_t delays = 0;
  std::map<unsigned int, std::pair<uint64_t, uint64_t>> per_device;  // messages, bytes
};

class MqttExport {
 public:
  using Log = std::function<void(const std::string&)>;
  MqttExport(MqttConfig config, MqttSource source, Log log);
  ~MqttExport();
  MqttExport(const MqttExport&) = delete;
  MqttExport& operator=(const MqttExport&) = delete;

  void Start();
  // Sends what is pending (waiting at most about 2 s for the broker), marks the
  // gateway and the devices offline and disconnects. Idempotent.
  void Stop();

  // A completed round (any thread; copies and returns). Its units are every
  // unit of the device: a unit not listed is taken as gone from the device.
  void OnRound(const view::RoundView& round);
  // A controller stopped answering or answers again (any thread).
  void OnLink(const LinkReport& report);
  // What the alarm board tells the operators (any thread; copies and
  // returns): published on <device>/notices, and the device's retained
  // alarms are read again.
  void OnAlarm(const view::AlarmNotice& notice);
  // The site's devices after a reload (any thread; applied on the export
  // thread, on the same connection): a new device is announced, a removed
  // one has its retained topics emptied, one whose name or allow-list changed
  // is updated in place. Broker settings do not change here.
  void UpdateDevices(std::vector<MqttDevice> devices);

  MqttStats stats() const;
  bool connected() const { return connected_flag_; }
  const MqttConfig& config() const { return cfg_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Event {
    uint64_t id = 0;
    unsigned int device = 0;
    store::AlarmEvent e;
  };
  struct Result {
    unsigned int device = 0;
    ControlRequest request;
    ControlResult result;
    std::optional<AlarmRequest> alarm;  // an operator's action: answered on alarm/result
  };
  struct Job {
    unsigned int device = 0;
    ControlRequest request;
    std::optional<AlarmRequest> alarm;  // an operator's action instead of a command
  };
  struct Notice {
    uint64_t seq = 0;  // in the order the board told them
    unsigned int device = 0;
    std::string payload;
  };
  struct Unit {
    unsigned int data_id = 0;
    int type = 0;
    std::vector<view::Field> fields;  // what discovery announces
    std::string shape;                // the fields in short, to tell a change
    std::string payload;              // newest state message
    std::string values;               // its values, to tell a change
    std::string sent_values;          // the values last sent
    Clock::time_point sent_at{};
    bool sent = false;
  };
  struct Dev {
    MqttDevice cfg;
    std::string model, version;  // as the controller reported them
    bool answering = false;
    bool availability_sent = false, availability_value = false;
    std::map<unsigned int, Unit> units;
    bool units_changed = false;
    Clock::time_point report_at{};  // OnRound of the newest report not yet published
    bool report_pending = false;
    std::string alarms_payload;
    bool alarms_dirty = true;
    // The retained alarms without what a chattering point changes at every
    // transition: the topic goes out again when this changes or the board
    // told something of the device, not at each raw transition.
    std::string alarms_steady;
    bool alarms_told = false;  // a board notice since the alarms were last read
    std::map<std::string, Json::Value> alarm_points;  // object id -> point (seen ever)
    std::string stats_payload, stats_sent;
    Clock::time_point stats_at{};
    // The energy and battery figures (BatteryJson): sent when they change,
    // with the round that changed them.
    std::string battery_payload, battery_sent;
    bool battery_configured = false;  // the site names battery strings

    bool discovery_dirty = true;
    std::vector<std::string> discovery_sent;  // discovery topics last published
    // What the retained index of an earlier run listed for this device, until
    // this run announces it (configs no longer made are then cleared).
    std::vector<std::string> inherited;
    std::map<std::string, std::string> discovery_payloads;  // as sent on this connection
    // Control results: a token bucket, and the results it left out since
    // the last one sent.
    double result_tokens = 5;
    Clock::time_point result_at{};
    uint64_t results_left_out = 0;
  };
  struct Pending {
    uint64_t round = 0;
    int64_t time = 0;
    std::vector<view::UnitValues> units;
    Clock::time_point at;
  };

  // The broker session (mqtt_session.cpp).
  void Run();
  void Poll(Clock::time_point now);
  struct Lookup;
  // The broker's address: true with it; false while the lookup runs (error
  // empty) or when it failed or took too long (error set).
  bool Resolve(Clock::time_point now, std::string& address, std::string& error);
  void Connect(Clock::time_point now);
  void RetryLater(const std::string& why, Clock::time_point now);
  void NextBackOff();
  void Lost(const std::string& why, Clock::time_point now);
  void TakenOver();
  void RequeueInflight();
  void Connected();
  void FinalFlush();
  void DrainEvents(Clock::time_point deadline);
  void SayOfflineAndDisconnect();
  bool Send(const std::string& topic, const std::string& payload, int qos, bool retain,
            unsigned int device = 0, int* mid = nullptr, const std::string& correlation = {});
  // libmosquitto callbacks (the export thread).
  static void OnConnect(mosquitto*, void*, int, int, const mqtt5__property*);
  static void OnDisconnect(mosquitto*, void*, int, const mqtt5__property*);
  static void OnPublish(mosquitto*, void*, int, int, const mqtt5__property*);
  static void OnMessage(mosquitto*, void*, const mosquitto_message*, const mqtt5__property*);

  // Inputs and output (mqtt_export.cpp).
  void TakeInputs();
  void TakeRound(Dev& d, const Pending& p);
  void CheckDevices(Clock::time_point now);
  void CheckDevice(Dev& d, const view::DeviceView& s);
  void Flush(Clock::time_point now);
  void FlushDevice(Dev& d, Clock::time_point now);
  void FlushUnits(Dev& d, Clock::time_point now);
  void CountDelay(Clock::time_point report_at);
  void FlushEvents();
  void FlushNotices();
  // The outbox (mqtt_outbox.cpp): what the history owes the broker, paced,
  // oldest first; the cursor moves over what the broker acknowledged, in
  // order.
  void OutboxConnected();
  void FlushOutbox(Clock::time_point now);
  bool SendOwedEvent(const store::HistoryEvent& e);
  bool SendOwedRecord(const store::HistoryRecord& r);
  void OutboxAcked(int mid);
  void OutboxLost(const std::string& why);
  void OutboxCaughtUp(bool confirmed = false);
  bool OutboxOwes() const;  // sent and not acknowledged, or known and not sent
  void LogOutboxLeft(bool connected);
  void ApplyDevices(std::vector<MqttDevice> devices);
  // Empties every retained topic this run or an earlier one gave the device.
  void ClearRetained(const Dev& d);
  void PublishDiscovery(Dev& d);
  void PublishGateway();
  // Discovery, alarms and states go out again (a new connection, Home
  // Assistant started again).
  void ResendRetained();
  void PublishIndex();
  void HandleIndex(const std::string& payload);
  void SettleIndex();
  bool OwnTopic(const std::string& topic) const;  // under the prefix or the discovery prefix
  void HandleMessage(const std::string& topic, const std::string& payload, bool retained,
                     const std::string& correlation);
  void RateLog(const std::string& key, const std::string& line);
  void QueueEvents(unsigned int device, const std::vector<store::AlarmEvent>& events);  // under mu_
  Dev* DeviceByTopic(const std::string& topic_level);
  Dev* DeviceById(unsigned int id);
  std::string DeviceTopic(const Dev& d, const std::string& leaf) const;
  std::string GatewayTopic(const std::string& leaf) const;
  std::string ClientId() const;

  // Control (mqtt_control.cpp).
  void Work();
  ControlResult RunControl(const Job& job);
  void HandleControl(const std::string& topic, const std::string& device_level,
                     const std::string& payload, bool retained, const std::string& correlation);
  view::ControlAttempt Attempt(unsigned int device, const ControlRequest& r) const;
  view::ControlAttempt Attempt(unsigned int device, const AlarmRequest& r) const;
  // Operators' actions (mqtt_control.cpp): `alarm/set` in, through the same
  // checks and queue as control, to the board's door.
  void HandleAlarm(const std::string& topic, const std::string& device_level,
                   const std::string& payload, bool retained, const std::string& correlation);
  Result RunAlarm(const Job& job);
  // A refusal before the door: its result, and its audit row (or its count,
  // in a flood on its topic).
  void Refuse(const std::string& topic, unsigned int device, const ControlRequest& r,
              const std::string& reason, const std::string& outcome = "refused",
              const AlarmRequest* alarm = nullptr);
  void AuditRefusal(const view::ControlAttempt& a, const std::string& outcome,
                    const std::string& reason);
  // The counts of refusals whose topic's window has ended (all of them at
  // stop) go to the audit.
  void FlushRefusals(Clock::time_point now, bool all);
  void FlushResults(Clock::time_point now);
  // False when the device's control results are over their rate.
  bool TakeResultToken(Dev& d, Clock::time_point now);

  const MqttConfig cfg_;
  const MqttSource source_;
  const Log log_;

  // Export thread only.
  mosquitto* mosq_ = nullptr;
  bool connected_ = false;
  bool lost_ = false;
  Clock::time_point attempt_at_{}, next_attempt_{};
  int backoff_ms_ = 0;
  Clock::time_point connected_at_{};
  std::shared_ptr<Lookup> lookup_;  // the broker's name being looked up
  Clock::time_point lookup_since_{};
  bool taken_over_ = false;  // the broker gave our client id to another connection
  int quick_losses_ = 0;     // connections in a row lost within kStableConnection
  std::vector<Dev> devs_;
  std::map<int, Event> inflight_;           // mid -> event awaiting its PUBACK
  std::map<int, Notice> notices_inflight_;  // mid -> notice awaiting its PUBACK
  // The outbox on this connection: ids handed to the broker, those awaiting
  // their PUBACK (id -> acknowledged), the mids, what was read ahead.
  int64_t event_sent_ = 0, record_sent_ = 0;
  std::map<int64_t, bool> owed_events_, owed_records_;
  std::map<int, std::pair<bool, int64_t>> owed_mids_;  // mid -> (a record, its id)
  std::deque<store::HistoryEvent> event_ahead_;
  std::deque<store::HistoryRecord> record_ahead_;
  int64_t replay_before_ = 0;  // records of a time before this (epoch s) are replayed
  bool replay_done_ = false;
  double replay_tokens_ = 0;
  Clock::time_point replay_at_{}, replay_started_{}, outbox_head_at_{};
  Clock::time_point event_idle_until_{}, record_idle_until_{};
  std::deque<std::pair<Clock::time_point, int64_t>> live_heads_;  // the history's head, when
  std::atomic<bool> outbox_wake_{false};
  std::set<int> closing_mids_;  // the final offline messages awaiting their PUBACK
  bool index_settled_ = false;
  Clock::time_point index_wait_until_{};
  Json::Value old_index_;
  bool index_dirty_ = false;
  bool gateway_dirty_ = true;  // the gateway's own discovery config
  Clock::time_point last_check_{};
  std::string disconnect_reason_;
  bool was_connected_ = false;
  // Refusals per control topic: the first is audited at once; those within
  // kRefusalWindow after it are counted and audited as one row at its end.
  struct RefusalWindow {
    Clock::time_point since{};
    uint64_t count = 0;
    std::string topic;
    view::ControlAttempt last;
    std::string last_reason;
  };
  std::map<std::string, RefusalWindow> refusal_windows_;
  // Retained control messages refused by this export (topic, NUL, payload):
  // the broker hands them over at every connect; they are audited once.
  std::set<std::string> retained_seen_;
  std::mutex log_mu_;  // RateLog runs on the export thread and the worker
  std::map<std::string, Clock::time_point> log_limits_;

  std::atomic<bool> connected_flag_{false};
  std::atomic<bool> started_{false}, stopped_{false};
  std::thread thread_, worker_;

  // Shared with OnRound and the control worker.
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool stopping_ = false;
  std::map<unsigned int, Pending> pending_;             // newest report per device
  std::optional<std::vector<MqttDevice>> new_devices_;  // from UpdateDevices
  std::deque<Event> events_;
  std::deque<Notice> notices_;   // board notices for the broker, bounded (max_events)
  std::set<unsigned int> told_;  // devices the board told something of since the last check
  uint64_t notices_dropped_since_log_ = 0;
  uint64_t next_notice_seq_ = 1;
  std::map<unsigned int, bool> links_;  // answering, as the newest link report said
  uint64_t next_event_id_ = 1;
  uint64_t dropped_since_log_ = 0;
  std::deque<Result> results_;
  std::deque<Job> jobs_;
  std::condition_variable job_cv_;
  bool job_running_ = false;
  MqttStats stats_;
};

}  // namespace qmx::exporter
