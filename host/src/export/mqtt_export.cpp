#include "export/mqtt_export.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <json/json.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <set>

#include "input/checked_json.h"
#include "view/control_rules.h"

namespace qmx::exporter {
namespace {

constexpr size_t kMaxInflight = 64;  // QoS 1 events awaiting PUBACK
constexpr size_t kMaxResults = 64;   // control results waiting for the broker
constexpr size_t kMaxJobsPerDevice = 2;
// Refusals on the broker per device: a burst of this many, then one a
// second; the ones left out are counted and the count goes out with the next
// result, so a flood of requests gets a bounded number of answers.
constexpr double kResultBurst = 5, kResultsPerSecond = 1;
constexpr size_t kMaxControlPayload = 1024;
constexpr size_t kMaxIndexPayload = 1u << 20;
constexpr auto kConnectTimeout = std::chrono::seconds(10);
constexpr auto kIndexWait = std::chrono::seconds(2);
constexpr auto kLookupWait = std::chrono::seconds(5);
constexpr auto kCloseWait = std::chrono::seconds(2);  // for the offline messages' PUBACKs
constexpr auto kLogRepeat = std::chrono::seconds(30);
// A connection that held this long resets the reconnect back-off; one lost
// sooner (a broker that drops us at once) keeps doubling it.
constexpr auto kStableConnection = std::chrono::seconds(10);

std::once_flag g_lib_once;

// Pure ASCII out (non-ASCII and control characters escaped), one line;
// numbers as the view gives them (already as short as they read back).
std::string Compact(const Json::Value& v) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  w["precision"] = 15;
  w["emitUTF8"] = false;
  return Json::writeString(w, v);
}

int64_t EpochNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Home Assistant's device class of a measurement; none for plain values.
const char* DeviceClassOf(view::Quantity q) {
  switch (q) {
    case view::Quantity::kVoltage:
      return "voltage";
    case view::Quantity::kCurrent:
      return "current";
    case view::Quantity::kFrequency:
      return "frequency";
    case view::Quantity::kTemperature:
      return "temperature";
    case view::Quantity::kPower:
      return "power";
    default:
      return nullptr;
  }
}

// How an entity's name starts: the unit's kind and data identifier.
std::string UnitName(int type, unsigned int data_id) {
  const char* kind = type == view::kAcType          ? "AC"
                     : type == view::kRectifierType ? "Rectifiers"
                     : type == view::kDcType        ? "DC"
                                                    : "Unit";
  return fmt::format("{} {}", kind, data_id);
}

// A key goes into a template and a topic only when it is a plain name.
bool PlainKey(const std::string& key) {
  if (key.empty() || key.size() > 64) return false;
  for (char c : key)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  return true;
}

// A value of the unit's state message. A null or missing value renders as
// "None", which Home Assistant shows as unknown, never as a reading.
// (`value_json.values` would be the dict's method: subscript it.)
std::string ValueTemplate(const std::string& key) {
  return fmt::format("{{{{ value_json['values'].get('{}') }}}}", key);
}

std::string PointId(uint32_t data_id, const std::string& key, uint32_t seq) {
  return TopicName(fmt::format("{}_{}_{}", data_id, key, seq));
}

bool SafePublishTopic(const std::string& t) {
  return !t.empty() && t.size() < 1024 &&
         t.find_first_of(std::string("+#\0", 3)) == std::string::npos;
}

}  // namespace

MqttSource MqttSource::Of(view::SiteView& view) {
  MqttSource s;
  s.device = [&view](unsigned int id) { return view.Device(id); };
  s.control = [&view](unsigned int id, int code, const std::vector<unsigned char>& in) {
    return view.Control(id, code,
                        in.empty() ? std::nullopt : std::optional<unsigned char>(in.front()));
  };
  return s;
}

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
  const Json::Value& id = json::Member(v, "id");
  if (!id.isNull()) {
    std::string s;
    int64_t n = 0;
    if (json::ToString(id, s) && s.size() <= 128)
      out.id = s;
    else if (json::ToInt64(id, n))
      out.id = Json::Int64(n);
    else {
      reason = "\"id\" must be a string of at most 128 characters or an integer";
      return false;
    }
  }
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

MqttExport::MqttExport(MqttConfig config, MqttSource source, Log log)
    : cfg_(std::move(config)), source_(std::move(source)), log_(std::move(log)) {
  std::call_once(g_lib_once, [] { mosquitto_lib_init(); });
  for (const MqttDevice& d : cfg_.devices) {
    Dev dev;
    dev.cfg = d;
    if (dev.cfg.topic.empty()) dev.cfg.topic = TopicName(d.name);
    devs_.push_back(std::move(dev));
  }
}

MqttExport::~MqttExport() { Stop(); }

void MqttExport::Start() {
  if (started_.exchange(true)) return;
  thread_ = std::thread([this] { Run(); });
  worker_ = std::thread([this] { Work(); });
}

void MqttExport::Stop() {
  if (!started_ || stopped_.exchange(true)) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  job_cv_.notify_all();
  if (worker_.joinable()) worker_.join();
  if (thread_.joinable()) thread_.join();
  const MqttStats s = stats();
  if (log_)
    log_(fmt::format(
        "mqtt: stopped; {} connections, {} messages, {} bytes, {} alarm events dropped, "
        "publish delay after round end {:.1f} ms on average, {:.1f} ms at most",
        s.connects, s.messages, s.bytes, s.events_dropped,
        s.delays ? s.total_delay_ms / static_cast<double>(s.delays) : 0.0, s.max_delay_ms));
}

MqttStats MqttExport::stats() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stats_;
}

void MqttExport::OnRound(const view::RoundView& r) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ && stopped_) return;
    Pending& p = pending_[r.report.device_id];
    p.round = r.report.round;
    p.time = r.report.time;
    p.units = r.units;
    p.at = Clock::now();
    QueueEvents(r.report.device_id, r.report.events);
  }
  cv_.notify_all();
}

void MqttExport::UpdateDevices(std::vector<MqttDevice> devices) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    new_devices_ = std::move(devices);
  }
  cv_.notify_all();
}

void MqttExport::OnLink(const LinkReport& report) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    links_[report.device_id] = report.answering;
    QueueEvents(report.device_id, report.events);
  }
  cv_.notify_all();
}

void MqttExport::QueueEvents(unsigned int device, const std::vector<store::AlarmEvent>& events) {
  for (const store::AlarmEvent& e : events) {
    if (events_.size() >= cfg_.max_events) {
      events_.pop_front();
      ++stats_.events_dropped;
      ++dropped_since_log_;
    }
    events_.push_back(Event{next_event_id_++, device, e});
  }
}

void MqttExport::RateLog(const std::string& key, const std::string& line) {
  const auto now = Clock::now();
  {
    std::lock_guard<std::mutex> lock(log_mu_);
    auto it = log_limits_.find(key);
    if (it != log_limits_.end() && now - it->second < kLogRepeat) return;
    if (log_limits_.size() > 256) log_limits_.clear();
    log_limits_[key] = now;
  }
  if (log_) log_(line);
}

// --- control worker ---

void MqttExport::Work() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    job_cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    if (stopping_) {
      lock.unlock();
      Result r{job.device, job.request, {-1, "gateway stopping"}};
      lock.lock();
      if (results_.size() < kMaxResults) results_.push_back(std::move(r));
      continue;
    }
    job_running_ = true;
    lock.unlock();
    std::vector<unsigned char> in;
    if (job.request.byte >= 0) in.push_back(static_cast<unsigned char>(job.request.byte));
    ControlResult result;
    try {
      result = source_.control(job.device, job.request.code, in);
    } catch (const std::exception& e) {
      result = {-1, std::string("control failed: ") + e.what()};
    }
    const std::string line = fmt::format(
        "mqtt: control {} on device {} from the broker: result {}{}", job.request.code, job.device,
        result.result, result.reason.empty() ? "" : " (" + result.reason + ")");
    // Commands sent are paced by the host; refusals can come fast.
    if (result.result >= 0) {
      if (log_) log_(line);
    } else {
      RateLog("control-failed" + std::to_string(job.device), line);
    }
    lock.lock();
    job_running_ = false;
    if (results_.size() >= kMaxResults) results_.pop_front();
    results_.push_back(Result{job.device, std::move(job.request), std::move(result)});
    cv_.notify_all();
  }
}

// --- export thread ---

std::string MqttExport::DeviceTopic(const Dev& d, const std::string& leaf) const {
  return cfg_.prefix + "/" + d.cfg.topic + "/" + leaf;
}

std::string MqttExport::GatewayTopic(const std::string& leaf) const {
  const std::string id = cfg_.client_id.empty() ? DefaultClientId() : cfg_.client_id;
  return cfg_.prefix + "/gateway/" + TopicName(id) + "/" + leaf;
}

MqttExport::Dev* MqttExport::DeviceByTopic(const std::string& level) {
  for (Dev& d : devs_)
    if (d.cfg.topic == level) return &d;
  return nullptr;
}

void MqttExport::Run() {
  for (;;) {
    const auto now = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_) break;
    }
    if (mosq_ == nullptr && now >= next_attempt_) Connect(now);
    if (mosq_ != nullptr) {
      const int rc = mosquitto_loop(mosq_, connected_ ? 20 : 50, 1);
      if (rc != MOSQ_ERR_SUCCESS && !lost_) {
        lost_ = true;
        disconnect_reason_ =
            rc == MOSQ_ERR_ERRNO ? std::string("connection error") : mosquitto_strerror(rc);
      }
      if (!connected_ && !lost_ && now - attempt_at_ > kConnectTimeout) {
        lost_ = true;
        disconnect_reason_ = "no answer to connect";
      }
      if (lost_) Lost(disconnect_reason_, Clock::now());
    } else {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping_; });
    }
    const auto after = Clock::now();
    TakeInputs();
    if (after - last_check_ >= std::chrono::milliseconds(cfg_.check_every_ms)) {
      last_check_ = after;
      CheckDevices(after);
    }
    if (connected_) Flush(after);
  }
  FinalFlush();
}

// The broker's name is looked up on a thread of its own: a resolver that does
// not answer holds neither the export thread nor Stop(). One lookup at a
// time; one that outlives kLookupWait counts as a failed attempt (with
// back-off) and is waited for again by the next one.
struct MqttExport::Lookup {
  std::mutex mu;
  bool done = false;
  std::string address, error;
};

bool MqttExport::Resolve(Clock::time_point now, std::string& address, std::string& error) {
  unsigned char probe[sizeof(in6_addr)];
  if (inet_pton(AF_INET, cfg_.host.c_str(), probe) == 1 ||
      inet_pton(AF_INET6, cfg_.host.c_str(), probe) == 1) {
    address = cfg_.host;
    return true;
  }
  if (!lookup_) {
    lookup_ = std::make_shared<Lookup>();
    lookup_since_ = now;
    std::thread([l = lookup_, host = cfg_.host] {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* res = nullptr;
      const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
      char text[NI_MAXHOST] = "";
      std::string error;
      if (rc != 0)
        error = std::string("name lookup failed: ") + gai_strerror(rc);
      else if (res == nullptr || getnameinfo(res->ai_addr, res->ai_addrlen, text, sizeof text,
                                             nullptr, 0, NI_NUMERICHOST) != 0)
        error = "name lookup gave no address";
      if (res != nullptr) freeaddrinfo(res);
      std::lock_guard<std::mutex> lock(l->mu);
      l->address = text;
      l->error = error;
      l->done = true;
    }).detach();
  }
  {
    std::lock_guard<std::mutex> lock(lookup_->mu);
    if (lookup_->done) {
      address = lookup_->address;
      error = lookup_->error;
      lookup_.reset();
      return error.empty();
    }
  }
  if (now - lookup_since_ < kLookupWait) {
    error.clear();  // not yet: asked again on the next turn
    return false;
  }
  lookup_since_ = now;  // the same lookup, waited for again after the back-off
  error = fmt::format("name lookup of {} took longer than {} s", cfg_.host,
                      std::chrono::duration_cast<std::chrono::seconds>(kLookupWait).count());
  return false;
}

void MqttExport::Connect(Clock::time_point now) {
  std::string address, lookup_error;
  if (!Resolve(now, address, lookup_error)) {
    if (lookup_error.empty()) return;
  }
  attempt_at_ = now;
  lost_ = false;
  connected_ = false;
  const std::string id = cfg_.client_id.empty() ? DefaultClientId() : cfg_.client_id;
  mosq_ = mosquitto_new(id.c_str(), true, this);
  auto fail = [&](const std::string& why) {
    RateLog("connect",
            fmt::format("mqtt: cannot connect to {}:{}: {}; retrying", cfg_.host, cfg_.port, why));
    if (mosq_ != nullptr) mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    backoff_ms_ =
        backoff_ms_ == 0 ? cfg_.backoff_min_ms : std::min(backoff_ms_ * 2, cfg_.backoff_max_ms);
    next_attempt_ = now + std::chrono::milliseconds(backoff_ms_);
  };
  if (!lookup_error.empty()) return fail(lookup_error);
  if (mosq_ == nullptr) return fail("out of memory");
  if (cfg_.protocol == 5) mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  if (!cfg_.username.empty() &&
      mosquitto_username_pw_set(mosq_, cfg_.username.c_str(), cfg_.password.c_str()) !=
          MOSQ_ERR_SUCCESS)
    return fail("bad user name or password");
  const std::string will = GatewayTopic("availability");
  if (mosquitto_will_set(mosq_, will.c_str(), 7, "offline", 1, true) != MOSQ_ERR_SUCCESS)
    return fail("bad last-will topic " + will);
  if (cfg_.tls) {
    const int rc = mosquitto_tls_set(mosq_, cfg_.ca_file.empty() ? nullptr : cfg_.ca_file.c_str(),
                                     cfg_.ca_file.empty() ? "/etc/ssl/certs" : nullptr, nullptr,
                                     nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) return fail(std::string("TLS set-up: ") + mosquitto_strerror(rc));
  }
  mosquitto_connect_v5_callback_set(mosq_, &MqttExport::OnConnect);
  mosquitto_disconnect_v5_callback_set(mosq_, &MqttExport::OnDisconnect);
  mosquitto_publish_v5_callback_set(mosq_, &MqttExport::OnPublish);
  mosquitto_message_v5_callback_set(mosq_, &MqttExport::OnMessage);
  // Without TLS the address just looked up is used, so the library looks up
  // nothing. With TLS the certificate is checked against the name, which the
  // library then looks up again (answered at once by the resolver's cache or
  // /etc/hosts, since it just answered; write an address to avoid it).
  const std::string target = cfg_.tls ? cfg_.host : address;
  const int rc = mosquitto_connect_async(mosq_, target.c_str(), cfg_.port, cfg_.keepalive_s);
  if (rc != MOSQ_ERR_SUCCESS)
    return fail(rc == MOSQ_ERR_ERRNO ? std::string("connection refused or unreachable")
                                     : mosquitto_strerror(rc));
}

void MqttExport::Lost(const std::string& why, Clock::time_point now) {
  if (connected_ || was_connected_)
    RateLog(
        "lost",
        fmt::format("mqtt: connection to {}:{} lost ({}); keeping the newest values and up to {} "
                    "alarm events, reconnecting",
                    cfg_.host, cfg_.port, why, cfg_.max_events));
  else
    RateLog("connect",
            fmt::format("mqtt: cannot connect to {}:{}: {}; retrying", cfg_.host, cfg_.port, why));
  const bool held = connected_at_ != Clock::time_point() && was_connected_ &&
                    now - connected_at_ >= kStableConnection;
  const bool quick_loss = was_connected_ && !held;
  // A new client for every connection: nothing queued inside the library
  // crosses over; unacknowledged events go back into our own queue.
  mosquitto_destroy(mosq_);
  mosq_ = nullptr;
  connected_ = false;
  connected_flag_ = false;
  lost_ = false;
  was_connected_ = false;
  RequeueInflight();
  if (held) backoff_ms_ = 0;
  backoff_ms_ =
      backoff_ms_ == 0 ? cfg_.backoff_min_ms : std::min(backoff_ms_ * 2, cfg_.backoff_max_ms);
  // The broker hands a client id to the newest connection and drops the older
  // one. MQTT 5 says so in the DISCONNECT ("session taken over"), but a broker
  // that closes the socket right after queueing it (mosquitto 2.0) rarely gets
  // it to us: a second connection in a row dropped soon after it was made is
  // taken as the same thing.
  quick_losses_ = held ? 0 : quick_losses_ + (quick_loss ? 1 : 0);
  if (taken_over_ || quick_losses_ >= 2) {
    // Another process uses our client id: taking it back at once would only
    // start an eviction loop; wait the longest back-off.
    backoff_ms_ = cfg_.backoff_max_ms;
    RateLog("taken-over",
            fmt::format(
                taken_over_ ? "mqtt: the broker gave client id \"{}\" to another connection; "
                              "reconnecting in {} s (give every runner its own client_id)"
                            : "mqtt: the broker dropped two connections in a row soon after they "
                              "were made; another client may use client id \"{}\"; reconnecting "
                              "in {} s (give every runner its own client_id)",
                cfg_.client_id.empty() ? DefaultClientId() : cfg_.client_id, backoff_ms_ / 1000));
    std::lock_guard<std::mutex> lock(mu_);
    ++stats_.taken_over;
  }
  taken_over_ = false;
  next_attempt_ = now + std::chrono::milliseconds(backoff_ms_);
}

void MqttExport::RequeueInflight() {
  if (inflight_.empty()) return;
  std::vector<Event> back;
  for (auto& [mid, e] : inflight_) back.push_back(std::move(e));
  inflight_.clear();
  std::sort(back.begin(), back.end(), [](const Event& a, const Event& b) { return a.id < b.id; });
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = back.rbegin(); it != back.rend(); ++it) events_.push_front(std::move(*it));
  while (events_.size() > cfg_.max_events) {
    events_.pop_front();
    ++stats_.events_dropped;
    ++dropped_since_log_;
  }
}

void MqttExport::OnConnect(mosquitto*, void* self, int rc, int, const mqtt5__property*) {
  auto* me = static_cast<MqttExport*>(self);
  if (rc != 0) {
    me->lost_ = true;
    me->disconnect_reason_ =
        std::string("refused: ") +
        (me->cfg_.protocol == 5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc));
    return;
  }
  me->connected_ = true;
  me->was_connected_ = true;
  me->connected_flag_ = true;
  me->connected_at_ = Clock::now();
  me->taken_over_ = false;
  {
    std::lock_guard<std::mutex> lock(me->mu_);
    ++me->stats_.connects;
  }
  if (me->log_) me->log_(fmt::format("mqtt: connected to {}:{}", me->cfg_.host, me->cfg_.port));
  me->Send(me->GatewayTopic("availability"), "online", 1, true);
  const std::string control = me->cfg_.prefix + "/+/control/set";
  const std::string ha = me->cfg_.discovery_prefix + "/status";
  const std::string index = me->GatewayTopic("devices");
  mosquitto_subscribe(me->mosq_, nullptr, control.c_str(), 1);
  if (me->cfg_.discovery) mosquitto_subscribe(me->mosq_, nullptr, ha.c_str(), 1);
  mosquitto_subscribe(me->mosq_, nullptr, index.c_str(), 1);
  me->index_settled_ = false;
  me->index_wait_until_ = Clock::now() + kIndexWait;
  me->gateway_dirty_ = true;
  for (Dev& d : me->devs_) {
    d.availability_sent = false;
    d.alarms_dirty = true;
    d.discovery_dirty = true;
    d.discovery_payloads.clear();
    d.stats_sent.clear();
    for (auto& [id, u] : d.units) u.sent = false;
  }
  uint64_t dropped = 0;
  {
    std::lock_guard<std::mutex> lock(me->mu_);
    dropped = me->dropped_since_log_;
    me->dropped_since_log_ = 0;
  }
  if (dropped && me->log_)
    me->log_(
        fmt::format("mqtt: {} alarm events were dropped while the broker was away (buffer of {})",
                    dropped, me->cfg_.max_events));
}

void MqttExport::OnDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*) {
  auto* me = static_cast<MqttExport*>(self);
  me->connected_ = false;
  me->connected_flag_ = false;
  if (!me->lost_) {
    me->lost_ = true;
    // MQTT 5 brokers say why they disconnect us (a reason code, not an error).
    if (me->cfg_.protocol == 5 && rc == MQTT_RC_SESSION_TAKEN_OVER) {
      me->taken_over_ = true;
      me->disconnect_reason_ = "another client took over the client id";
    } else {
      me->disconnect_reason_ = rc == 0 ? "disconnected" : mosquitto_strerror(rc);
    }
  }
}

void MqttExport::OnPublish(mosquitto*, void* self, int mid, int, const mqtt5__property*) {
  auto* me = static_cast<MqttExport*>(self);
  me->inflight_.erase(mid);
  me->closing_mids_.erase(mid);
}

void MqttExport::OnMessage(mosquitto*, void* self, const mosquitto_message* m,
                           const mqtt5__property* props) {
  auto* me = static_cast<MqttExport*>(self);
  if (m == nullptr || m->topic == nullptr) return;
  std::string payload;
  if (m->payload != nullptr && m->payloadlen > 0)
    payload.assign(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
  std::string correlation;
  void* data = nullptr;
  uint16_t len = 0;
  if (props != nullptr &&
      mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &len, false)) {
    if (data != nullptr) correlation.assign(static_cast<const char*>(data), len);
    free(data);
  }
  try {
    me->HandleMessage(m->topic, payload, correlation);
  } catch (const std::exception& e) {
    me->RateLog("message",
                fmt::format("mqtt: message on {} not handled: {}", TopicName(m->topic), e.what()));
  }
}

void MqttExport::HandleMessage(const std::string& topic, const std::string& payload,
                               const std::string& correlation) {
  if (cfg_.discovery && topic == cfg_.discovery_prefix + "/status") {
    if (payload == "online") {
      gateway_dirty_ = true;
      for (Dev& d : devs_) {
        d.discovery_dirty = true;
        d.discovery_payloads.clear();
        d.alarms_dirty = true;
        for (auto& [id, u] : d.units) u.sent = false;
      }
    }
    return;
  }
  if (topic == GatewayTopic("devices")) {
    if (!index_settled_) HandleIndex(payload);
    return;
  }
  const std::string head = cfg_.prefix + "/";
  const std::string tail = "/control/set";
  if (topic.size() > head.size() + tail.size() && topic.compare(0, head.size(), head) == 0 &&
      topic.compare(topic.size() - tail.size(), tail.size(), tail) == 0) {
    const std::string level = topic.substr(head.size(), topic.size() - head.size() - tail.size());
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
}

void MqttExport::Refuse(unsigned int device, const ControlRequest& r, const std::string& reason) {
  RateLog("refused" + std::to_string(device),
          fmt::format("mqtt: control request for device {} refused: {}", device, reason));
  std::lock_guard<std::mutex> lock(mu_);
  ++stats_.control_refused;
  if (results_.size() >= kMaxResults) results_.pop_front();
  results_.push_back(Result{device, r, {-1, reason}});
}

void MqttExport::HandleIndex(const std::string& payload) {
  if (payload.empty() || payload.size() > kMaxIndexPayload) return;
  Json::Value v;
  std::string error;
  json::Limits limits;
  limits.max_depth = 8;
  limits.max_bytes = kMaxIndexPayload;
  if (!json::Parse(payload, "retained device index", v, error, limits) || !v.isObject()) {
    RateLog("index", "mqtt: " + error + " (ignored)");
    return;
  }
  // Only an index this site wrote is acted on: one written under the same
  // client id by a runner of another site file lists that runner's devices.
  const Json::Value& site = json::Member(v, "site");
  if (!cfg_.site.empty() && site.isString() && site.asString() != SiteTag(cfg_.site)) {
    RateLog("index-site",
            fmt::format("mqtt: the retained device index on {} belongs to another site file; "
                        "its topics are left alone (give every runner its own client_id)",
                        GatewayTopic("devices")));
    return;
  }
  old_index_ = json::Member(v, "devices");
}

void MqttExport::TakeInputs() {
  std::map<unsigned int, Pending> pending;
  std::map<unsigned int, bool> links;
  std::optional<std::vector<MqttDevice>> devices;
  {
    std::lock_guard<std::mutex> lock(mu_);
    pending.swap(pending_);
    links.swap(links_);
    devices.swap(new_devices_);
  }
  if (devices) ApplyDevices(std::move(*devices));
  for (Dev& d : devs_) {
    auto it = links.find(d.cfg.id);
    if (it != links.end()) d.answering = it->second;
  }
  for (auto& [id, p] : pending) {
    Dev* d = nullptr;
    for (Dev& x : devs_)
      if (x.cfg.id == id) d = &x;
    if (d == nullptr) continue;
    d->answering = true;  // a round just completed
    d->report_at = p.at;
    d->report_pending = true;
    // Every round lists all the device's units: one missing is gone (the
    // device was set up again without it).
    std::set<unsigned int> listed;
    for (const view::UnitValues& u : p.units) listed.insert(u.data_id);
    for (auto it = d->units.begin(); it != d->units.end();) {
      if (listed.count(it->first) != 0) {
        ++it;
        continue;
      }
      if (connected_)
        Send(DeviceTopic(*d, "units/" + std::to_string(it->first)), "", 1, true, d->cfg.id);
      it = d->units.erase(it);
      d->units_changed = d->discovery_dirty = true;
      index_dirty_ = true;
    }
    for (const view::UnitValues& u : p.units) {
      Unit& unit = d->units[u.data_id];
      std::string shape = std::to_string(u.type);
      for (const view::Value& v : u.values)
        shape += fmt::format("|{}/{}/{}/{}/{}/{}", v.field.key, v.field.label, v.field.unit,
                             static_cast<int>(v.field.quantity), static_cast<int>(v.field.entity),
                             v.field.diagnostic);
      if (unit.type != u.type || unit.shape != shape) d->units_changed = d->discovery_dirty = true;
      unit.data_id = u.data_id;
      unit.type = u.type;
      unit.shape = std::move(shape);
      unit.fields.clear();
      for (const view::Value& v : u.values) unit.fields.push_back(v.field);
      const Json::Value values = view::ValuesJson(u);
      unit.values = Compact(values);
      Json::Value state(Json::objectValue);
      state["device"] = d->cfg.name;
      state["data_id"] = u.data_id;
      state["type"] = view::DeviceTypeOf(u.type);
      state["round"] = static_cast<Json::UInt64>(p.round);
      state["time"] = static_cast<Json::Int64>(p.time);
      state["record_time"] =
          u.time > 0 ? Json::Value(static_cast<Json::Int64>(u.time)) : Json::Value();
      state["values"] = values;
      if (!u.error.empty()) state["error"] = u.error;
      unit.payload = Compact(state);
    }
  }
}

void MqttExport::CheckDevices(Clock::time_point now) {
  for (Dev& d : devs_) {
    std::optional<view::DeviceView> s;
    try {
      s = source_.device(d.cfg.id);
    } catch (const std::exception&) {
    }
    if (!s) continue;
    // A line restarted by a reload has no round of its own yet: the device
    // keeps its availability until a round completes or it is lost (stale),
    // rather than flapping offline and back.
    if (s->answering)
      d.answering = true;
    else if (s->stale)
      d.answering = false;
    if (s->model != d.model || s->version != d.version) {
      d.model = s->model;
      d.version = s->version;
      d.discovery_dirty = true;
    }
    // Active alarms, and the worst severity among them.
    Json::Value alarms(Json::objectValue);
    Json::Value active(Json::objectValue);
    for (const store::ActiveAlarm& a : s->alarms) {
      const std::string id = PointId(a.data_id, a.key, a.seq);
      if (d.alarm_points.count(id) == 0 && d.alarm_points.size() < 4096) {
        Json::Value point(Json::objectValue);
        point["data_id"] = a.data_id;
        point["key"] = a.key;
        point["seq"] = a.seq;
        point["name"] = a.name;
        point["text"] = a.text;
        d.alarm_points[id] = point;
        d.discovery_dirty = true;
      }
      active[id] = view::AlarmPointJson(a);
    }
    alarms["count"] = static_cast<Json::UInt>(s->alarms.size());
    alarms["severity"] = view::SeverityWord(s->worst);
    alarms["active"] = active;
    const std::string payload = Compact(alarms);
    if (payload != d.alarms_payload) {
      d.alarms_payload = payload;
      d.alarms_dirty = true;
    }
    d.stats_payload = Compact(view::LineStatsJson(*s));
  }
  (void)now;
}

bool MqttExport::Send(const std::string& topic, const std::string& payload, int qos, bool retain,
                      unsigned int device, int* mid, const std::string& correlation) {
  if (mosq_ == nullptr || !SafePublishTopic(topic)) return false;
  mosquitto_property* props = nullptr;
  if (!correlation.empty() && cfg_.protocol == 5)
    mosquitto_property_add_binary(
        &props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
        static_cast<uint16_t>(std::min<size_t>(correlation.size(), 65535)));
  const int rc = mosquitto_publish_v5(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()),
                                      payload.data(), qos, retain, props);
  mosquitto_property_free_all(&props);
  if (rc != MOSQ_ERR_SUCCESS) {
    RateLog("publish",
            fmt::format("mqtt: publish on {} failed: {}", topic, mosquitto_strerror(rc)));
    return false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  ++stats_.messages;
  stats_.bytes += payload.size() + topic.size();
  if (device != 0 || !devs_.empty()) {
    auto& pd = stats_.per_device[device];
    ++pd.first;
    pd.second += payload.size() + topic.size();
  }
  return true;
}

void MqttExport::Flush(Clock::time_point now) {
  // The device index: removals first, once the retained one had its chance.
  if (!index_settled_ && (now >= index_wait_until_ || !old_index_.isNull())) {
    index_settled_ = true;
    if (old_index_.isObject()) {
      for (const std::string& name : old_index_.getMemberNames()) {
        const Json::Value& topics = old_index_[name];
        if (!topics.isArray()) continue;
        if (Dev* kept = DeviceByTopic(name)) {
          kept->inherited.clear();
          for (const Json::Value& t : topics) {
            std::string topic;
            if (json::ToString(t, topic) && kept->inherited.size() < 10000)
              kept->inherited.push_back(topic);
          }
          continue;
        }
        for (const Json::Value& t : topics) {
          std::string topic;
          if (json::ToString(t, topic) && (topic.rfind(cfg_.discovery_prefix + "/", 0) == 0 ||
                                           topic.rfind(cfg_.prefix + "/", 0) == 0))
            Send(topic, "", 1, true);
        }
        if (log_)
          log_(fmt::format(
              "mqtt: device \"{}\" left the site file; its retained topics are cleared", name));
      }
    }
    old_index_ = Json::Value();
    index_dirty_ = true;
  }
  if (cfg_.discovery && gateway_dirty_) PublishGateway();
  for (Dev& d : devs_) {
    const bool live = d.answering;
    if (!d.availability_sent || d.availability_value != live) {
      if (Send(DeviceTopic(d, "availability"), live ? "online" : "offline", 1, true, d.cfg.id)) {
        d.availability_sent = true;
        d.availability_value = live;
      }
    }
    if (cfg_.discovery && d.discovery_dirty && !d.units.empty()) PublishDiscovery(d);
    if (live) {
      bool first = true;
      for (auto& [id, u] : d.units) {
        if (u.payload.empty()) continue;
        const bool due = !u.sent || u.values != u.sent_values ||
                         now - u.sent_at >= std::chrono::seconds(cfg_.refresh_s);
        if (!due) continue;
        if (!Send(DeviceTopic(d, "units/" + std::to_string(id)), u.payload, 0, true, d.cfg.id))
          continue;
        u.sent = true;
        u.sent_values = u.values;
        u.sent_at = now;
        if (first && d.report_pending) {
          const double ms =
              std::chrono::duration<double, std::milli>(Clock::now() - d.report_at).count();
          std::lock_guard<std::mutex> lock(mu_);
          stats_.max_delay_ms = std::max(stats_.max_delay_ms, ms);
          stats_.total_delay_ms += ms;
          ++stats_.delays;
        }
        first = false;
      }
      d.report_pending = false;
    }
    if (d.alarms_dirty && !d.alarms_payload.empty() &&
        Send(DeviceTopic(d, "alarms"), d.alarms_payload, 1, true, d.cfg.id))
      d.alarms_dirty = false;
    if (!d.stats_payload.empty() && d.stats_payload != d.stats_sent &&
        (d.stats_sent.empty() || now - d.stats_at >= std::chrono::seconds(cfg_.stats_every_s))) {
      if (Send(DeviceTopic(d, "line"), d.stats_payload, 0, true, d.cfg.id)) {
        d.stats_sent = d.stats_payload;
        d.stats_at = now;
      }
    }
  }
  // Alarm events, oldest first, QoS 1; kept until acknowledged.
  while (inflight_.size() < kMaxInflight) {
    Event e;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (events_.empty()) break;
      e = std::move(events_.front());
      events_.pop_front();
    }
    Dev* d = nullptr;
    for (Dev& x : devs_)
      if (x.cfg.id == e.device) d = &x;
    if (d == nullptr) continue;
    Json::Value v = view::AlarmEventJson(e.e);
    v["id"] = static_cast<Json::UInt64>(e.id);
    int mid = 0;
    if (!Send(DeviceTopic(*d, "events"), Compact(v), 1, false, d->cfg.id, &mid)) {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_front(std::move(e));
      break;
    }
    inflight_[mid] = std::move(e);
  }
  // Control results.
  for (;;) {
    Result r;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (results_.empty()) break;
      r = std::move(results_.front());
      results_.pop_front();
    }
    Dev* d = nullptr;
    for (Dev& x : devs_)
      if (x.cfg.id == r.device) d = &x;
    if (d == nullptr) continue;
    // A command the controller answered is always reported (the host paces
    // those); refusals and failures are what a flood makes.
    if (r.result.result < 0 && !TakeResultToken(*d, now)) {
      ++d->results_left_out;
      std::lock_guard<std::mutex> lock(mu_);
      ++stats_.results_left_out;
      continue;
    }
    Json::Value v(Json::objectValue);
    v["code"] = r.request.code;
    if (r.request.byte >= 0) v["byte"] = r.request.byte;
    if (!r.request.id.isNull()) v["id"] = r.request.id;
    v["result"] = r.result.result;
    if (!r.result.reason.empty()) v["reason"] = r.result.reason;
    v["time"] = static_cast<Json::Int64>(EpochNow());
    if (d->results_left_out > 0) v["left_out"] = static_cast<Json::UInt64>(d->results_left_out);
    d->results_left_out = 0;
    Send(DeviceTopic(*d, "control/result"), Compact(v), 1, false, d->cfg.id, nullptr,
         r.request.correlation);
  }
  // After a flood, how many results were left out, once there is room.
  for (Dev& d : devs_) {
    if (d.results_left_out == 0 || !TakeResultToken(d, now)) continue;
    Json::Value v(Json::objectValue);
    v["result"] = -1;
    v["reason"] =
        fmt::format("{} more control results left out (too many requests)", d.results_left_out);
    v["left_out"] = static_cast<Json::UInt64>(d.results_left_out);
    v["time"] = static_cast<Json::Int64>(EpochNow());
    d.results_left_out = 0;
    Send(DeviceTopic(d, "control/result"), Compact(v), 1, false, d.cfg.id);
  }
  if (index_settled_ && index_dirty_) PublishIndex();
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

std::string MqttExport::GatewayNode() const {
  const std::string id = cfg_.client_id.empty() ? DefaultClientId() : cfg_.client_id;
  return "k417t_gateway_" + TopicName(id);
}

// The gateway as a device of its own, which every controller names as the
// one it is reached through: its connectivity is the gateway's availability.
void MqttExport::PublishGateway() {
  const std::string node = GatewayNode();
  const std::string id = cfg_.client_id.empty() ? DefaultClientId() : cfg_.client_id;
  Json::Value device(Json::objectValue);
  device["identifiers"].append(node);
  device["name"] = "k417t gateway " + id;
  if (!cfg_.configuration_url.empty()) device["configuration_url"] = cfg_.configuration_url;
  Json::Value c(Json::objectValue);
  c["name"] = "Connection";
  c["unique_id"] = node + "_connectivity";
  c["state_topic"] = GatewayTopic("availability");
  c["payload_on"] = "online";
  c["payload_off"] = "offline";
  c["device_class"] = "connectivity";
  c["entity_category"] = "diagnostic";
  c["device"] = device;
  if (Send(cfg_.discovery_prefix + "/binary_sensor/" + node + "/connectivity/config", Compact(c), 1,
           true))
    gateway_dirty_ = false;
}

void MqttExport::PublishDiscovery(Dev& d) {
  const std::string node = "k417t_" + d.cfg.topic;
  Json::Value device(Json::objectValue);
  device["identifiers"].append(node);
  device["name"] = d.cfg.name;
  // The controller's own model text once it answered the model query.
  device["model"] = d.model.empty() ? "K417T" : d.model;
  if (!d.version.empty()) device["sw_version"] = d.version;
  if (!cfg_.configuration_url.empty()) device["configuration_url"] = cfg_.configuration_url;
  device["via_device"] = GatewayNode();
  Json::Value availability(Json::arrayValue);
  Json::Value a1(Json::objectValue), a2(Json::objectValue);
  a1["topic"] = GatewayTopic("availability");
  a2["topic"] = DeviceTopic(d, "availability");
  availability.append(a1);
  availability.append(a2);
  std::vector<std::string> topics;
  auto announce = [&](const std::string& component, const std::string& object, Json::Value config) {
    config["unique_id"] = node + "_" + object;
    config["device"] = device;
    config["availability"] = availability;
    config["availability_mode"] = "all";
    const std::string topic =
        cfg_.discovery_prefix + "/" + component + "/" + node + "/" + object + "/config";
    const std::string payload = Compact(config);
    auto sent = d.discovery_payloads.find(topic);
    if (sent != d.discovery_payloads.end() && sent->second == payload) {
      topics.push_back(topic);  // unchanged: not sent again
    } else if (Send(topic, payload, 1, true, d.cfg.id)) {
      topics.push_back(topic);
      d.discovery_payloads[topic] = payload;
    }
  };
  // Every measurement is a sensor; a state is a sensor of its words or a
  // problem; settings read from the controller are diagnostics.
  for (const auto& [id, u] : d.units) {
    const std::string state_topic = DeviceTopic(d, "units/" + std::to_string(id));
    for (const view::Field& f : u.fields) {
      if (!PlainKey(f.key)) continue;
      Json::Value c(Json::objectValue);
      c["name"] = UnitName(u.type, id) + " " + f.label;
      c["state_topic"] = state_topic;
      c["value_template"] = ValueTemplate(f.key);
      const std::string object = TopicName(fmt::format("u{}_{}", id, f.key));
      if (f.quantity == view::Quantity::kState) {
        if (f.entity == view::StateEntity::kEnum) {
          c["device_class"] = "enum";
          announce("sensor", object, c);
        } else if (f.entity == view::StateEntity::kProblem) {
          c["device_class"] = "problem";
          c["payload_on"] = "fault";
          c["payload_off"] = "normal";
          announce("binary_sensor", object, c);
        }
        continue;
      }
      if (const char* dc = DeviceClassOf(f.quantity)) c["device_class"] = dc;
      if (!f.unit.empty()) c["unit_of_measurement"] = f.unit;
      c["state_class"] = "measurement";
      if (f.diagnostic) c["entity_category"] = "diagnostic";
      announce("sensor", object, c);
    }
  }
  // The line's counters (of the whole port when controllers share it).
  const std::pair<const char*, const char*> counters[] = {
      {"rounds", "Rounds"},     {"requests", "Requests"}, {"answers", "Answers"},
      {"timeouts", "Timeouts"}, {"late", "Late answers"}, {"dropped", "Dropped frames"}};
  for (const auto& [key, label] : counters) {
    Json::Value c(Json::objectValue);
    c["name"] = std::string("Line ") + label;
    c["state_topic"] = DeviceTopic(d, "line");
    c["value_template"] = fmt::format("{{{{ value_json.get('{}') }}}}", key);
    c["state_class"] = "total_increasing";
    c["entity_category"] = "diagnostic";
    announce("sensor", std::string("line_") + key, c);
  }
  {
    Json::Value c(Json::objectValue);
    c["name"] = "alarm";
    c["state_topic"] = DeviceTopic(d, "alarms");
    c["value_template"] = "{{ 'ON' if value_json['count'] > 0 else 'OFF' }}";
    c["device_class"] = "problem";
    c["json_attributes_topic"] = DeviceTopic(d, "alarms");
    c["json_attributes_template"] =
        "{{ {'count': value_json['count'], 'severity': value_json.get('severity')} | tojson }}";
    announce("binary_sensor", "alarm", c);
  }
  for (const auto& [id, point] : d.alarm_points) {
    Json::Value c(Json::objectValue);
    c["name"] = point["name"].asString() + " " + point["text"].asString() + " (" + id + ")";
    c["state_topic"] = DeviceTopic(d, "alarms");
    c["value_template"] = "{{ 'ON' if '" + id + "' in value_json['active'] else 'OFF' }}";
    c["device_class"] = "problem";
    // Severity, code, text and since of the point while it is active.
    c["json_attributes_topic"] = DeviceTopic(d, "alarms");
    c["json_attributes_template"] = "{{ value_json['active'].get('" + id + "', {}) | tojson }}";
    announce("binary_sensor", "alarm_" + id, c);
  }
  // Configs announced before and no longer made (a unit gone) are removed,
  // also those an earlier run of the export announced.
  std::vector<std::string> before = d.discovery_sent;
  for (const std::string& t : d.inherited)
    if (t.rfind(cfg_.discovery_prefix + "/", 0) == 0) before.push_back(t);
  d.inherited.clear();
  for (const std::string& t : before)
    if (std::find(topics.begin(), topics.end(), t) == topics.end()) {
      Send(t, "", 1, true, d.cfg.id);
      d.discovery_payloads.erase(t);
    }
  d.discovery_sent = topics;
  d.discovery_dirty = false;
  index_dirty_ = true;
}

void MqttExport::ApplyDevices(std::vector<MqttDevice> devices) {
  for (MqttDevice& m : devices)
    if (m.topic.empty()) m.topic = TopicName(m.name);
  std::vector<Dev> next;
  for (const MqttDevice& m : devices) {
    auto same = std::find_if(devs_.begin(), devs_.end(), [&m](const Dev& d) {
      return d.cfg.id == m.id && d.cfg.topic == m.topic;
    });
    Dev d;
    if (same != devs_.end()) {
      d = std::move(*same);
      devs_.erase(same);
      if (d.cfg.name != m.name) d.discovery_dirty = true;  // the name Home Assistant shows
    }
    d.cfg = m;
    next.push_back(std::move(d));
  }
  for (const Dev& gone : devs_) {
    if (connected_) ClearRetained(gone);
    if (log_)
      log_(fmt::format("mqtt: device \"{}\" left the site file; its retained topics are cleared",
                       gone.cfg.topic));
  }
  // Not connected now: the retained index still names the devices that went,
  // and the next connection clears them from it.
  devs_ = std::move(next);
  index_dirty_ = true;
}

void MqttExport::ClearRetained(const Dev& d) {
  std::set<std::string> topics(d.discovery_sent.begin(), d.discovery_sent.end());
  for (const std::string& t : d.inherited)
    if (t.rfind(cfg_.discovery_prefix + "/", 0) == 0 || t.rfind(cfg_.prefix + "/", 0) == 0)
      topics.insert(t);
  for (const auto& [id, u] : d.units) topics.insert(DeviceTopic(d, "units/" + std::to_string(id)));
  for (const char* leaf : {"availability", "alarms", "line"}) topics.insert(DeviceTopic(d, leaf));
  for (const std::string& t : topics) Send(t, "", 1, true);
}

void MqttExport::PublishIndex() {
  Json::Value devices(Json::objectValue);
  for (const Dev& d : devs_) {
    Json::Value topics(Json::arrayValue);
    for (const std::string& t : d.discovery_sent) topics.append(t);
    for (const auto& [id, u] : d.units)
      topics.append(DeviceTopic(d, "units/" + std::to_string(id)));
    for (const char* leaf : {"availability", "alarms", "line"}) topics.append(DeviceTopic(d, leaf));
    // Until this run announced the device, what the last one listed stays
    // listed, so that a run stopped before its first round loses nothing.
    for (const std::string& t : d.inherited) {
      bool listed = false;
      for (const Json::Value& x : topics) listed |= x.asString() == t;
      if (!listed) topics.append(t);
    }
    devices[d.cfg.topic] = topics;
  }
  Json::Value v(Json::objectValue);
  v["devices"] = devices;
  if (!cfg_.site.empty()) v["site"] = SiteTag(cfg_.site);
  if (Send(GatewayTopic("devices"), Compact(v), 1, true)) index_dirty_ = false;
}

void MqttExport::FinalFlush() {
  if (mosq_ == nullptr) return;
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  // Whatever the last rounds and the control worker left.
  while (!connected_ && !lost_ && Clock::now() < deadline) {
    if (mosquitto_loop(mosq_, 20, 1) != MOSQ_ERR_SUCCESS) break;
  }
  if (connected_) {
    // An export stopped soon after it connected (a reload) still leaves its
    // device index, so that the next one knows which devices to clear; a
    // retained index, if there is one, has come by now.
    index_wait_until_ = Clock::now();
    TakeInputs();
    CheckDevices(Clock::now());
    Flush(Clock::now());
    for (;;) {
      bool more = false;
      {
        std::lock_guard<std::mutex> lock(mu_);
        more = !events_.empty();
      }
      if ((!more && inflight_.empty()) || !connected_ || Clock::now() >= deadline) break;
      if (mosquitto_loop(mosq_, 20, 1) != MOSQ_ERR_SUCCESS) break;
      if (more) Flush(Clock::now());
    }
    if (connected_) {
      // Every device offline, then the gateway; the broker acknowledges each
      // (QoS 1) before the clean DISCONNECT, so none is lost in a socket
      // closed under it and no device stays "online" after the gateway.
      closing_mids_.clear();
      for (Dev& d : devs_) {
        int mid = 0;
        if (Send(DeviceTopic(d, "availability"), "offline", 1, true, d.cfg.id, &mid))
          closing_mids_.insert(mid);
      }
      int mid = 0;
      if (Send(GatewayTopic("availability"), "offline", 1, true, 0, &mid))
        closing_mids_.insert(mid);
      const auto until = Clock::now() + kCloseWait;
      while (connected_ && !closing_mids_.empty() && Clock::now() < until)
        if (mosquitto_loop(mosq_, 20, 1) != MOSQ_ERR_SUCCESS) break;
      if (!closing_mids_.empty() && log_)
        log_(fmt::format("mqtt: {} offline message(s) not acknowledged at exit",
                         closing_mids_.size()));
      mosquitto_disconnect(mosq_);
      // The DISCONNECT goes out; the broker then closes (OnDisconnect).
      const auto gone = Clock::now() + std::chrono::milliseconds(500);
      while (connected_ && Clock::now() < gone &&
             mosquitto_loop(mosq_, 20, 1) == MOSQ_ERR_SUCCESS) {
      }
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    const size_t left = events_.size() + inflight_.size();
    if (left && log_) log_(fmt::format("mqtt: {} alarm events not delivered at exit", left));
  }
  mosquitto_destroy(mosq_);
  mosq_ = nullptr;
}

}  // namespace qmx::exporter
