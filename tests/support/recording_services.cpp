#include "support/recording_services.h"

namespace qmx {

bool RecordingServices::Publish(QMXVDevice& dev, int type, const unsigned char* data, int len,
                                bool flag, bool changed) {
  std::lock_guard<std::mutex> lock(mu_);
  images_.push_back({dev.DataId(), type, std::vector<unsigned char>(data, data + len), flag, changed});
  return true;
}

bool RecordingServices::ThresholdPoint(QMXVDevice&, const rule_value& rule) {
  std::lock_guard<std::mutex> lock(mu_);
  points_.push_back(rule);
  return true;
}

bool RecordingServices::BatchCheck(QMXVDevice& dev, const std::vector<rule_value>& rules) {
  std::lock_guard<std::mutex> lock(mu_);
  batches_.push_back({dev.DataId(), rules});
  return batch_result;
}

void RecordingServices::QueueJob(QMXVDevice&, std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++jobs_total_;
    if (!run_jobs_inline) {
      jobs_.push_back(std::move(job));
      return;
    }
  }
  job();
}

void RecordingServices::SaveHistory(QMXVDevice& dev, const unsigned char* data, int len) {
  std::lock_guard<std::mutex> lock(mu_);
  history_.push_back({dev.DataId(), std::vector<unsigned char>(data, data + len)});
}

void RecordingServices::Log(const std::string& line) {
  std::lock_guard<std::mutex> lock(mu_);
  logs_.push_back(line);
}

int RecordingServices::RefreshStatus(QMXSPDevice&) { return refresh_result; }

void RecordingServices::Reset(QMXSPDevice&) {
  std::lock_guard<std::mutex> lock(mu_);
  ++resets_;
}

bool RecordingServices::OpenPort(QMXSPDevice&) {
  std::lock_guard<std::mutex> lock(mu_);
  ++port_opens_;
  return true;
}

bool RecordingServices::SendRequest(PMBusProtocol& dev, uint8_t cid1, uint8_t cid2,
                                    const unsigned char* info, int info_len) {
  std::lock_guard<std::mutex> lock(mu_);
  Request r{dev.protocol_ver, dev.address, cid1, cid2, {}};
  if (info != nullptr && info_len > 0) r.info.assign(info, info + info_len);
  requests_.push_back(std::move(r));
  return true;
}

size_t RecordingServices::RunJobs() {
  std::vector<std::function<void()>> jobs;
  {
    std::lock_guard<std::mutex> lock(mu_);
    jobs.swap(jobs_);
  }
  for (auto& job : jobs) job();
  return jobs.size();
}

void RecordingServices::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  images_.clear();
  points_.clear();
  batches_.clear();
  history_.clear();
  logs_.clear();
  requests_.clear();
  jobs_.clear();
  jobs_total_ = 0;
  resets_ = 0;
  port_opens_ = 0;
}

#define QMX_SNAPSHOT(type, name, member)          \
  type RecordingServices::name() const {          \
    std::lock_guard<std::mutex> lock(mu_);        \
    return member;                                \
  }
QMX_SNAPSHOT(std::vector<RecordingServices::Image>, images, images_)
QMX_SNAPSHOT(std::vector<rule_value>, points, points_)
QMX_SNAPSHOT(std::vector<RecordingServices::Batch>, batches, batches_)
QMX_SNAPSHOT(std::vector<RecordingServices::History>, history, history_)
QMX_SNAPSHOT(std::vector<std::string>, logs, logs_)
QMX_SNAPSHOT(std::vector<RecordingServices::Request>, requests, requests_)
QMX_SNAPSHOT(size_t, jobs_queued, jobs_.size())
QMX_SNAPSHOT(size_t, jobs_total, jobs_total_)
QMX_SNAPSHOT(int, resets, resets_)
QMX_SNAPSHOT(int, port_opens, port_opens_)
#undef QMX_SNAPSHOT

}  // namespace qmx
