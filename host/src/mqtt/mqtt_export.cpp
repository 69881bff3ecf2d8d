// The export's own work on its thread: the inputs from the rounds, the
// links and reloads; the device states read from the view; what goes out to
// the broker on each turn (availability, discovery, unit states, alarms, line
// statistics, events, control results, the retained device index). The
// broker session is in mqtt_session.cpp, control in mqtt_control.cpp, the
// payloads in mqtt_messages.cpp and mqtt_discovery.cpp.
#include "mqtt/mqtt_export.h"

#include <fmt/format.h>
#include <mosquitto.h>

#include <algorithm>
#include <set>

#include "input/checked_json.h"
#include "mqtt/mqtt_discovery.h"
#include "mqtt/mqtt_messages.h"

namespace qmx::exporter {
namespace {

constexpr size_t kMaxInflight = 64;  // QoS 1 events awaiting PUBACK
constexpr size_t kMaxIndexPayload = 1u << 20;
constexpr size_t kMaxAlarmPoints = 4096;
constexpr auto kLogRepeat = std::chrono::seconds(30);

std::once_flag g_lib_once;

}  // namespace

MqttSource MqttSource::Of(view::SiteView& view) {
  MqttSource s;
  s.device = [&view](unsigned int id) { return view.Device(id); };
  s.control = [&view](const view::ControlAttempt& a) { return view.Control(a); };
  s.refused = [&view](const view::ControlAttempt& a, const std::string& outcome,
                      const std::string& reason) { view.Refused(a, outcome, reason); };
  s.outbox = view.OpenOutbox("mqtt");
  s.device_of_unit = [&view](unsigned int id) { return view.DeviceOfUnit(id); };
  s.read_record = [&view](const store::HistoryRecord& r) { return view.ReadRecord(r); };
  s.check_request = [&view](const std::string& via, const std::string& id, int64_t sent_at) {
    return view.CheckRequest(via, id, sent_at);
  };
  s.act = [&view](const view::AlarmAction& a) { return view.Act(a); };
  return s;
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
  if (PasswordInClear(cfg_) && log_)
    log_(
        fmt::format("mqtt: warning: the user name and password go to {}:{} in clear text "
                    "(mqtt://); use mqtts:// for a broker that is not on this host",
                    cfg_.host, cfg_.port));
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
  const std::string events =
      source_.outbox ? fmt::format("{} alarm events and {} records sent from the history",
                                   s.events_replayed, s.records_replayed)
                     : fmt::format("{} alarm events dropped", s.events_dropped);
  if (log_)
    log_(fmt::format(
        "mqtt: stopped; {} connections, {} messages, {} bytes, {}, "
        "publish delay after round end {:.1f} ms on average, {:.1f} ms at most",
        s.connects, s.messages, s.bytes, events,
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
    if (!source_.outbox) QueueEvents(r.report.device_id, r.report.events);
  }
  outbox_wake_ = true;
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
    if (!source_.outbox) QueueEvents(report.device_id, report.events);
  }
  outbox_wake_ = true;
  cv_.notify_all();
}

void MqttExport::OnAlarm(const view::AlarmNotice& n) {
  std::string payload = json::CompactAscii(view::AlarmNoticeJson(n));
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ && stopped_) return;
    told_.insert(n.device);
    if (notices_.size() >= std::max<size_t>(cfg_.max_events, 1)) {
      notices_.pop_front();
      ++stats_.notices_dropped;
      ++notices_dropped_since_log_;
    }
    notices_.push_back(Notice{next_notice_seq_++, n.device, std::move(payload)});
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

// --- names ---

std::string MqttExport::ClientId() const {
  return cfg_.client_id.empty() ? DefaultClientId() : cfg_.client_id;
}

std::string MqttExport::DeviceTopic(const Dev& d, const std::string& leaf) const {
  return DeviceTopicOf(cfg_, d.cfg.topic, leaf);
}

std::string MqttExport::GatewayTopic(const std::string& leaf) const {
  return GatewayTopicOf(cfg_, leaf);
}

MqttExport::Dev* MqttExport::DeviceByTopic(const std::string& level) {
  for (Dev& d : devs_)
    if (d.cfg.topic == level) return &d;
  return nullptr;
}

MqttExport::Dev* MqttExport::DeviceById(unsigned int id) {
  for (Dev& d : devs_)
    if (d.cfg.id == id) return &d;
  return nullptr;
}

// --- messages from the broker ---

void MqttExport::HandleMessage(const std::string& topic, const std::string& payload, bool retained,
                               const std::string& correlation) {
  if (cfg_.discovery && topic == cfg_.discovery_prefix + "/status") {
    // Home Assistant started again: it has forgotten what it was told.
    if (payload == "online") ResendRetained();
    return;
  }
  if (topic == GatewayTopic("devices")) {
    if (!index_settled_) HandleIndex(payload);
    return;
  }
  if (const std::optional<std::string> level = ControlTopicLevel(cfg_.prefix, topic))
    HandleControl(topic, *level, payload, retained, correlation);
  else if (const std::optional<std::string> alarm = AlarmTopicLevel(cfg_.prefix, topic))
    HandleAlarm(topic, *alarm, payload, retained, correlation);
}

void MqttExport::ResendRetained() {
  gateway_dirty_ = true;
  for (Dev& d : devs_) {
    d.discovery_dirty = true;
    d.discovery_payloads.clear();
    d.alarms_dirty = true;
    for (auto& [id, u] : d.units) u.sent = false;
  }
}

void MqttExport::HandleIndex(const std::string& payload) {
  if (payload.empty() || payload.size() > kMaxIndexPayload) return;
  Json::Value v;
  std::string error;
  json::Limits limits;
  limits.max_depth = 8;
  limits.max_bytes = kMaxIndexPayload;
  if (!json::Parse(payload, "retained device index", v, error, limits) || !v.isObject()) {
    RateLog("index", "mqtt: " + view::SafeText(error) + " (ignored)");
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

// --- inputs ---

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
  for (auto& [id, p] : pending)
    if (Dev* d = DeviceById(id)) TakeRound(*d, p);
}

void MqttExport::TakeRound(Dev& d, const Pending& p) {
  d.answering = true;  // a round just completed
  d.report_at = p.at;
  d.report_pending = true;
  // Every round lists all the device's units: one missing is gone (the
  // device was set up again without it).
  std::set<unsigned int> listed;
  for (const view::UnitValues& u : p.units) listed.insert(u.data_id);
  for (auto it = d.units.begin(); it != d.units.end();) {
    if (listed.count(it->first) != 0) {
      ++it;
      continue;
    }
    if (connected_)
      Send(DeviceTopic(d, "units/" + std::to_string(it->first)), "", 1, true, d.cfg.id);
    it = d.units.erase(it);
    d.units_changed = d.discovery_dirty = true;
    index_dirty_ = true;
  }
  for (const view::UnitValues& u : p.units) {
    Unit& unit = d.units[u.data_id];
    std::string shape = UnitShape(u);
    if (unit.type != u.type || unit.shape != shape) d.units_changed = d.discovery_dirty = true;
    unit.data_id = u.data_id;
    unit.type = u.type;
    unit.shape = std::move(shape);
    unit.fields.clear();
    for (const view::Value& v : u.values) unit.fields.push_back(v.field);
    unit.payload = UnitStatePayload(d.cfg.name, p.round, p.time, u, &unit.values);
  }
}

void MqttExport::CheckDevices(Clock::time_point now) {
  (void)now;
  std::set<unsigned int> told;
  {
    std::lock_guard<std::mutex> lock(mu_);
    told.swap(told_);
  }
  for (Dev& d : devs_) {
    if (told.count(d.cfg.id) != 0) d.alarms_told = true;
    std::optional<view::DeviceView> s;
    try {
      s = source_.device(d.cfg.id);
    } catch (const std::exception&) {
    }
    if (s) CheckDevice(d, *s);
  }
}

void MqttExport::CheckDevice(Dev& d, const view::DeviceView& s) {
  // A line restarted by a reload has no round of its own yet: the device
  // keeps its availability until a round completes or it is lost (stale),
  // rather than flapping offline and back.
  if (s.answering)
    d.answering = true;
  else if (s.stale)
    d.answering = false;
  if (s.model != d.model || s.version != d.version) {
    d.model = s.model;
    d.version = s.version;
    d.discovery_dirty = true;
  }
  // Every alarm point seen gets an entity of its own, named in English once
  // the label table knows it.
  auto seen = [&d](const store::ActiveAlarm& a, const std::string& name_en,
                   const std::string& place_en) {
    const std::string id = PointId(a.data_id, a.key, a.seq);
    auto it = d.alarm_points.find(id);
    if (it == d.alarm_points.end()) {
      if (d.alarm_points.size() >= kMaxAlarmPoints) return;
      d.alarm_points[id] = AlarmPointRecord(a, name_en, place_en);
      d.discovery_dirty = true;
    } else if (!name_en.empty() && (it->second["name_en"].asString() != name_en ||
                                    it->second["place_en"].asString() != place_en)) {
      it->second = AlarmPointRecord(a, name_en, place_en);
      d.discovery_dirty = true;
    }
  };
  for (const store::ActiveAlarm& a : s.alarms) seen(a, {}, {});
  for (const view::AlarmState& a : s.alarm_states) seen(a.point, a.name_en, a.place_en);
  // The retained alarms follow the board: they go out again when the board
  // told something of the device or its steady part changed, not at every
  // transition of a chattering point.
  std::string steady;
  std::string payload = AlarmsPayload(s.alarms, s.worst, s.alarm_states, s.maintenance, &steady);
  const bool told = d.alarms_told;
  d.alarms_told = false;
  if (payload != d.alarms_payload &&
      (told || steady != d.alarms_steady || d.alarms_payload.empty())) {
    d.alarms_payload = std::move(payload);
    d.alarms_steady = std::move(steady);
    d.alarms_dirty = true;
  }
  d.stats_payload = json::CompactAscii(view::LineStatsJson(s));
  if (s.battery.configured != d.battery_configured) {
    d.battery_configured = s.battery.configured;
    d.discovery_dirty = true;
  }
  d.battery_payload = json::CompactAscii(view::BatteryJson(s.battery));
}

// --- output, once a turn while connected ---

void MqttExport::Flush(Clock::time_point now) {
  if (!index_settled_ && (now >= index_wait_until_ || !old_index_.isNull())) SettleIndex();
  if (cfg_.discovery && gateway_dirty_) PublishGateway();
  for (Dev& d : devs_) FlushDevice(d, now);
  if (source_.outbox)
    FlushOutbox(now);
  else
    FlushEvents();
  FlushNotices();
  FlushResults(now);
  if (index_settled_ && index_dirty_) PublishIndex();
}

void MqttExport::FlushDevice(Dev& d, Clock::time_point now) {
  const bool live = d.answering;
  if (!d.availability_sent || d.availability_value != live) {
    if (Send(DeviceTopic(d, "availability"), live ? "online" : "offline", 1, true, d.cfg.id)) {
      d.availability_sent = true;
      d.availability_value = live;
    }
  }
  if (cfg_.discovery && d.discovery_dirty && !d.units.empty()) PublishDiscovery(d);
  // A lost device's values are its last readings: they are not sent again
  // as if read now (its value entities are unavailable meanwhile).
  if (live) FlushUnits(d, now);
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
  if (!d.battery_payload.empty() && d.battery_payload != d.battery_sent &&
      Send(DeviceTopic(d, "battery"), d.battery_payload, 0, true, d.cfg.id))
    d.battery_sent = d.battery_payload;
}

// Unit states that changed, were never sent on this connection or are due
// for their refresh.
void MqttExport::FlushUnits(Dev& d, Clock::time_point now) {
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
    if (first && d.report_pending) CountDelay(d.report_at);
    first = false;
  }
  d.report_pending = false;
}

void MqttExport::CountDelay(Clock::time_point report_at) {
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - report_at).count();
  std::lock_guard<std::mutex> lock(mu_);
  stats_.max_delay_ms = std::max(stats_.max_delay_ms, ms);
  stats_.total_delay_ms += ms;
  ++stats_.delays;
}

// Alarm events, oldest first, QoS 1; kept until acknowledged.
void MqttExport::FlushEvents() {
  while (inflight_.size() < kMaxInflight) {
    Event e;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (events_.empty()) break;
      e = std::move(events_.front());
      events_.pop_front();
    }
    Dev* d = DeviceById(e.device);
    if (d == nullptr) continue;
    int mid = 0;
    if (!Send(DeviceTopic(*d, "events"), EventPayload(e.e, e.id), 1, false, d->cfg.id, &mid)) {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_front(std::move(e));
      break;
    }
    inflight_[mid] = std::move(e);
  }
}

// Board notices, in order, QoS 1; kept until acknowledged (a lost connection
// sends them again).
void MqttExport::FlushNotices() {
  while (notices_inflight_.size() < kMaxInflight) {
    Notice n;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (notices_.empty()) break;
      n = std::move(notices_.front());
      notices_.pop_front();
    }
    Dev* d = DeviceById(n.device);
    if (d == nullptr) continue;  // a device the export does not name
    int mid = 0;
    if (!Send(DeviceTopic(*d, "notices"), n.payload, 1, false, d->cfg.id, &mid)) {
      std::lock_guard<std::mutex> lock(mu_);
      notices_.push_front(std::move(n));
      break;
    }
    notices_inflight_[mid] = std::move(n);
    std::lock_guard<std::mutex> lock(mu_);
    ++stats_.notices;
  }
}

// --- discovery and the device index ---

void MqttExport::PublishGateway() {
  const DiscoveryMessage m = GatewayDiscovery(cfg_);
  if (Send(m.topic, m.payload, 1, true)) gateway_dirty_ = false;
}

void MqttExport::PublishDiscovery(Dev& d) {
  DiscoveryDevice dd;
  dd.name = d.cfg.name;
  dd.topic = d.cfg.topic;
  dd.model = d.model;
  dd.version = d.version;
  for (const auto& [id, u] : d.units) dd.units[id] = DiscoveryUnit{u.type, u.fields};
  dd.alarm_points = d.alarm_points;
  dd.battery = d.battery_configured;
  std::vector<std::string> topics;
  for (const DiscoveryMessage& m : DeviceDiscovery(cfg_, dd)) {
    auto sent = d.discovery_payloads.find(m.topic);
    if (sent != d.discovery_payloads.end() && sent->second == m.payload) {
      topics.push_back(m.topic);  // unchanged: not sent again
    } else if (Send(m.topic, m.payload, 1, true, d.cfg.id)) {
      topics.push_back(m.topic);
      d.discovery_payloads[m.topic] = m.payload;
    }
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

// The retained device index of an earlier run, once it had its chance to
// come: the devices it lists that left the site file have their retained
// topics emptied; those still here inherit their list.
void MqttExport::SettleIndex() {
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
        if (json::ToString(t, topic) && OwnTopic(topic)) Send(topic, "", 1, true);
      }
      if (log_)
        log_(fmt::format("mqtt: device \"{}\" left the site file; its retained topics are cleared",
                         TopicName(name)));
    }
  }
  old_index_ = Json::Value();
  index_dirty_ = true;
}

bool MqttExport::OwnTopic(const std::string& t) const {
  return t.rfind(cfg_.discovery_prefix + "/", 0) == 0 || t.rfind(cfg_.prefix + "/", 0) == 0;
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
    if (OwnTopic(t)) topics.insert(t);
  for (const auto& [id, u] : d.units) topics.insert(DeviceTopic(d, "units/" + std::to_string(id)));
  for (const char* leaf : {"availability", "alarms", "line", "battery"})
    topics.insert(DeviceTopic(d, leaf));
  for (const std::string& t : topics) Send(t, "", 1, true);
}

void MqttExport::PublishIndex() {
  Json::Value devices(Json::objectValue);
  for (const Dev& d : devs_) {
    Json::Value topics(Json::arrayValue);
    for (const std::string& t : d.discovery_sent) topics.append(t);
    for (const auto& [id, u] : d.units)
      topics.append(DeviceTopic(d, "units/" + std::to_string(id)));
    for (const char* leaf : {"availability", "alarms", "line", "battery"})
      topics.append(DeviceTopic(d, leaf));
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
  if (Send(GatewayTopic("devices"), json::CompactAscii(v), 1, true)) index_dirty_ = false;
}

}  // namespace qmx::exporter
