// The broker session of the export: the connection (name lookup, connect,
// back-off, take-over detection), libmosquitto's callbacks, the publish call
// every message goes through, and the last messages at stop. All of it runs
// on the export thread.
#include <arpa/inet.h>
#include <fmt/format.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>

#include "mqtt/mqtt_export.h"
#include "mqtt/mqtt_messages.h"

namespace qmx::exporter {
namespace {

constexpr auto kConnectTimeout = std::chrono::seconds(10);
constexpr auto kIndexWait = std::chrono::seconds(2);
constexpr auto kLookupWait = std::chrono::seconds(5);
constexpr auto kCloseWait = std::chrono::seconds(2);  // for the offline messages' PUBACKs
// A connection that held this long resets the reconnect back-off; one lost
// sooner (a broker that drops us at once) keeps doubling it.
constexpr auto kStableConnection = std::chrono::seconds(10);

// The first address of `host` as text; "" with the error when there is none.
std::string LookUp(const std::string& host, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
  char text[NI_MAXHOST] = "";
  if (rc != 0)
    error = std::string("name lookup failed: ") + gai_strerror(rc);
  else if (res == nullptr || getnameinfo(res->ai_addr, res->ai_addrlen, text, sizeof text, nullptr,
                                         0, NI_NUMERICHOST) != 0)
    error = "name lookup gave no address";
  if (res != nullptr) freeaddrinfo(res);
  return error.empty() ? std::string(text) : std::string();
}

}  // namespace

void MqttExport::Run() {
  for (;;) {
    const auto now = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_) break;
    }
    if (mosq_ == nullptr && now >= next_attempt_) Connect(now);
    if (mosq_ != nullptr) {
      Poll(now);
    } else {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping_; });
    }
    const auto after = Clock::now();
    TakeInputs();
    if (after - last_check_ >= std::chrono::milliseconds(cfg_.check_every_ms)) {
      last_check_ = after;
      CheckDevices(after);
      FlushRefusals(after, false);
    }
    if (connected_) Flush(after);
  }
  FinalFlush();
  FlushRefusals(Clock::now(), true);
  size_t left = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    left = notices_.size() + notices_inflight_.size();
    stats_.notices_dropped += left;
    notices_.clear();
  }
  notices_inflight_.clear();
  if (left && log_) log_(fmt::format("mqtt: {} alarm notices not delivered at exit", left));
}

// One turn of the connection: what the broker sent, what waits to go out;
// a connection lost or not answered in time goes back to the back-off.
void MqttExport::Poll(Clock::time_point now) {
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
      std::string error;
      const std::string address = LookUp(host, error);
      std::lock_guard<std::mutex> lock(l->mu);
      l->address = address;
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
  mosq_ = mosquitto_new(ClientId().c_str(), true, this);
  auto fail = [&](const std::string& why) { RetryLater(why, now); };
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
    auto or_null = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
    const int rc = mosquitto_tls_set(mosq_, or_null(cfg_.ca_file),
                                     cfg_.ca_file.empty() ? "/etc/ssl/certs" : nullptr,
                                     or_null(cfg_.cert_file), or_null(cfg_.key_file), nullptr);
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

void MqttExport::RetryLater(const std::string& why, Clock::time_point now) {
  RateLog("connect",
          fmt::format("mqtt: cannot connect to {}:{}: {}; retrying", cfg_.host, cfg_.port, why));
  if (mosq_ != nullptr) mosquitto_destroy(mosq_);
  mosq_ = nullptr;
  if (source_.outbox) source_.outbox->Error("cannot connect: " + why, EpochNow());
  NextBackOff();
  next_attempt_ = now + std::chrono::milliseconds(backoff_ms_);
}

void MqttExport::NextBackOff() {
  backoff_ms_ =
      backoff_ms_ == 0 ? cfg_.backoff_min_ms : std::min(backoff_ms_ * 2, cfg_.backoff_max_ms);
}

void MqttExport::Lost(const std::string& why, Clock::time_point now) {
  if (connected_ || was_connected_)
    RateLog(
        "lost",
        source_.outbox
            ? fmt::format("mqtt: connection to {}:{} lost ({}); alarm events and records wait in "
                          "the history, reconnecting",
                          cfg_.host, cfg_.port, why)
            : fmt::format("mqtt: connection to {}:{} lost ({}); keeping the newest values and up "
                          "to {} alarm events, reconnecting",
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
  if (source_.outbox) OutboxLost(why);
  if (held) backoff_ms_ = 0;
  NextBackOff();
  // The broker hands a client id to the newest connection and drops the older
  // one. MQTT 5 says so in the DISCONNECT ("session taken over"), but a broker
  // that closes the socket right after queueing it (mosquitto 2.0) rarely gets
  // it to us: a second connection in a row dropped soon after it was made is
  // taken as the same thing.
  quick_losses_ = held ? 0 : quick_losses_ + (quick_loss ? 1 : 0);
  if (taken_over_ || quick_losses_ >= 2) TakenOver();
  taken_over_ = false;
  next_attempt_ = now + std::chrono::milliseconds(backoff_ms_);
}

void MqttExport::TakenOver() {
  // Another process uses our client id: taking it back at once would only
  // start an eviction loop; wait the longest back-off.
  backoff_ms_ = cfg_.backoff_max_ms;
  RateLog(
      "taken-over",
      fmt::format(taken_over_ ? "mqtt: the broker gave client id \"{}\" to another connection; "
                                "reconnecting in {} s (give every runner its own client_id)"
                              : "mqtt: the broker dropped two connections in a row soon after they "
                                "were made; another client may use client id \"{}\"; reconnecting "
                                "in {} s (give every runner its own client_id)",
                  ClientId(), backoff_ms_ / 1000));
  std::lock_guard<std::mutex> lock(mu_);
  ++stats_.taken_over;
}

void MqttExport::RequeueInflight() {
  if (!notices_inflight_.empty()) {
    // Notices the broker did not acknowledge go again, in their order.
    std::vector<Notice> back;
    for (auto& [mid, n] : notices_inflight_) back.push_back(std::move(n));
    notices_inflight_.clear();
    std::sort(back.begin(), back.end(),
              [](const Notice& a, const Notice& b) { return a.seq < b.seq; });
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = back.rbegin(); it != back.rend(); ++it) notices_.push_front(std::move(*it));
    while (notices_.size() > cfg_.max_events) {
      notices_.pop_front();
      ++stats_.notices_dropped;
      ++notices_dropped_since_log_;
    }
  }
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
  me->Connected();
  if (me->source_.outbox) me->OutboxConnected();
}

// A new connection: the gateway online, the subscriptions, and everything
// retained goes out again (the broker may have lost it).
void MqttExport::Connected() {
  Send(GatewayTopic("availability"), "online", 1, true);
  const std::string control = cfg_.prefix + "/+/control/set";
  const std::string alarm = cfg_.prefix + "/+/alarm/set";
  const std::string ha = cfg_.discovery_prefix + "/status";
  const std::string index = GatewayTopic("devices");
  // MQTT 5 keeps the retain flag of a message published while we are
  // subscribed, so a retained control message is refused the first time too,
  // not only when the broker hands it over again at the next connect.
  for (const std::string* t : {&control, &alarm}) {
    if (cfg_.protocol == 5)
      mosquitto_subscribe_v5(mosq_, nullptr, t->c_str(), 1, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED,
                             nullptr);
    else
      mosquitto_subscribe(mosq_, nullptr, t->c_str(), 1);
  }
  if (cfg_.discovery) mosquitto_subscribe(mosq_, nullptr, ha.c_str(), 1);
  mosquitto_subscribe(mosq_, nullptr, index.c_str(), 1);
  index_settled_ = false;
  index_wait_until_ = Clock::now() + kIndexWait;
  ResendRetained();
  for (Dev& d : devs_) {
    d.availability_sent = false;
    d.stats_sent.clear();
    d.battery_sent.clear();
  }
  uint64_t dropped = 0, notices_dropped = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    dropped = dropped_since_log_;
    dropped_since_log_ = 0;
    notices_dropped = notices_dropped_since_log_;
    notices_dropped_since_log_ = 0;
  }
  if (notices_dropped && log_)
    log_(fmt::format("mqtt: {} alarm notices were dropped while the broker was away (buffer of {})",
                     notices_dropped, cfg_.max_events));
  if (dropped && log_)
    log_(fmt::format("mqtt: {} alarm events were dropped while the broker was away (buffer of {})",
                     dropped, cfg_.max_events));
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
  me->notices_inflight_.erase(mid);
  me->closing_mids_.erase(mid);
  if (me->source_.outbox) me->OutboxAcked(mid);
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
    me->HandleMessage(m->topic, payload, m->retain, correlation);
  } catch (const std::exception& e) {
    me->RateLog("message", fmt::format("mqtt: message on {} not handled: {}", TopicName(m->topic),
                                       view::SafeText(e.what())));
  }
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

void MqttExport::FinalFlush() {
  if (mosq_ == nullptr) {
    // The broker is away at the stop (a failed connect or a lost
    // connection cleared the session).
    if (source_.outbox) {
      LogOutboxLeft(false);
      return;
    }
    std::lock_guard<std::mutex> lock(mu_);
    const size_t left = events_.size();
    stats_.events_dropped += left;
    if (left && log_)
      log_(
          fmt::format("mqtt: {} alarm events not delivered at exit: the broker is away and no "
                      "history keeps them",
                      left));
    return;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  bool stopped_connected = false;
  // Whatever the last rounds and the control worker left.
  while (!connected_ && !lost_ && Clock::now() < deadline) {
    if (mosquitto_loop(mosq_, 20, 1) != MOSQ_ERR_SUCCESS) break;
  }
  if (connected_) {
    // An export stopped soon after it connected (a reload) still leaves its
    // device index, so that the next one knows which devices to clear; a
    // retained index, if there is one, has come by now.
    index_wait_until_ = Clock::now();
    outbox_wake_ = true;  // the last round's events, committed by now
    TakeInputs();
    CheckDevices(Clock::now());
    Flush(Clock::now());
    DrainEvents(deadline);
    stopped_connected = connected_;
    if (connected_) SayOfflineAndDisconnect();
    // The broker acknowledged the offline messages, sent after every state
    // message: the connection held to the end, and what was stored went out
    // live.
    if (stopped_connected && closing_mids_.empty() && source_.outbox) OutboxCaughtUp(true);
  }
  if (source_.outbox) {
    LogOutboxLeft(stopped_connected);
  } else {
    std::lock_guard<std::mutex> lock(mu_);
    const size_t left = events_.size() + inflight_.size();
    stats_.events_dropped += left;
    if (left && log_) log_(fmt::format("mqtt: {} alarm events not delivered at exit", left));
  }
  mosquitto_destroy(mosq_);
  mosq_ = nullptr;
}

// Alarm events still queued or unacknowledged, until `deadline`.
void MqttExport::DrainEvents(Clock::time_point deadline) {
  for (;;) {
    bool more = false;
    bool notices = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      more = !events_.empty();
      notices = !notices_.empty();
    }
    if (source_.outbox) more = OutboxOwes();
    more |= notices;
    if ((!more && inflight_.empty() && notices_inflight_.empty()) || !connected_ ||
        Clock::now() >= deadline)
      break;
    if (mosquitto_loop(mosq_, 20, 1) != MOSQ_ERR_SUCCESS) break;
    if (more) Flush(Clock::now());
  }
}

// Every device offline, then the gateway; the broker acknowledges each (QoS
// 1) before the clean DISCONNECT, so none is lost in a socket closed under it
// and no device stays "online" after the gateway.
void MqttExport::SayOfflineAndDisconnect() {
  closing_mids_.clear();
  for (Dev& d : devs_) {
    int mid = 0;
    if (Send(DeviceTopic(d, "availability"), "offline", 1, true, d.cfg.id, &mid))
      closing_mids_.insert(mid);
  }
  int mid = 0;
  if (Send(GatewayTopic("availability"), "offline", 1, true, 0, &mid)) closing_mids_.insert(mid);
  const auto until = Clock::now() + kCloseWait;
  while (connected_ && !closing_mids_.empty() && Clock::now() < until)
    if (mosquitto_loop(mosq_, 20, 1) != MOSQ_ERR_SUCCESS) break;
  if (!closing_mids_.empty() && log_)
    log_(fmt::format("mqtt: {} offline message(s) not acknowledged at exit", closing_mids_.size()));
  mosquitto_disconnect(mosq_);
  // The DISCONNECT goes out; the broker then closes (OnDisconnect).
  const auto gone = Clock::now() + std::chrono::milliseconds(500);
  while (connected_ && Clock::now() < gone && mosquitto_loop(mosq_, 20, 1) == MOSQ_ERR_SUCCESS) {
  }
}

}  // namespace qmx::exporter
