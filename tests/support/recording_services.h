#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qmx/host_services.h"
#include "qmx/pmbus_protocol.h"

namespace qmx {

// A host that keeps every call it receives, for tests. Jobs are kept until
// RunJobs(), or run at once when run_jobs_inline is set. Safe to use from the
// poll thread, host threads and job threads at once.
class RecordingServices : public HostServices {
 public:
  struct Image {
    unsigned int data_id;
    int type;
    std::vector<unsigned char> bytes;
    bool flag;
    bool changed;
  };
  struct History {
    unsigned int data_id;
    std::vector<unsigned char> bytes;
  };
  struct Request {
    uint8_t ver, adr, cid1, cid2;
    std::vector<unsigned char> info;
  };
  struct Batch {
    unsigned int data_id;
    std::vector<rule_value> rules;
  };

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

  // Runs and drops the jobs queued so far, in order; returns how many ran.
  size_t RunJobs();
  void Clear();

  // Snapshots (copies taken under the lock).
  std::vector<Image> images() const;
  std::vector<rule_value> points() const;
  std::vector<Batch> batches() const;
  std::vector<History> history() const;
  std::vector<std::string> logs() const;
  std::vector<Request> requests() const;
  size_t jobs_queued() const;
  size_t jobs_total() const;
  int resets() const;
  int port_opens() const;

  // Behaviour knobs.
  bool run_jobs_inline = false;
  int refresh_result = 1;
  bool batch_result = false;

 private:
  mutable std::mutex mu_;
  std::vector<Image> images_;
  std::vector<rule_value> points_;
  std::vector<Batch> batches_;
  std::vector<History> history_;
  std::vector<std::string> logs_;
  std::vector<Request> requests_;
  std::vector<std::function<void()>> jobs_;
  size_t jobs_total_ = 0;
  int resets_ = 0;
  int port_opens_ = 0;
};

}  // namespace qmx
