#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qmx/host_services.h"
#include "qmx/pmbus_protocol.h"
#include "store/alarm_service.h"
#include "store/history_store.h"
#include "store/job_runner.h"
#include "wire/line_keeper.h"

namespace qmx {

// What the host learned in one completed round of one controller.
struct RoundReport {
  unsigned int device_id = 0;
  uint64_t round = 0;
  int64_t time = 0;                       // epoch seconds of the round end
  std::string values;                     // whatever the snapshot callback produced
  double duration_ms = 0;                 // first request of the round to its end
  uint64_t bytes_out = 0, bytes_in = 0;   // on the line during the round
  uint64_t exchanges = 0;                 // requests sent during the round
  std::vector<store::AlarmEvent> events;  // alarm changes committed this round
};

// The real host behind the plug-in: one line per controller (serial port or
// any transport), the poll loop, alarm service, job runner and history store.
// All plug-in calls except round-end jobs arrive on the thread that runs
// RunOnce; jobs run on the job runner's worker.
class SiteHost : public HostServices {
 public:
  struct Options {
    size_t job_queue = 256;
    std::string db_path;  // empty: no history
    store::RetentionPolicy retention;
    int poll_tick_ms = 100;
    int missed_answers_invalidate = 3;
  };
  using LogSink = std::function<void(const std::string&)>;
  // Runs on the poll thread right at round end (values as that round left them).
  using Snapshot = std::function<std::string(PMBusProtocol& ctrl)>;
  // Runs on the job worker once the round's jobs (alarms, history) are done.
  using ReportSink = std::function<void(const RoundReport&)>;
  using EventSink = std::function<void(const store::AlarmEvent&)>;

  SiteHost(Options options, LogSink log);
  ~SiteHost() override;

  // Opens the history store when one is configured; false (logged) when it
  // cannot be opened now (polling still works; writes are retried).
  bool OpenHistory();
  // Restores every unit of `ctrl` from its last stored image.
  void RestoreUnits(PMBusProtocol& ctrl);

  void AddDevice(std::shared_ptr<PMBusProtocol> ctrl, std::unique_ptr<wire::Transport> line);
  void SetSnapshot(Snapshot s) { snapshot_ = std::move(s); }
  void SetReportSink(ReportSink s) { report_ = std::move(s); }
  void SetEventSink(EventSink s) { event_sink_ = std::move(s); }

  // One pass of the poll loop: waits at most max_wait_ms for input or a timer.
  void RunOnce(int max_wait_ms);
  // Finishes queued jobs and writes what is pending.
  void Shutdown();

  uint64_t rounds(unsigned int device_id) const;
  std::vector<store::ActiveAlarm> ActiveAlarms() const { return alarms_.Active(); }
  store::HistoryStore* history() { return history_.get(); }
  std::vector<unsigned char> LastImage(unsigned int data_id) const;
  // Exchange in flight on the device's line.
  bool Busy(const PMBusProtocol& ctrl) const;

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
  bool AnswerReceived(PMBusProtocol& dev, uint8_t rtn) override;
  void FrameDropped(PMBusProtocol& dev, const std::string& why) override;

  struct LineStats {
    uint64_t requests = 0, answers = 0, timeouts = 0, dropped = 0, bytes_out = 0, bytes_in = 0;
  };
  LineStats stats(const PMBusProtocol& ctrl) const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Line {
    std::shared_ptr<PMBusProtocol> ctrl;
    std::unique_ptr<wire::LineKeeper> keeper;
    bool in_flight = false;
    Clock::time_point deadline;
    Clock::time_point next_poll;
    int missed = 0;
    uint64_t rounds = 0;
    LineStats stats;
    bool published = false;   // a unit of this controller published since the last Reset
    bool round_open = false;  // a request of the current round went out
    Clock::time_point round_start;
    LineStats at_round_start;
  };
  Line* FindLine(const QMXSPDevice& dev);
  // The line of the controller a unit belongs to (through its host controller).
  Line* LineOfUnit(const QMXVDevice& unit);
  void CommitEvents(const std::vector<store::AlarmEvent>& events);
  const Line* FindLine(const QMXSPDevice& dev) const;
  void RateLimitedLog(const std::string& key, const std::string& line);
  void WriteLog(const std::string& line);
  void RoundCompleted(Line& line);

  Options options_;
  LogSink log_;
  Snapshot snapshot_;
  ReportSink report_;
  EventSink event_sink_;
  std::vector<Line> lines_;
  store::AlarmService alarms_;
  std::unique_ptr<store::HistoryStore> history_;
  store::JobRunner jobs_;

  mutable std::mutex mu_;  // guards everything below (shared with job threads)
  std::vector<store::AlarmEvent> round_events_;
  std::map<unsigned int, std::vector<unsigned char>> last_images_;
  std::map<std::string, std::pair<Clock::time_point, uint64_t>> log_limits_;
};

// Unit type number of a device type string ("k417t-ac" -> 5091), 0 if none.
int UnitTypeNumber(const std::string& device_type);

}  // namespace qmx
