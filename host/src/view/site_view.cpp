#include "view/site_view.h"

#include <fmt/format.h>
#include <json/json.h>

#include <algorithm>
#include <ctime>

#include "units/common/safe_text.h"

namespace qmx::view {
namespace {

// The kind of each unit as its images say (a unit's image type names it).
std::map<unsigned int, std::string> KindsOf(const std::vector<UnitImage>& images) {
  std::map<unsigned int, std::string> kinds;
  for (const UnitImage& img : images) {
    const std::string kind = KindOf(img.type);
    if (kind != "unknown" || kinds.count(img.data_id) == 0) kinds[img.data_id] = kind;
  }
  return kinds;
}

}  // namespace

const char* HealthWord(Health h) {
  switch (h) {
    case Health::kHealthy:
      return "healthy";
    case Health::kAlarm:
      return "alarm";
    case Health::kLost:
      return "lost";
    case Health::kStarting:
      break;
  }
  return "starting";
}

double WireLimitMs(uint64_t bytes, uint64_t exchanges, int baud) {
  if (baud <= 0) return 0;
  return static_cast<double>(bytes) * 10.0 * 1000.0 / baud + 20.0 * static_cast<double>(exchanges);
}

void SiteView::SetSite(SiteInfo site) {
  BatterySite(site);
  {
    std::lock_guard<std::mutex> lock(mu_);
    site_ = std::move(site);
  }
  RebuildPlaces();
}

SiteInfo SiteView::site() const {
  std::lock_guard<std::mutex> lock(mu_);
  return site_;
}

DeviceInfo SiteView::Info(unsigned int id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = site_.find(id);
  if (it != site_.end()) return it->second;
  DeviceInfo d;
  d.name = std::to_string(id);
  return d;
}

RoundStats SiteView::Rounds(unsigned int id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = rounds_.find(id);
  return it == rounds_.end() ? RoundStats{} : it->second;
}

std::vector<UnitValues> SiteView::ReadUnits(unsigned int device_id,
                                            const std::vector<UnitImage>& images) const {
  const DeviceInfo info = Info(device_id);
  std::vector<UnitValues> units;
  for (const UnitImage& img : images) {
    auto l = info.labels.find(img.data_id);
    units.push_back(
        ReadUnit(img.data_id, img.type, img.image, l == info.labels.end() ? nullptr : &l->second));
  }
  // AC screens, then the rectifier group, then DC distributions.
  std::stable_sort(units.begin(), units.end(), [](const UnitValues& a, const UnitValues& b) {
    auto rank = [](int t) {
      return t == kAcType ? 0 : t == kRectifierType ? 1 : t == kDcType ? 2 : 3;
    };
    return rank(a.type) != rank(b.type) ? rank(a.type) < rank(b.type) : a.data_id < b.data_id;
  });
  return units;
}

std::optional<DeviceView> SiteView::Device(unsigned int id) const {
  std::optional<DeviceSnapshot> s = host_.Snapshot(id);
  if (!s) return std::nullopt;
  const DeviceInfo info = Info(id);
  DeviceView d;
  d.id = id;
  d.name = info.name;
  d.baud = info.baud;
  d.dc_limits = info.dc_limits;
  d.line = s->line;
  d.model = s->model;
  d.version = s->version;
  d.line_open = s->line_open;
  d.answering = s->answering;
  d.stale = s->stale;
  d.rounds = s->rounds;
  d.last_round = s->last_round;
  d.units = ReadUnits(id, s->images);
  // The snapshot lists the controller's own identifier first.
  if (!s->unit_ids.empty()) d.unit_ids.assign(s->unit_ids.begin() + 1, s->unit_ids.end());
  d.alarms = std::move(s->alarms);
  d.line_stats = s->line_stats;
  d.round = Rounds(id);
  for (const store::ActiveAlarm& a : d.alarms) d.worst = std::max(d.worst, SeverityOf(a.level));
  d.alarm_states = board_.States(id);
  d.maintenance = board_.MaintenanceOf(id);
  if (std::optional<BatteryView> b = Battery(id)) d.battery = std::move(*b);
  if (d.stale || (!d.answering && d.rounds > 0) || (!d.line_open && d.rounds > 0))
    d.health = Health::kLost;
  else if (!d.alarms.empty())
    d.health = Health::kAlarm;
  else if (d.rounds > 0 || d.answering)
    d.health = Health::kHealthy;
  else
    d.health = Health::kStarting;
  return d;
}

std::vector<DeviceView> SiteView::Devices() const {
  std::vector<DeviceView> out;
  for (unsigned int id : host_.DeviceIds())
    if (auto d = Device(id)) out.push_back(std::move(*d));
  return out;
}

void SiteView::SetClock(std::function<int64_t()> clock) {
  std::lock_guard<std::mutex> lock(mu_);
  clock_ = std::move(clock);
}

int64_t SiteView::Now() const {
  std::lock_guard<std::mutex> lock(mu_);
  return clock_ ? clock_() : static_cast<int64_t>(std::time(nullptr));
}

std::string SiteView::CheckRequest(const std::string& via, const std::string& request_id,
                                   int64_t sent_at) {
  const int64_t now = Now();
  if (sent_at != 0 && sent_at < now - kControlWindowS)
    return fmt::format("the request was sent {} s ago (at most {} s old are run)", now - sent_at,
                       kControlWindowS);
  if (sent_at != 0 && sent_at > now + kControlWindowS)
    return fmt::format("the request's time is {} s ahead of the gateway's clock", sent_at - now);
  if (request_id.empty()) return {};
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = request_ids_.begin(); it != request_ids_.end();)
    it = it->second < now - kRequestIdMemoryS ? request_ids_.erase(it) : std::next(it);
  const auto [it, fresh] = request_ids_.try_emplace({via, request_id}, now);
  if (!fresh)
    return fmt::format("request id already run {} s ago (a replay or a retry: use a new id)",
                       now - it->second);
  return {};
}

ControlResult SiteView::Control(const ControlAttempt& a, std::chrono::milliseconds limit) {
  return Send(a, limit, "");
}

ControlResult SiteView::Send(const ControlAttempt& a, std::chrono::milliseconds limit,
                             const std::string& what) {
  auto reason = [&](const std::string& r) {
    if (what.empty()) return r;
    return r.empty() ? what : what + ": " + r;
  };
  const std::string why = CheckRequest(a.via, a.request_id, a.sent_at);
  if (!why.empty()) {
    Audit(a, "refused", -1, reason(why));
    return {-1, why};
  }
  std::vector<unsigned char> in;
  if (a.byte >= 0) in.push_back(static_cast<unsigned char>(a.byte));
  const ControlResult r = host_.Control(a.device, a.code, in, limit);
  if (r.result < 0)
    Audit(a, "refused", r.result, reason(r.reason));
  else
    Audit(a, "done", r.result, reason(r.reason));
  return r;
}

std::vector<AlarmState> SiteView::AlarmStates() const { return board_.States(); }
std::vector<AlarmState> SiteView::AlarmStates(unsigned int device) const {
  return board_.States(device);
}
AlarmKpis SiteView::AlarmFigures() const { return board_.Kpis(Now()); }
AlarmRules SiteView::AlarmRulesNow() const { return board_.Rules(); }

void SiteView::StartBoard() {
  board_.SetDeviceName([this](unsigned int id) { return Info(id).name; });
  std::vector<DeviceSnapshot> snapshots;
  for (unsigned int id : host_.DeviceIds()) {
    std::optional<DeviceSnapshot> s = host_.Snapshot(id);
    if (!s) continue;
    std::lock_guard<std::mutex> lock(labels_mu_);
    units_seen_[id] = {s->unit_ids, KindsOf(s->images)};
    snapshots.push_back(std::move(*s));
  }
  {
    std::lock_guard<std::mutex> lock(labels_mu_);
    board_started_ = true;
  }
  RebuildPlaces();  // and hands the board its describer
  for (const DeviceSnapshot& s : snapshots) board_.Restore(s.device_id, s.alarms, Now());
  board_.SetStore(host_.history());
}

// --- Readable names and places

void SiteView::SetAlarmNames(std::shared_ptr<const AlarmNames> names) {
  {
    std::lock_guard<std::mutex> lock(labels_mu_);
    names_ = std::move(names);
  }
  RebuildPlaces();
}

void SiteView::SeeUnits(unsigned int device, const std::vector<UnitImage>& images) {
  std::map<unsigned int, std::string> kinds = KindsOf(images);
  {
    std::lock_guard<std::mutex> lock(labels_mu_);
    const auto it = units_seen_.find(device);
    if (it != units_seen_.end() && it->second.kinds == kinds) return;
  }
  // A unit seen for the first time (or a reload changed the units): their
  // order comes from the controller's list.
  UnitsSeen seen;
  seen.kinds = std::move(kinds);
  if (std::optional<DeviceSnapshot> s = host_.Snapshot(device)) seen.unit_ids = s->unit_ids;
  {
    std::lock_guard<std::mutex> lock(labels_mu_);
    units_seen_[device] = std::move(seen);
  }
  RebuildPlaces();
}

void SiteView::RebuildPlaces() {
  const SiteInfo site = this->site();
  bool started = false;
  {
    std::lock_guard<std::mutex> lock(labels_mu_);
    places_.clear();
    for (const auto& [id, info] : site) {
      const auto seen = units_seen_.find(id);
      places_[id] =
          seen == units_seen_.end()
              ? MakeDevicePlaces(id, {}, {}, info.unit_names)
              : MakeDevicePlaces(id, seen->second.unit_ids, seen->second.kinds, info.unit_names);
    }
    for (const auto& [id, seen] : units_seen_)
      if (places_.count(id) == 0) places_[id] = MakeDevicePlaces(id, seen.unit_ids, seen.kinds, {});
    started = board_started_;
  }
  // The board describes its listed alarms again with what is known now.
  if (started)
    board_.SetDescribe([this](unsigned int device, const store::ActiveAlarm& point,
                              std::string& name,
                              std::string& place) { Describe(device, point, name, place); });
}

void SiteView::Describe(unsigned int device, const store::ActiveAlarm& point, std::string& name,
                        std::string& place) const {
  std::lock_guard<std::mutex> lock(labels_mu_);
  const std::shared_ptr<const AlarmNames> names = names_ ? names_ : AlarmNames::English();
  const auto it = places_.find(device);
  if (it != places_.end()) {
    names->Describe(it->second, point, name, place);
  } else {
    DevicePlaces none;
    none.device = device;
    names->Describe(none, point, name, place);
  }
}

SiteView::AlarmLabel SiteView::Label(unsigned int device, const store::ActiveAlarm& point) const {
  AlarmLabel l;
  Describe(device, point, l.name_en, l.place_en);
  return l;
}

SiteView::AlarmLabel SiteView::Label(unsigned int device, const store::AlarmEvent& e) const {
  store::ActiveAlarm a;
  a.data_id = e.data_id;
  a.key = e.key;
  a.seq = e.seq;
  a.level = e.level;
  a.code = e.code;
  a.name = e.name;
  a.text = e.text;
  a.since = e.time;
  return Label(device, a);
}

void SiteView::RetainBoard() {
  std::map<unsigned int, std::vector<uint32_t>> polled;
  for (unsigned int id : host_.DeviceIds()) {
    std::optional<DeviceSnapshot> s = host_.Snapshot(id);
    std::vector<uint32_t>& units = polled[id];
    if (s) units.assign(s->unit_ids.begin(), s->unit_ids.end());
  }
  board_.Retain(polled, Now());
}

AlarmActionResult SiteView::Act(const AlarmAction& a) {
  const int64_t now = Now();
  AlarmActionResult r;
  AlarmMark mark{a.who, now, a.comment, 0};
  const bool device_known = host_.Snapshot(a.device).has_value();
  std::optional<AlarmRef> ref;
  for (const AlarmState& s : board_.States(a.device))
    if (AlarmIdText(s.point.data_id, s.point.key, s.point.seq) == a.alarm) ref = s.ref();
  if (!device_known) {
    r.reason = "no such device";
  } else if (a.action == "acknowledge" || a.action == "shelve" || a.action == "unshelve") {
    if (!ref) {
      r.reason = "no such alarm is listed on the device";
    } else if (a.action == "acknowledge") {
      r = board_.Acknowledge(*ref, mark);
    } else if (a.action == "shelve") {
      mark.until = now + a.duration_s;
      r = board_.Shelve(*ref, mark);
    } else {
      r = board_.Unshelve(*ref, mark);
    }
  } else if (a.action == "maintenance") {
    mark.until = now + a.duration_s;
    r = board_.Maintenance(a.device, mark);
  } else if (a.action == "maintenance_end") {
    r = board_.Maintenance(a.device, mark);
  } else {
    r.reason = "unknown action (acknowledge, shelve, unshelve, maintenance, maintenance_end)";
  }
  store::AuditEntry e;
  e.time = now;
  e.via = a.via;
  e.who = a.who;
  e.peer = a.peer;
  e.device = a.device;
  e.code = 0;
  e.byte = -1;
  e.outcome = r.ok ? "done" : "refused";
  e.result = r.ok ? 0 : -1;
  std::string what = a.action;
  if (!a.alarm.empty()) what += " " + a.alarm;
  if (a.duration_s > 0 && a.action != "acknowledge" && a.action != "unshelve")
    what += " for " + std::to_string(a.duration_s) + " s";
  if (!a.comment.empty()) what += " (" + a.comment + ")";
  if (!r.ok) what += ": " + r.reason;
  e.reason = what;
  host_.Audit(e, AlarmActionLine(e));
  if (store::HistoryStore* h = host_.history()) h->Flush();
  return r;
}

void SiteView::RefusedAction(const AlarmAction& a, const std::string& outcome,
                             const std::string& reason) {
  store::AuditEntry e;
  e.time = Now();
  e.via = a.via;
  e.who = a.who;
  e.peer = a.peer;
  e.device = a.device;
  e.code = 0;
  e.byte = -1;
  e.outcome = outcome;
  e.result = -1;
  std::string what = a.action.empty() ? std::string("alarm action") : a.action;
  if (!a.alarm.empty()) what += " " + a.alarm;
  e.reason = what + ": " + reason;
  host_.Audit(e, AlarmActionLine(e));
}

std::string AlarmActionLine(const store::AuditEntry& a) {
  using k417t_text::Safe;
  return fmt::format("alarm action: {} {} from {}: device {}: {}: {}", Safe(a.via), Safe(a.who),
                     a.peer.empty() ? std::string("here") : Safe(a.peer), a.device, a.outcome,
                     Safe(a.reason));
}

std::vector<store::AuditEntry> SiteView::Audit(int64_t from, int64_t to, size_t limit) const {
  const store::HistoryStore* h = History();
  return h != nullptr ? h->Audit(from, to, limit) : std::vector<store::AuditEntry>{};
}

void SiteView::Refused(const ControlAttempt& a, const std::string& outcome,
                       const std::string& reason) {
  Audit(a, outcome, -1, reason);
}

void SiteView::Audit(const ControlAttempt& a, const std::string& outcome, int result,
                     const std::string& reason) {
  store::AuditEntry e = AuditEntryOf(a, outcome, result, reason);
  e.time = Now();
  host_.Audit(e, AuditLine(e));
}

store::AuditEntry AuditEntryOf(const ControlAttempt& a, const std::string& outcome, int result,
                               const std::string& reason) {
  store::AuditEntry e;
  e.via = a.via;
  e.who = a.who;
  e.peer = a.peer;
  e.device = a.device;
  e.code = a.code;
  e.byte = a.byte;
  e.request_id = a.request_id;
  e.outcome = outcome;
  e.result = result;
  e.reason = reason;
  return e;
}

std::string AuditLine(const store::AuditEntry& a) {
  using k417t_text::Safe;
  std::string line = fmt::format("control: {} {} from {}: device {} code {}", Safe(a.via),
                                 a.who.empty() ? "-" : Safe(a.who),
                                 a.peer.empty() ? "-" : Safe(a.peer), a.device, a.code);
  if (a.byte >= 0) line += fmt::format(" byte {}", a.byte);
  if (!a.request_id.empty()) line += " request " + Safe(a.request_id);
  line += ": " + Safe(a.outcome);
  if (a.outcome == "done") line += fmt::format(" result {}", a.result);
  if (!a.reason.empty()) line += ": " + Safe(a.reason);
  return line;
}

std::string SafeText(std::string_view text) { return k417t_text::Safe(text); }

Json::Value AuditJson(const store::AuditEntry& a) {
  Json::Value v(Json::objectValue);
  v["id"] = static_cast<Json::Int64>(a.id);
  v["time"] = static_cast<Json::Int64>(a.time);
  v["via"] = a.via;
  v["who"] = a.who;
  v["peer"] = a.peer;
  v["device"] = a.device;
  v["code"] = a.code;
  v["byte"] = a.byte >= 0 ? Json::Value(a.byte) : Json::Value();
  v["request_id"] = a.request_id;
  v["outcome"] = a.outcome;
  v["result"] = a.result;
  v["reason"] = a.reason;
  return v;
}

const store::HistoryStore* SiteView::History() const { return host_.history(); }

std::shared_ptr<NoticeOutbox> SiteView::OpenNotices(const std::string& sink) {
  store::HistoryStore* h = host_.history();
  if (h == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& o : notice_outboxes_)
    if (o->sink() == sink) return o;
  notice_outboxes_.push_back(std::make_shared<NoticeOutbox>(*h, sink));
  return notice_outboxes_.back();
}

std::shared_ptr<Outbox> SiteView::OpenOutbox(const std::string& sink, bool events) {
  store::HistoryStore* h = host_.history();
  if (h == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& o : outboxes_)
    if (o->sink() == sink) return o;
  outboxes_.push_back(std::make_shared<Outbox>(*h, sink, events));
  return outboxes_.back();
}

std::vector<OutboxHealth> SiteView::Outboxes() const {
  std::vector<std::shared_ptr<Outbox>> list;
  {
    std::lock_guard<std::mutex> lock(mu_);
    list = outboxes_;
  }
  std::vector<OutboxHealth> out;
  for (const auto& o : list) out.push_back(o->Health());
  return out;
}

std::optional<unsigned int> SiteView::DeviceOfUnit(unsigned int data_id) const {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = unit_devices_.find(data_id);
    if (it != unit_devices_.end()) return it->second;
  }
  std::optional<unsigned int> device;
  for (unsigned int id : host_.DeviceIds()) {
    std::optional<DeviceSnapshot> s = host_.Snapshot(id);
    if (!s) continue;
    std::lock_guard<std::mutex> lock(mu_);
    if (unit_devices_.size() > 4096) unit_devices_.clear();
    for (unsigned int unit : s->unit_ids) {
      unit_devices_[unit] = id;
      if (unit == data_id) device = id;
    }
  }
  return device;
}

std::optional<SiteView::StoredUnit> SiteView::ReadRecord(const store::HistoryRecord& r) const {
  const std::optional<unsigned int> device = DeviceOfUnit(r.data_id);
  if (!device) return std::nullopt;
  const DeviceInfo info = Info(*device);
  auto l = info.labels.find(r.data_id);
  StoredUnit out;
  out.device = *device;
  out.unit = ReadUnit(r.data_id, r.type, r.image, l == info.labels.end() ? nullptr : &l->second);
  out.unit.time = r.time;
  return out;
}

RoundView SiteView::Round(const RoundReport& report) {
  SeeUnits(report.device_id, report.images);
  RoundView r;
  r.report = report;
  r.info = Info(report.device_id);
  r.units = ReadUnits(report.device_id, report.images);
  BatteryRound(report, r.info, r.units, r.report.events);
  const double limit =
      WireLimitMs(report.bytes_in + report.bytes_out, report.exchanges, r.info.baud);
  std::lock_guard<std::mutex> lock(mu_);
  RoundStats& s = rounds_[report.device_id];
  s.last_ms = report.duration_ms;
  s.last_limit_ms = limit;
  s.last_exchanges = report.exchanges;
  // The round that brought a lost controller back began before the loss: its
  // duration is the outage, not a round's time. The communication alarm's
  // clear comes with that round only.
  const bool spanned_loss =
      std::any_of(report.events.begin(), report.events.end(), [&](const store::AlarmEvent& e) {
        return !e.raised && e.key == kCommAlarmKey && e.data_id == report.device_id;
      });
  if (spanned_loss) return r;
  s.count += 1;
  const double secs = report.duration_ms / 1000.0;
  s.sum_s += secs;
  for (size_t b = 0; b < RoundStats::kBuckets.size(); ++b)
    if (secs <= RoundStats::kBuckets[b]) s.buckets[b] += 1;
  return r;
}

// --- JSON forms

namespace {
// What an alarm point and an event on it say alike.
template <class Alarm>
Json::Value AlarmFields(const Alarm& a) {
  Json::Value x(Json::objectValue);
  x["data_id"] = a.data_id;
  x["key"] = a.key;
  x["seq"] = a.seq;
  x["level"] = a.level;
  x["severity"] = SeverityWord(a.level);
  x["code"] = a.code;
  x["name"] = a.name;
  x["text"] = a.text;
  return x;
}
}  // namespace

Json::Value AlarmPointJson(const store::ActiveAlarm& a) {
  Json::Value x = AlarmFields(a);
  x["since"] = static_cast<Json::Int64>(a.since);
  return x;
}

Json::Value AlarmEventJson(const store::AlarmEvent& e) {
  Json::Value x = AlarmFields(e);
  x["state"] = e.raised ? "raised" : "cleared";
  x["time"] = static_cast<Json::Int64>(e.time);
  return x;
}

Json::Value HistoryExportJson(const store::HistoryStore& store, uint32_t data_id, int64_t from,
                              int64_t to) {
  Json::Value root(Json::objectValue);
  root["data_id"] = Json::UInt(data_id);
  root["from"] = Json::Int64(from);
  root["to"] = Json::Int64(to);
  Json::Value& records = root["records"] = Json::Value(Json::arrayValue);
  for (const store::HistoryRecord& r : store.Records(data_id, from, to)) {
    Json::Value v(Json::objectValue);
    v["id"] = Json::Int64(r.id);
    v["type"] = r.type;
    v["time"] = Json::Int64(r.time);
    v["local_time"] = r.local_time;
    std::string hex;
    for (unsigned char b : r.image) hex += fmt::format("{:02X}", b);
    v["image"] = hex;
    records.append(std::move(v));
  }
  Json::Value& events = root["events"] = Json::Value(Json::arrayValue);
  for (const store::HistoryEvent& h : store.Events(data_id, from, to)) {
    Json::Value v = AlarmEventJson(h.event);
    v["id"] = Json::Int64(h.id);
    v["local_time"] = h.local_time;
    events.append(std::move(v));
  }
  return root;
}

Json::Value LineStatsJson(const DeviceView& d) {
  Json::Value st(Json::objectValue);
  st["line"] = d.line;
  st["open"] = d.line_open;
  st["rounds"] = static_cast<Json::UInt64>(d.rounds);
  st["requests"] = static_cast<Json::UInt64>(d.line_stats.requests);
  st["answers"] = static_cast<Json::UInt64>(d.line_stats.answers);
  st["timeouts"] = static_cast<Json::UInt64>(d.line_stats.timeouts);
  st["late"] = static_cast<Json::UInt64>(d.line_stats.late);
  st["echoes"] = static_cast<Json::UInt64>(d.line_stats.echoes);
  st["dropped"] = static_cast<Json::UInt64>(d.line_stats.dropped);
  st["bytes_out"] = static_cast<Json::UInt64>(d.line_stats.bytes_out);
  st["bytes_in"] = static_cast<Json::UInt64>(d.line_stats.bytes_in);
  return st;
}

namespace {
Json::Value Number(const std::optional<double>& n) { return n ? Json::Value(*n) : Json::Value(); }
}  // namespace

Json::Value ValuesJson(const UnitValues& u) {
  Json::Value v(Json::objectValue);
  for (const Value& x : u.values)
    v[x.field.key] = x.is_state() ? Json::Value(x.word) : Number(x.number);
  return v;
}

Json::Value FieldsJson(const UnitValues& u) {
  Json::Value list(Json::arrayValue);
  for (const Value& x : u.values) {
    Json::Value f(Json::objectValue);
    f["key"] = x.field.key;
    f["label"] = x.field.label;
    f["group"] = x.field.group;
    f["quantity"] = QuantityName(x.field.quantity);
    f["unit"] = x.field.unit;
    if (x.is_state()) {
      f["value"] = x.word;
      f["alert"] = x.alert;
      Json::Value raw(Json::arrayValue);
      for (unsigned b : x.raw) raw.append(b);
      f["raw"] = raw;
    } else {
      f["value"] = Number(x.number);
    }
    if (x.field.diagnostic) f["diagnostic"] = true;
    list.append(f);
  }
  return list;
}

Json::Value UnitJson(const UnitValues& u) {
  Json::Value x(Json::objectValue);
  x["data_id"] = u.data_id;
  x["type"] = DeviceTypeOf(u.type);
  x["kind"] = u.kind;
  x["time"] = static_cast<Json::Int64>(u.time);
  x["values"] = ValuesJson(u);
  if (!u.error.empty()) x["error"] = u.error;
  return x;
}

Json::Value OutboxJson(const OutboxHealth& h) {
  Json::Value x(Json::objectValue);
  x["sink"] = h.sink;
  x["events"] = h.events;
  x["connected"] = h.connected;
  x["pending_events"] = static_cast<Json::UInt64>(h.pending_events);
  x["pending_records"] = static_cast<Json::UInt64>(h.pending_records);
  x["oldest"] = static_cast<Json::Int64>(h.oldest);
  x["lost_events"] = static_cast<Json::UInt64>(h.lost_events);
  x["lost_records"] = static_cast<Json::UInt64>(h.lost_records);
  x["sent_events"] = static_cast<Json::UInt64>(h.sent_events);
  x["sent_records"] = static_cast<Json::UInt64>(h.sent_records);
  x["rejected"] = static_cast<Json::UInt64>(h.rejected);
  x["last_success"] = static_cast<Json::Int64>(h.last_success);
  x["last_error"] = h.last_error;
  x["last_error_time"] = static_cast<Json::Int64>(h.last_error_time);
  return x;
}

std::vector<Sample> UnitSamples(unsigned int device, const UnitValues& u) {
  std::vector<Sample> out;
  for (const Value& x : u.values) {
    if (x.field.metric.empty() || !x.number) continue;
    Sample s;
    s.metric = x.field.metric;
    s.labels.emplace_back("device", std::to_string(device));
    if (u.type != kRectifierType) s.labels.emplace_back("unit", std::to_string(u.data_id));
    for (const auto& l : x.field.metric_labels) s.labels.push_back(l);
    s.value = x.is_state() ? (x.alert ? 1 : 0) : *x.number;
    out.push_back(std::move(s));
  }
  return out;
}

// --- Front ends

void FrontEnds::Add(std::shared_ptr<FrontEnd> f) {
  std::lock_guard<std::mutex> lock(mu_);
  list_.push_back(std::move(f));
}

std::vector<std::shared_ptr<FrontEnd>> FrontEnds::list() const {
  std::lock_guard<std::mutex> lock(mu_);
  return list_;
}

FrontEnds::FrontEnds(SiteView& view) : view_(view) {
  view_.Board().SetListener([this](const AlarmNotice& n) { Alarm(n); });
}

FrontEnds::~FrontEnds() {
  StopAll();
  view_.Board().SetListener(nullptr);
}

bool FrontEnds::StartAll(std::string& error) {
  view_.StartBoard();
  const auto all = list();
  for (size_t i = 0; i < all.size(); ++i) {
    std::string why;
    if (!all[i]->Start(why)) {
      error = std::string(all[i]->name()) + ": " + why;
      for (size_t j = i; j-- > 0;) all[j]->Stop();
      return false;
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  started_ = true;
  ticker_stop_ = false;
  // Delays, shelves, maintenance and chatter end by themselves, rounds or not.
  ticker_ = std::thread([this] {
    std::unique_lock<std::mutex> l(tick_mu_);
    while (!tick_cv_.wait_for(l, std::chrono::seconds(1), [this] { return ticker_stop_; })) {
      l.unlock();
      view_.Board().Tick(view_.Now());
      l.lock();
    }
  });
  return true;
}

void FrontEnds::StopAll() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!started_) return;
    started_ = false;
  }
  {
    std::lock_guard<std::mutex> l(tick_mu_);
    ticker_stop_ = true;
  }
  tick_cv_.notify_all();
  if (ticker_.joinable()) ticker_.join();
  const auto all = list();
  for (auto it = all.rbegin(); it != all.rend(); ++it) (*it)->Stop();
}

void FrontEnds::Round(const RoundReport& report) {
  // The round's events with the points the view derived from it.
  const RoundView r = view_.Round(report);
  view_.Board().OnEvents(report.device_id, r.report.events, report.time);
  for (const auto& f : list()) f->OnRound(r);
}

void FrontEnds::Link(const LinkReport& link) {
  view_.Board().OnLink(link.device_id, link.answering, link.time);
  view_.Board().OnEvents(link.device_id, link.events, link.time);
  for (const auto& f : list()) f->OnLink(link);
}

void FrontEnds::Alarm(const AlarmNotice& notice) {
  for (const auto& f : list()) f->OnAlarm(notice);
}

bool FrontEnds::CheckReload(const Json::Value& site, std::vector<std::string>& problems) {
  bool ok = true;
  for (const auto& f : list()) {
    std::string why;
    if (!f->CheckReload(site, why)) {
      problems.push_back(std::string(f->name()) + ": " + why);
      ok = false;
    }
  }
  return ok;
}

void FrontEnds::Reload(const Json::Value& site) {
  view_.RetainBoard();
  for (const auto& f : list()) f->OnReload(site);
}

}  // namespace qmx::view
