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
// Refusals on one control topic: one audit row, then at most one a window
// with the count.
constexpr auto kRefusalWindow = std::chrono::seconds(30);
constexpr size_t kMaxRefusalTopics = 256;
constexpr size_t kMaxRetainedSeen = 256;

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

// The request's "time": epoch seconds, an integer.
constexpr int64_t kLatestTime = 32503680000;  // 3000-01-01
bool ReadRequestTime(const Json::Value& time, int64_t& out, std::string& reason) {
  if (time.isNull()) return true;
  if (!json::ToIntIn(time, 1, kLatestTime, out)) {
    reason = "\"time\" must be the request's time in epoch seconds (an integer)";
    return false;
  }
  return true;
}

bool Refused(std::string& reason, const std::string& why) {
  reason = view::SafeText(why);
  return false;
}

// An operator's action in the audit's reason, as the board's door writes it.
std::string AlarmWhat(const AlarmRequest& r, const std::string& why) {
  std::string what = "alarm action " + (r.action.empty() ? std::string("?") : r.action);
  if (!r.alarm.empty()) what += " " + r.alarm;
  return view::SafeText(what) + ": " + why;
}

}  // namespace

std::string ControlRequest::request_id() const {
  if (id.isString()) return id.asString();
  if (id.isIntegral()) return std::to_string(id.asInt64());
  return {};
}

bool ParseControlRequest(const std::string& payload, const MqttDevice& device, ControlRequest& out,
                         std::string& reason, bool require_id) {
  if (payload.size() > kMaxControlPayload)
    return Refused(reason, fmt::format("request longer than {} bytes", kMaxControlPayload));
  Json::Value v;
  json::Limits limits;
  limits.max_depth = 4;
  limits.max_bytes = kMaxControlPayload;
  std::string why;
  if (!json::Parse(payload, "request", v, why, limits)) return Refused(reason, why);
  if (!v.isObject())
    return Refused(reason, "request must be a JSON object such as {\"code\": 106, \"byte\": 3}");
  // What can be read goes to the audit, whatever the verdict.
  int64_t n = 0;
  if (json::ToIntIn(json::Member(v, "code"), 0, 65535, n)) out.code = static_cast<int>(n);
  if (json::ToIntIn(json::Member(v, "byte"), 0, 255, n)) out.byte = static_cast<int>(n);
  std::string id_why, time_why;
  const bool id_ok = ReadRequestId(json::Member(v, "id"), out.id, id_why);
  const bool time_ok = ReadRequestTime(json::Member(v, "time"), out.time, time_why);
  for (const std::string& k : v.getMemberNames()) {
    if (k != "code" && k != "byte" && k != "id" && k != "time")
      return Refused(reason, "unknown member \"" + k + "\" (takes code, byte, id, time)");
  }
  if (!id_ok) return Refused(reason, id_why);
  if (!time_ok) return Refused(reason, time_why);
  if (require_id && (out.request_id().empty() || out.time == 0))
    return Refused(reason,
                   "the gateway takes only requests with an \"id\" and a \"time\" (epoch seconds)");
  if (device.control.empty()) return Refused(reason, "control is off for this device");
  int code = 0, byte = -1;
  if (!view::ControlFromJson(v, code, byte, why)) return Refused(reason, why);
  if (device.control.count(code) == 0)
    return Refused(reason, fmt::format("code {} is not allowed for this device", code));
  out.code = code;
  out.byte = byte;
  return true;
}

namespace {
// What the topic alone says of a command message, whatever it requests: a
// retained one never runs, nor one on the topic of no device.
void CheckCommandTopic(const std::string& topic, bool retained, const MqttDevice* device,
                       bool& taken, std::string& reason) {
  if (retained) {
    taken = false;
    reason = view::SafeText(
        "retained message: a command kept by the broker would run again at every connect, so it "
        "never runs; publish without retain, and clear the topic: mosquitto_pub -r -n -t " +
        topic);
  } else if (device == nullptr) {
    taken = false;
    reason = view::SafeText("no device on this gateway has the topic " + topic);
  }
}

std::optional<std::string> CommandTopicLevel(const std::string& prefix, const std::string& topic,
                                             const std::string& tail) {
  const std::string head = prefix + "/";
  if (topic.size() > head.size() + tail.size() && topic.compare(0, head.size(), head) == 0 &&
      topic.compare(topic.size() - tail.size(), tail.size(), tail) == 0)
    return topic.substr(head.size(), topic.size() - head.size() - tail.size());
  return std::nullopt;
}

constexpr size_t kMaxComment = 256;
constexpr size_t kMaxAlarmId = 128;
constexpr int64_t kMaxDurationS =
    366LL * 24 * 3600;  // the board refuses what its rules do not take
}  // namespace

ControlVerdict ReadControlMessage(const std::string& topic, const std::string& payload,
                                  bool retained, const MqttDevice* device, bool require_id) {
  ControlVerdict v;
  MqttDevice none;
  v.taken = ParseControlRequest(payload, device != nullptr ? *device : none, v.request, v.reason,
                                require_id);
  CheckCommandTopic(topic, retained, device, v.taken, v.reason);
  return v;
}

std::optional<std::string> ControlTopicLevel(const std::string& prefix, const std::string& topic) {
  return CommandTopicLevel(prefix, topic, "/control/set");
}

std::string AlarmRequest::request_id() const {
  if (id.isString()) return id.asString();
  if (id.isIntegral()) return std::to_string(id.asInt64());
  return {};
}

bool ParseAlarmRequest(const std::string& payload, const MqttDevice& device, AlarmRequest& out,
                       std::string& reason, bool require_id) {
  if (payload.size() > kMaxControlPayload)
    return Refused(reason, fmt::format("request longer than {} bytes", kMaxControlPayload));
  Json::Value v;
  json::Limits limits;
  limits.max_depth = 4;
  limits.max_bytes = kMaxControlPayload;
  std::string why;
  if (!json::Parse(payload, "request", v, why, limits)) return Refused(reason, why);
  if (!v.isObject())
    return Refused(reason,
                   "request must be a JSON object such as {\"action\": \"acknowledge\", "
                   "\"alarm\": \"11_AC_8_9\"}");
  // What can be read goes to the audit, whatever the verdict.
  std::string text;
  const Json::Value& action = json::Member(v, "action");
  const Json::Value& alarm = json::Member(v, "alarm");
  const Json::Value& comment = json::Member(v, "comment");
  const Json::Value& duration = json::Member(v, "duration_s");
  if (json::ToString(action, text) && text.size() <= 32) out.action = text;
  if (json::ToString(alarm, text) && text.size() <= kMaxAlarmId) out.alarm = text;
  if (json::ToString(comment, text) && text.size() <= kMaxComment) out.comment = text;
  int64_t n = 0;
  if (json::ToIntIn(duration, 0, kMaxDurationS, n)) out.duration_s = n;
  std::string id_why, time_why;
  const bool id_ok = ReadRequestId(json::Member(v, "request_id"), out.id, id_why);
  const bool time_ok = ReadRequestTime(json::Member(v, "time"), out.time, time_why);
  for (const std::string& k : v.getMemberNames()) {
    if (k != "action" && k != "alarm" && k != "comment" && k != "duration_s" && k != "request_id" &&
        k != "time")
      return Refused(reason, "unknown member \"" + k +
                                 "\" (takes action, alarm, comment, duration_s, request_id, time)");
  }
  if (!id_ok) return Refused(reason, "\"request_id\"" + id_why.substr(4));
  if (!time_ok) return Refused(reason, time_why);
  const bool on_alarm =
      out.action == "acknowledge" || out.action == "shelve" || out.action == "unshelve";
  const bool on_device = out.action == "maintenance" || out.action == "maintenance_end";
  if (!on_alarm && !on_device)
    return Refused(reason,
                   "\"action\" must be one of acknowledge, shelve, unshelve, maintenance, "
                   "maintenance_end");
  if (!comment.isNull() && (!comment.isString() || out.comment.size() != comment.asString().size()))
    return Refused(reason,
                   fmt::format("\"comment\" must be a text of at most {} bytes", kMaxComment));
  if (on_alarm && (out.alarm.empty() || !alarm.isString()))
    return Refused(reason, "\"alarm\" must name the alarm as DATAID_KEY_SEQ");
  if (on_device && !alarm.isNull())
    return Refused(reason, "\"alarm\" is not taken by " + out.action);
  const bool timed = out.action == "shelve" || out.action == "maintenance";
  if (timed &&
      (duration.isNull() || out.duration_s <= 0 || !json::ToIntIn(duration, 1, kMaxDurationS, n)))
    return Refused(reason, "\"duration_s\" must be a positive number of seconds for " + out.action);
  if (!timed && !duration.isNull())
    return Refused(reason, "\"duration_s\" is not taken by " + out.action);
  if (require_id && (out.request_id().empty() || out.time == 0))
    return Refused(reason,
                   "the gateway takes only requests with a \"request_id\" and a \"time\" "
                   "(epoch seconds)");
  if (device.control.empty())
    return Refused(reason,
                   "control is off for this device (alarm actions take the same allow-list)");
  return true;
}

std::optional<std::string> AlarmTopicLevel(const std::string& prefix, const std::string& topic) {
  return CommandTopicLevel(prefix, topic, "/alarm/set");
}

AlarmVerdict ReadAlarmMessage(const std::string& topic, const std::string& payload, bool retained,
                              const MqttDevice* device, bool require_id) {
  AlarmVerdict v;
  MqttDevice none;
  v.taken = ParseAlarmRequest(payload, device != nullptr ? *device : none, v.request, v.reason,
                              require_id);
  CheckCommandTopic(topic, retained, device, v.taken, v.reason);
  return v;
}

std::string AlarmResultPayload(const AlarmRequest& r, bool ok, const std::string& reason,
                               uint64_t left_out, int64_t time) {
  Json::Value v(Json::objectValue);
  v["action"] = r.action;
  if (!r.alarm.empty()) v["alarm"] = r.alarm;
  if (!r.id.isNull()) v["request_id"] = r.id;
  v["result"] = ok ? "done" : "refused";
  if (!reason.empty()) v["reason"] = reason;
  v["time"] = static_cast<Json::Int64>(time);
  if (left_out > 0) v["left_out"] = static_cast<Json::UInt64>(left_out);
  return json::CompactAscii(v);
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
      const std::string why = "gateway stopping";
      if (results_.size() < kMaxResults)
        results_.push_back(Result{job.device, job.request, {-1, why}, job.alarm});
      lock.unlock();
      if (job.alarm)
        AuditRefusal(Attempt(job.device, *job.alarm), "refused", AlarmWhat(*job.alarm, why));
      else
        AuditRefusal(Attempt(job.device, job.request), "refused", why);
      lock.lock();
      continue;
    }
    job_running_ = true;
    lock.unlock();
    Result done = job.alarm ? RunAlarm(job) : Result{job.device, job.request, RunControl(job), {}};
    lock.lock();
    job_running_ = false;
    if (results_.size() >= kMaxResults) results_.pop_front();
    results_.push_back(std::move(done));
    cv_.notify_all();
  }
}

view::ControlAttempt MqttExport::Attempt(unsigned int device, const ControlRequest& r) const {
  view::ControlAttempt a;
  a.via = "mqtt";
  a.peer = cfg_.host;  // the broker: MQTT does not name the publisher
  a.device = device;
  a.code = r.code;
  a.byte = r.byte;
  a.request_id = r.request_id();
  a.sent_at = r.time;
  return a;
}

view::ControlAttempt MqttExport::Attempt(unsigned int device, const AlarmRequest& r) const {
  view::ControlAttempt a;
  a.via = "mqtt";
  a.peer = cfg_.host;
  a.device = device;
  a.request_id = r.request_id();
  a.sent_at = r.time;
  return a;
}

// The request's own checks (time window, request id) as the door makes them
// for control, then the board's door, which audits what it is given.
MqttExport::Result MqttExport::RunAlarm(const Job& job) {
  const AlarmRequest& r = *job.alarm;
  Result out{job.device, job.request, {-1, ""}, r};
  try {
    std::string why = source_.check_request
                          ? source_.check_request("mqtt", r.request_id(), r.time)
                          : std::string("alarm actions are not available on this gateway");
    if (!source_.act && why.empty()) why = "alarm actions are not available on this gateway";
    if (!why.empty()) {
      AuditRefusal(Attempt(job.device, r), "refused", AlarmWhat(r, why));
      out.result.reason = why;
      return out;
    }
    view::AlarmAction a;
    a.via = "mqtt";
    a.who = "mqtt";  // MQTT does not name the publisher
    a.peer = cfg_.host;
    a.action = r.action;
    a.device = job.device;
    a.alarm = r.alarm;
    a.comment = r.comment;
    a.duration_s = r.duration_s;
    const view::AlarmActionResult done = source_.act(a);
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++stats_.alarm_actions;
    }
    out.result = ControlResult{done.ok ? 0 : -1, done.reason};
  } catch (const std::exception& e) {
    out.result = ControlResult{-1, std::string("alarm action failed: ") + e.what()};
    AuditRefusal(Attempt(job.device, r), "refused", AlarmWhat(r, out.result.reason));
  }
  return out;
}

void MqttExport::HandleAlarm(const std::string& topic, const std::string& level,
                             const std::string& payload, bool retained,
                             const std::string& correlation) {
  if (payload.empty()) return;  // a retained topic cleared
  Dev* d = DeviceByTopic(level);
  const unsigned int device = d != nullptr ? d->cfg.id : 0;
  AlarmVerdict v = ReadAlarmMessage(topic, payload, retained, d != nullptr ? &d->cfg : nullptr,
                                    cfg_.require_request_id);
  v.request.correlation = correlation;
  if (retained) {
    const std::string key = topic + std::string(1, '\0') + payload;
    if (retained_seen_.count(key) != 0) {
      std::lock_guard<std::mutex> lock(mu_);
      ++stats_.control_refused;
      ++stats_.retained_again;
      return;
    }
    if (retained_seen_.size() >= kMaxRetainedSeen) retained_seen_.clear();
    retained_seen_.insert(key);
  }
  if (!v.taken) return Refuse(topic, device, ControlRequest{}, v.reason, "refused", &v.request);
  std::unique_lock<std::mutex> lock(mu_);
  const size_t own = static_cast<size_t>(
      std::count_if(jobs_.begin(), jobs_.end(), [&](const Job& j) { return j.device == device; }));
  if (jobs_.size() >= cfg_.control_queue || own >= kMaxJobsPerDevice) {
    lock.unlock();
    return Refuse(topic, device, ControlRequest{}, "too many control requests waiting",
                  "rate-limited", &v.request);
  }
  jobs_.push_back(Job{device, ControlRequest{}, std::move(v.request)});
  job_cv_.notify_one();
}

// The door audits the attempt and logs its line, whatever the outcome.
ControlResult MqttExport::RunControl(const Job& job) {
  const view::ControlAttempt a = Attempt(job.device, job.request);
  try {
    return source_.control(a);
  } catch (const std::exception& e) {
    const ControlResult result{-1, std::string("control failed: ") + e.what()};
    AuditRefusal(a, "refused", result.reason);
    return result;
  }
}

void MqttExport::HandleControl(const std::string& topic, const std::string& level,
                               const std::string& payload, bool retained,
                               const std::string& correlation) {
  if (payload.empty()) {
    // What clearing a retained topic sends: no request. The same retained
    // message published again later is audited again.
    const std::string head = topic + std::string(1, '\0');
    for (auto it = retained_seen_.lower_bound(head);
         it != retained_seen_.end() && it->compare(0, head.size(), head) == 0;)
      it = retained_seen_.erase(it);
    return;
  }
  Dev* d = DeviceByTopic(level);
  const unsigned int device = d != nullptr ? d->cfg.id : 0;
  ControlVerdict v = ReadControlMessage(topic, payload, retained, d != nullptr ? &d->cfg : nullptr,
                                        cfg_.require_request_id);
  v.request.correlation = correlation;
  if (retained) {
    // Handed over again at every connect: refused (and audited) once.
    const std::string key = topic + std::string(1, '\0') + payload;
    if (retained_seen_.count(key) != 0) {
      std::lock_guard<std::mutex> lock(mu_);
      ++stats_.control_refused;
      ++stats_.retained_again;
      return;
    }
    if (retained_seen_.size() >= kMaxRetainedSeen) retained_seen_.clear();
    retained_seen_.insert(key);
  }
  if (!v.taken) return Refuse(topic, device, v.request, v.reason);
  std::unique_lock<std::mutex> lock(mu_);
  // One device's flood must not fill the queue for the others.
  const size_t own = static_cast<size_t>(
      std::count_if(jobs_.begin(), jobs_.end(), [&](const Job& j) { return j.device == device; }));
  if (jobs_.size() >= cfg_.control_queue || own >= kMaxJobsPerDevice) {
    lock.unlock();
    return Refuse(topic, device, v.request, "too many control requests waiting", "rate-limited");
  }
  jobs_.push_back(Job{device, std::move(v.request), std::nullopt});
  job_cv_.notify_one();
}

void MqttExport::Refuse(const std::string& topic, unsigned int device, const ControlRequest& r,
                        const std::string& reason, const std::string& outcome,
                        const AlarmRequest* alarm) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++stats_.control_refused;
    if (results_.size() >= kMaxResults) results_.pop_front();
    results_.push_back(Result{
        device, r, {-1, reason}, alarm ? std::optional<AlarmRequest>(*alarm) : std::nullopt});
  }
  const view::ControlAttempt attempt = alarm ? Attempt(device, *alarm) : Attempt(device, r);
  const std::string why = alarm ? AlarmWhat(*alarm, reason) : reason;
  // A flood on one topic is audited as a count: the log and the flash are
  // not the sender's to fill.
  std::string key = topic;
  if (refusal_windows_.count(key) == 0 && refusal_windows_.size() >= kMaxRefusalTopics)
    key.clear();  // every further topic shares one window
  auto [it, fresh] = refusal_windows_.try_emplace(key);
  RefusalWindow& w = it->second;
  if (fresh) {
    w.since = Clock::now();
    AuditRefusal(attempt, outcome, why);
    return;
  }
  ++w.count;
  w.topic = key.empty() ? "other control topics" : topic;
  w.last = attempt;
  w.last_reason = why;
  std::lock_guard<std::mutex> lock(mu_);
  ++stats_.refusals_counted;
}

void MqttExport::FlushRefusals(Clock::time_point now, bool all) {
  for (auto it = refusal_windows_.begin(); it != refusal_windows_.end();) {
    RefusalWindow& w = it->second;
    if (!all && now - w.since < kRefusalWindow) {
      ++it;
      continue;
    }
    if (w.count == 0) {
      it = refusal_windows_.erase(it);
      continue;
    }
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(now - w.since).count();
    AuditRefusal(w.last, "refused",
                 fmt::format("{} more control requests on {} refused in {} s (a flood: counted, "
                             "not audited one by one); the last: {}",
                             w.count, view::SafeText(w.topic), s, w.last_reason));
    w.count = 0;
    w.since = now;
    ++it;
  }
}

void MqttExport::AuditRefusal(const view::ControlAttempt& a, const std::string& outcome,
                              const std::string& reason) {
  if (source_.refused) return source_.refused(a, outcome, reason);
  if (log_) log_(view::AuditLine(view::AuditEntryOf(a, outcome, -1, reason)));
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
    if (r.alarm) {
      const std::string payload = AlarmResultPayload(
          *r.alarm, r.result.result >= 0, r.result.reason, d->results_left_out, EpochNow());
      d->results_left_out = 0;
      Send(DeviceTopic(*d, "alarm/result"), payload, 1, false, d->cfg.id, nullptr,
           r.alarm->correlation);
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
