#include "mqtt/mqtt_control.h"

#include <fmt/format.h>

#include <algorithm>

#include "input/checked_json.h"
#include "mqtt/mqtt_export.h"
#include "mqtt/mqtt_messages.h"
#include "view/control_rules.h"

namespace qmx::exporter {
namespace {

constexpr size_t kMaxControlPayload = 1024;
constexpr size_t kMaxResults = 64;  // control results waiting for the broker
constexpr size_t kMaxJobsPerDevice = 2;
// Refusals on the broker per device: a burst of this many, then one a
// second; the ones left out are counted and the count goes out with the next
// result, so a flood of requests gets a bounded number of answers.
constexpr double kResultBurst = 5, kResultsPerSecond = 1;

// The request's "id": a short string or an integer.
bool ReadRequestId(const Json::Value& id, Json::Value& out, std::string& reason) {
  if (id.isNull()) return true;
  std::string s;
  int64_t n = 0;
  if (json::ToString(id, s) && s.size() <= 128)
    out = s;
  else if (json::ToInt64(id, n))
    out = Json::Int64(n);
  else {
    reason = "\"id\" must be a string of at most 128 characters or an integer";
    return false;
  }
  return true;
}

}  // namespace

bool ParseControlRequest(const std::string& payload, const MqttDevice& device, ControlRequest& out,
                         std::string& reason) {
  if (payload.size() > kMaxControlPayload) {
    reason = fmt::format("request longer than {} bytes", kMaxControlPayload);
    return false;
  }
  Json::Value v;
  json::Limits limits;
  limits.max_depth = 4;
  limits.max_bytes = kMaxControlPayload;
  if (!json::Parse(payload, "request", v, reason, limits)) return false;
  if (!v.isObject()) {
    reason = "request must be a JSON object such as {\"code\": 106, \"byte\": 3}";
    return false;
  }
  for (const std::string& k : v.getMemberNames()) {
    if (k != "code" && k != "byte" && k != "id") {
      reason = "unknown member \"" + k + "\" (takes code, byte, id)";
      return false;
    }
  }
  if (!ReadRequestId(json::Member(v, "id"), out.id, reason)) return false;
  if (device.control.empty()) {
    reason = "control is off for this device";
    return false;
  }
  int code = 0, byte = -1;
  if (!view::ControlFromJson(v, code, byte, reason)) return false;
  if (device.control.count(code) == 0) {
    reason = fmt::format("code {} is not allowed for this device", code);
    return false;
  }
  out.code = code;
  out.byte = byte;
  return true;
}

std::string ControlResultPayload(const ControlRequest& r, const ControlResult& result,
                                 uint64_t left_out, int64_t time) {
  Json::Value v(Json::objectValue);
  v["code"] = r.code;
  if (r.byte >= 0) v["byte"] = r.byte;
  if (!r.id.isNull()) v["id"] = r.id;
  v["result"] = result.result;
  if (!result.reason.empty()) v["reason"] = result.reason;
  v["time"] = static_cast<Json::Int64>(time);
  if (left_out > 0) v["left_out"] = static_cast<Json::UInt64>(left_out);
  return json::CompactAscii(v);
}

std::string LeftOutPayload(uint64_t left_out, int64_t time) {
  Json::Value v(Json::objectValue);
  v["result"] = -1;
  v["reason"] = fmt::format("{} more control results left out (too many requests)", left_out);
  v["left_out"] = static_cast<Json::UInt64>(left_out);
  v["time"] = static_cast<Json::Int64>(time);
  return json::CompactAscii(v);
}

// --- the export's control path: requests in, the worker, results out ---

void MqttExport::Work() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    job_cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    if (stopping_) {
      if (results_.size() < kMaxResults)
        results_.push_back(Result{job.device, job.request, {-1, "gateway stopping"}});
      continue;
    }
    job_running_ = true;
    lock.unlock();
    ControlResult result = RunControl(job);
    lock.lock();
    job_running_ = false;
    if (results_.size() >= kMaxResults) results_.pop_front();
    results_.push_back(Result{job.device, std::move(job.request), std::move(result)});
    cv_.notify_all();
  }
}

ControlResult MqttExport::RunControl(const Job& job) {
  ControlResult result;
  try {
    view::ControlAttempt a;
    a.via = "mqtt";
    a.peer = cfg_.host;  // the broker: MQTT does not name the publisher
    a.device = job.device;
    a.code = job.request.code;
    a.byte = job.request.command_byte() ? *job.request.command_byte() : -1;
    result = source_.control(a);
  } catch (const std::exception& e) {
    result = {-1, std::string("control failed: ") + e.what()};
  }
  const std::string line = fmt::format("mqtt: control {} on device {} from the broker: result {}{}",
                                       job.request.code, job.device, result.result,
                                       result.reason.empty() ? "" : " (" + result.reason + ")");
  // Commands sent are paced by the host; refusals can come fast.
  if (result.result >= 0) {
    if (log_) log_(line);
  } else {
    RateLog("control-failed" + std::to_string(job.device), line);
  }
  return result;
}

void MqttExport::HandleControl(const std::string& level, const std::string& payload,
                               const std::string& correlation) {
  Dev* d = DeviceByTopic(level);
  if (d == nullptr) {
    RateLog(
        "control-unknown",
        fmt::format("mqtt: control request for unknown device \"{}\" ignored", TopicName(level)));
    return;
  }
  ControlRequest r;
  r.correlation = correlation;
  std::string reason;
  if (!ParseControlRequest(payload, d->cfg, r, reason)) return Refuse(d->cfg.id, r, reason);
  std::unique_lock<std::mutex> lock(mu_);
  // One device's flood must not fill the queue for the others.
  const size_t own = static_cast<size_t>(std::count_if(
      jobs_.begin(), jobs_.end(), [&](const Job& j) { return j.device == d->cfg.id; }));
  if (jobs_.size() >= cfg_.control_queue || own >= kMaxJobsPerDevice) {
    lock.unlock();
    return Refuse(d->cfg.id, r, "too many control requests waiting");
  }
  jobs_.push_back(Job{d->cfg.id, std::move(r)});
  job_cv_.notify_one();
}

void MqttExport::Refuse(unsigned int device, const ControlRequest& r, const std::string& reason) {
  RateLog("refused" + std::to_string(device),
          fmt::format("mqtt: control request for device {} refused: {}", device, reason));
  std::lock_guard<std::mutex> lock(mu_);
  ++stats_.control_refused;
  if (results_.size() >= kMaxResults) results_.pop_front();
  results_.push_back(Result{device, r, {-1, reason}});
}

void MqttExport::FlushResults(Clock::time_point now) {
  for (;;) {
    Result r;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (results_.empty()) break;
      r = std::move(results_.front());
      results_.pop_front();
    }
    Dev* d = DeviceById(r.device);
    if (d == nullptr) continue;
    // A command the controller answered is always reported (the host paces
    // those); refusals and failures are what a flood makes.
    if (r.result.result < 0 && !TakeResultToken(*d, now)) {
      ++d->results_left_out;
      std::lock_guard<std::mutex> lock(mu_);
      ++stats_.results_left_out;
      continue;
    }
    const std::string payload =
        ControlResultPayload(r.request, r.result, d->results_left_out, EpochNow());
    d->results_left_out = 0;
    Send(DeviceTopic(*d, "control/result"), payload, 1, false, d->cfg.id, nullptr,
         r.request.correlation);
  }
  // After a flood, how many results were left out, once there is room.
  for (Dev& d : devs_) {
    if (d.results_left_out == 0 || !TakeResultToken(d, now)) continue;
    const std::string payload = LeftOutPayload(d.results_left_out, EpochNow());
    d.results_left_out = 0;
    Send(DeviceTopic(d, "control/result"), payload, 1, false, d.cfg.id);
  }
}

bool MqttExport::TakeResultToken(Dev& d, Clock::time_point now) {
  if (d.result_at != Clock::time_point()) {
    const double s = std::chrono::duration<double>(now - d.result_at).count();
    d.result_tokens = std::min(kResultBurst, d.result_tokens + s * kResultsPerSecond);
  }
  d.result_at = now;
  if (d.result_tokens < 1) return false;
  d.result_tokens -= 1;
  return true;
}

}  // namespace qmx::exporter
