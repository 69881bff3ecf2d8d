#include "site/site_host.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <set>

#include "units/common/model_text.h"
#include "wire/frame_codec.h"

namespace qmx {
namespace {

constexpr auto kLogRepeat = std::chrono::seconds(30);
using k417t_model::kTextBytes;

}  // namespace

ControllerModel ReadModelAnswer(const unsigned char* info, size_t len) {
  ControllerModel m;
  if (info == nullptr) return m;
  const size_t end = k417t_model::TextLength(info, len);
  for (size_t i = 0; i < end; ++i)
    m.model += info[i] >= 0x20 && info[i] < 0x7F ? static_cast<char>(info[i]) : '?';
  if (len >= kTextBytes + 2)
    m.version = fmt::format("{}.{}", info[kTextBytes], info[kTextBytes + 1]);
  return m;
}

int64_t SiteHost::Now() const {
  return options_.clock ? options_.clock() : static_cast<int64_t>(std::time(nullptr));
}

SiteHost::SiteHost(Options options, LogSink log)
    : options_(std::move(options)),
      log_(std::move(log)),
      tables_(std::make_shared<Tables>()),
      control_pacer_({std::chrono::milliseconds(std::max(options_.control_spacing_ms, 0)),
                      options_.control_queue}),
      alarms_(log_),
      jobs_(std::max<size_t>(options_.job_queue, 1), log_),
      records_(options_.heartbeat_s, std::max<size_t>(64, options_.job_queue),
               options_.changed_past_dead_band) {
  if (!options_.db_path.empty()) {
    store::HistoryOptions h;
    h.path = options_.db_path;
    h.retention = options_.retention;
    h.commit_s = options_.commit_s;
    h.max_bytes = options_.history_max_bytes;
    h.clock = [this] { return Now(); };
    h.log = log_;
    h.active_alarms = [this] {
      std::vector<store::AlarmEvent> open;
      for (const store::ActiveAlarm& a : alarms_.Active())
        open.push_back(store::EventOf(a, true, a.since));
      return open;
    };
    history_ = std::make_unique<store::HistoryStore>(std::move(h));
  }
}

SiteHost::~SiteHost() { Shutdown(); }

bool SiteHost::OpenHistory() {
  if (!history_) return false;
  const bool open = history_->Open();
  const std::vector<store::AlarmEvent> restored = history_->OpenAlarms();
  alarms_.Restore(restored);
  if (!restored.empty())
    Log(fmt::format("restore: {} alarm(s) still raised when the service stopped", restored.size()));
  return open;
}

void SiteHost::RestoreUnits(PMBusProtocol& ctrl) {
  if (!history_) return;
  for (const auto& unit : ctrl.GetAllChildVDevices()) {
    if (!unit) continue;  // no rectifier unit configured
    // The unit's type number is whatever it published under when the image
    // was stored; the newest image it accepts wins.
    bool restored = false;
    size_t refused = 0;
    for (auto& [type, image] : history_->LastImages(unit->DataId())) {
      const std::string bytes(image.begin(), image.end());
      if (!unit->LoadFromCache(bytes)) {
        ++refused;
        continue;
      }
      Log(fmt::format("restore: unit {} ({}) restored from {} bytes", unit->DataId(), type,
                      bytes.size()));
      KeepImage(*unit, type, std::move(image));
      restored = true;
      break;
    }
    if (!restored && refused > 0)
      Log(fmt::format("restore: unit {} refused its {} stored image(s), starts empty",
                      unit->DataId(), refused));
  }
}

size_t SiteHost::AddLine(std::unique_ptr<wire::Transport> transport) {
  line::LineSession::Options o;
  o.poll_tick_ms = options_.poll_tick_ms;
  o.missed_answers_invalidate = options_.missed_answers_invalidate;
  auto session = std::make_unique<line::LineSession>(
      std::move(transport), o,
      [this](const std::string& key, const std::string& l) { RateLimitedLog(key, l); });
  session->SetRoundSink(
      [this](PMBusProtocol& ctrl, const line::RoundTiming& t) { OnRound(ctrl, t); });
  session->SetLinkSink(
      [this](PMBusProtocol& ctrl, bool answering, int missed) { OnLink(ctrl, answering, missed); });
  session->SetAnswerSink([this](PMBusProtocol& ctrl, uint8_t cid1, uint8_t cid2, const uint8_t* f,
                                size_t n) { OnAnswer(ctrl, cid1, cid2, f, n); });
  auto next = std::make_shared<Tables>(*tables());
  const size_t id = next_line_++;
  next->lines[id] = std::move(session);
  Replace(std::move(next));
  return id;
}

bool SiteHost::AddDevice(std::shared_ptr<PMBusProtocol> ctrl, size_t line) {
  if (!ctrl) return false;
  const std::shared_ptr<const Tables> now = tables();
  auto l = now->lines.find(line);
  if (l == now->lines.end() || l->second->running()) {
    Log(fmt::format("device {}: no line {} that is not polling yet", ctrl->DataId(), line));
    return false;
  }
  const QMXController* host_ctrl = ctrl->controller().get();
  if (host_ctrl == nullptr || now->by_host_ctrl.count(host_ctrl) != 0) {
    Log(fmt::format("device {}: needs a host controller of its own", ctrl->DataId()));
    return false;
  }
  if (!l->second->Add(ctrl)) {
    Log(fmt::format("device {}: address {} is taken on line {}", ctrl->DataId(), ctrl->address,
                    l->second->name()));
    return false;
  }
  auto d = std::make_shared<Device>();
  d->ctrl = std::move(ctrl);
  d->line = l->second;
  d->line_id = line;
  d->unit_ids.push_back(d->ctrl->DataId());
  for (const auto& unit : d->ctrl->GetAllChildVDevices())
    if (unit) d->unit_ids.push_back(unit->DataId());
  // A device started again while the others poll: what it had raised waits
  // for its first round, as after a restart of the service.
  if (started_) alarms_.Unsettle(d->unit_ids);
  auto next = std::make_shared<Tables>(*now);
  next->by_host_ctrl[host_ctrl] = d;
  next->devices.push_back(std::move(d));
  Replace(std::move(next));
  return true;
}

bool SiteHost::AddDevice(std::shared_ptr<PMBusProtocol> ctrl,
                         std::unique_ptr<wire::Transport> transport) {
  return AddDevice(std::move(ctrl), AddLine(std::move(transport)));
}

std::shared_ptr<const SiteHost::Tables> SiteHost::tables() const {
  std::lock_guard<std::mutex> lock(tables_mu_);
  return tables_;
}

void SiteHost::Replace(std::shared_ptr<const Tables> next) {
  std::lock_guard<std::mutex> lock(tables_mu_);
  tables_ = std::move(next);
}

std::shared_ptr<SiteHost::Device> SiteHost::DeviceOf(const QMXSPDevice& ctrl) const {
  const std::shared_ptr<const Tables> held = tables();
  for (const auto& d : held->devices)
    if (d->ctrl.get() == &ctrl) return d;
  return nullptr;
}

std::shared_ptr<SiteHost::Device> SiteHost::DeviceOfUnit(const QMXVDevice& unit) const {
  const std::shared_ptr<QMXController> host = unit.controller();
  const std::shared_ptr<const Tables> t = tables();
  auto it = t->by_host_ctrl.find(host.get());
  return it == t->by_host_ctrl.end() ? nullptr : it->second;
}

std::shared_ptr<SiteHost::Device> SiteHost::DeviceById(unsigned int device_id) const {
  const std::shared_ptr<const Tables> held = tables();
  for (const auto& d : held->devices)
    if (d->ctrl->DataId() == device_id) return d;
  return nullptr;
}

void SiteHost::Start() {
  started_ = true;
  const std::shared_ptr<const Tables> held = tables();
  for (const auto& [id, l] : held->lines) l->Start();
}

void SiteHost::Stop() {
  const std::shared_ptr<const Tables> held = tables();
  for (const auto& [id, l] : held->lines) l->Stop();
}

bool SiteHost::RemoveLine(size_t line) {
  const std::shared_ptr<const Tables> now = tables();
  auto l = now->lines.find(line);
  if (l == now->lines.end()) return false;
  // Its thread ends first: nothing of it calls into the host after this.
  l->second->Close();
  // Then what its last round end queued (alarm commits, records, the report).
  DrainJobs();
  auto next = std::make_shared<Tables>();
  next->lines = now->lines;
  next->lines.erase(line);
  for (const auto& d : now->devices) {
    if (d->line_id == line) continue;
    next->devices.push_back(d);
    next->by_host_ctrl[d->ctrl->controller().get()] = d;
  }
  Replace(std::move(next));
  std::set<unsigned int> gone;
  for (const auto& d : now->devices)
    if (d->line_id == line) gone.insert(d->unit_ids.begin(), d->unit_ids.end());
  WriteLatest(&gone);
  return true;
}

bool SiteHost::LineOf(unsigned int device_id, size_t& line) const {
  const std::shared_ptr<Device> d = DeviceById(device_id);
  if (d == nullptr) return false;
  line = d->line_id;
  return true;
}

size_t SiteHost::RetireAlarms() {
  std::vector<uint32_t> polled;
  const std::shared_ptr<const Tables> held = tables();
  for (const auto& d : held->devices)
    polled.insert(polled.end(), d->unit_ids.begin(), d->unit_ids.end());
  const std::vector<store::AlarmEvent> events = alarms_.Retire(polled, Now()).events;
  for (const store::AlarmEvent& e : events)
    Log(fmt::format("alarm {} [{}] of unit {} cleared: the unit is not polled any more", e.key,
                    e.code, e.data_id));
  CommitEvents(nullptr, events, false);
  if (history_ && !events.empty()) history_->Flush();
  return events.size();
}

void SiteHost::DrainJobs() {
  std::mutex mu;
  std::condition_variable cv;
  bool ran = false;
  jobs_.Post([&] {
    std::lock_guard<std::mutex> lock(mu);
    ran = true;
    cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(mu);
  cv.wait(lock, [&] { return ran; });
}

void SiteHost::RunOnce(int max_wait_ms) {
  const std::shared_ptr<const Tables> t = tables();
  for (const auto& [id, l] : t->lines) l->RunOnce(t->lines.size() == 1 ? max_wait_ms : 0);
}

void SiteHost::Shutdown() {
  Stop();
  jobs_.Stop();
  WriteLatest(nullptr);
}

void SiteHost::WriteLatest(const std::set<unsigned int>* ids) {
  if (!history_) return;
  for (const RecordKeeper::Latest& l : records_.TakeLatest(ids))
    history_->AppendRecord(l.data_id, l.type, l.time, l.image.data(), l.image.size());
  history_->Flush();
}

ControlResult SiteHost::Control(unsigned int device_id, int code,
                                const std::vector<unsigned char>& in,
                                std::chrono::milliseconds limit) {
  const std::shared_ptr<Device> d = DeviceById(device_id);
  // Refusals are not logged here: the view's door writes one audit line for
  // every attempt, with its reason.
  if (d == nullptr) return {-1, fmt::format("no device {}", device_id)};
  if (limit.count() <= 0)
    limit = std::chrono::milliseconds(2 * d->ctrl->response_timeout_ms + 2000);
  std::string why;
  if (!control_pacer_.Enter(device_id, ControlPacer::Clock::now() + limit, why)) return {-1, why};
  // A command takes the controller's next exchange and its round starts
  // again, so commands closer than a round would stop polling for good: a
  // command waits until the device has completed a round since the last one
  // (at most one command per round). A device that does not answer has no
  // round to wait for.
  {
    std::unique_lock<std::mutex> lock(mu_);
    const bool turn = round_cv_.wait_until(lock, ControlPacer::Clock::now() + limit, [&] {
      return !d->line->answering(*d->ctrl) || d->line->rounds(*d->ctrl) > d->control_round ||
             d->control_round == 0;
    });
    if (!turn) {
      lock.unlock();
      control_pacer_.Leave(device_id);
      return {-1,
              "the device has not completed a round since its last command (one command a "
              "round)"};
    }
  }
  ControlResult r = d->line->SubmitControl(*d->ctrl, code, in)->Wait(limit);
  {
    std::lock_guard<std::mutex> lock(mu_);
    d->control_round = std::max<uint64_t>(d->line->rounds(*d->ctrl), 1);
  }
  control_pacer_.Leave(device_id);
  return r;
}

void SiteHost::Audit(const store::AuditEntry& entry, const std::string& line) {
  WriteLog(line);
  if (history_) history_->AppendAudit(entry);
}

ControlResult SiteHost::ControlQuery(unsigned int device_id) {
  const std::shared_ptr<Device> d = DeviceById(device_id);
  if (d == nullptr) return {-1, fmt::format("no device {}", device_id)};
  int result = -1, len = 0;
  d->ctrl->DeviceIoControl(1, nullptr, 0, &result, sizeof result, len);
  if (len != 4) return {-1, "the controller gave no result"};
  return {result, result < 0 ? "no answer yet" : ""};
}

std::optional<DeviceSnapshot> SiteHost::Snapshot(unsigned int device_id) const {
  const std::shared_ptr<Device> d = DeviceById(device_id);
  if (d == nullptr) return std::nullopt;
  DeviceSnapshot s;
  s.device_id = device_id;
  s.line = d->line->name();
  s.line_open = d->line->is_open();
  s.answering = d->line->answering(*d->ctrl);
  s.rounds = d->line->rounds(*d->ctrl);
  s.line_stats = d->line->stats();
  s.unit_ids = d->unit_ids;
  const std::set<unsigned int> ids(d->unit_ids.begin(), d->unit_ids.end());
  for (store::ActiveAlarm& a : alarms_.Active())
    if (ids.count(a.data_id) != 0) s.alarms.push_back(std::move(a));
  std::lock_guard<std::mutex> lock(mu_);
  s.last_round = d->last_round;
  s.stale = d->lost;
  s.model = d->model.model;
  s.version = d->model.version;
  for (const auto& [key, image] : last_images_)
    if (ids.count(key.first) != 0) s.images.push_back({key.first, key.second, image});
  return s;
}

std::vector<unsigned int> SiteHost::DeviceIds() const {
  std::vector<unsigned int> ids;
  const std::shared_ptr<const Tables> held = tables();
  for (const auto& d : held->devices) ids.push_back(d->ctrl->DataId());
  return ids;
}

uint64_t SiteHost::rounds(unsigned int device_id) const {
  const std::shared_ptr<Device> d = DeviceById(device_id);
  return d != nullptr ? d->line->rounds(*d->ctrl) : 0;
}

bool SiteHost::Busy(const PMBusProtocol& ctrl) const {
  const std::shared_ptr<Device> d = DeviceOf(ctrl);
  return d != nullptr && d->line->busy();
}

line::LineStats SiteHost::stats(const PMBusProtocol& ctrl) const {
  const std::shared_ptr<Device> d = DeviceOf(ctrl);
  return d != nullptr ? d->line->stats() : line::LineStats{};
}

std::vector<unsigned char> SiteHost::LastImage(unsigned int data_id, int type) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = last_images_.find({data_id, type});
  return it == last_images_.end() ? std::vector<unsigned char>{} : it->second;
}

std::vector<unsigned char> SiteHost::LastImage(const QMXVDevice& unit) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto t = unit_types_.find({unit.DataId(), unit.DeviceType()});
  if (t == unit_types_.end()) return {};
  auto it = last_images_.find({unit.DataId(), t->second});
  return it == last_images_.end() ? std::vector<unsigned char>{} : it->second;
}

void SiteHost::KeepImage(const QMXVDevice& unit, int type, std::vector<unsigned char> image) {
  std::lock_guard<std::mutex> lock(mu_);
  // Units of different kinds may share a data identifier (the rectifier group
  // has its controller's): images are kept per identifier and type.
  last_images_[{unit.DataId(), type}] = std::move(image);
  unit_types_[{unit.DataId(), unit.DeviceType()}] = type;
}

bool SiteHost::Publish(QMXVDevice& dev, int type, const unsigned char* data, int len, bool,
                       bool changed) {
  if (const std::shared_ptr<Device> d = DeviceOfUnit(dev)) d->line->Published(*d->ctrl);
  std::vector<unsigned char> image(data, data + len);
  if (history_ && options_.heartbeat_s > 0)
    records_.Published({dev.DataId(), dev.DeviceType()}, image, changed);
  KeepImage(dev, type, std::move(image));
  return true;
}

// A controller has no round end of its own: its points (the model check)
// are committed as they come. Units' points wait for their batch check.
bool SiteHost::ThresholdPoint(QMXVDevice& dev, const rule_value& rule) {
  std::shared_ptr<Device> d;
  const std::shared_ptr<const Tables> held = tables();
  for (const auto& candidate : held->devices)
    if (candidate->ctrl.get() == &dev) d = candidate;
  if (d == nullptr) return true;
  CommitEvents(d.get(), alarms_.Commit(dev.DataId(), {rule}, Now()).events);
  return false;
}

bool SiteHost::BatchCheck(QMXVDevice& dev, const std::vector<rule_value>& rules) {
  store::AlarmService::CommitResult r = alarms_.Commit(dev.DataId(), rules, Now());
  CommitEvents(DeviceOfUnit(dev).get(), r.events);
  if (!r.events.empty() && history_ && options_.heartbeat_s > 0)
    records_.AlarmChanged({dev.DataId(), dev.DeviceType()});
  return r.changed;
}

void SiteHost::CommitEvents(Device* device, const std::vector<store::AlarmEvent>& events,
                            bool in_round) {
  for (const store::AlarmEvent& e : events) {
    if (history_) history_->AppendEvent(e);
    if (device == nullptr || !in_round) continue;
    std::lock_guard<std::mutex> lock(mu_);
    device->round_events.push_back(e);
  }
}

std::vector<store::AlarmEvent> SiteHost::StateDerivedPoints(unsigned int device_id,
                                                            const std::string& key,
                                                            std::vector<rule_value> points) {
  const std::shared_ptr<Device> d = DeviceById(device_id);
  if (d == nullptr) return {};
  for (rule_value& p : points) {
    p.key = key;
    p.data_id = device_id;
  }
  std::vector<store::AlarmEvent> events = alarms_.Commit(device_id, points, Now()).events;
  CommitEvents(d.get(), events, false);
  return events;
}

void SiteHost::QueueJob(QMXVDevice&, std::function<void()> job) { jobs_.Post(std::move(job)); }

void SiteHost::SaveHistory(QMXVDevice& dev, const unsigned char* data, int len) {
  if (!history_) return;
  int type = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = unit_types_.find({dev.DataId(), dev.DeviceType()});
    if (it != unit_types_.end()) type = it->second;
  }
  if (type == 0) {
    // Stored under a type nobody would look for: refuse instead.
    RateLimitedLog(
        "notype" + std::to_string(dev.DataId()),
        fmt::format("history: unit {} saved before it ever published; not stored", dev.DataId()));
    return;
  }
  const int64_t now = Now();
  if (options_.heartbeat_s > 0 &&
      !records_.Store({dev.DataId(), dev.DeviceType()}, type, now,
                      std::vector<unsigned char>(data, data + len), history_->pending() > 0))
    return;
  history_->AppendRecord(dev.DataId(), type, now, data, static_cast<size_t>(len));
}

// The plug-in logs every bad answer; a line that keeps coming back (a unit
// count mismatch on every poll) is written once per period with a count.
void SiteHost::Log(const std::string& line) { RateLimitedLog(line, line); }

void SiteHost::WriteLog(const std::string& line) {
  if (log_) log_(line);
}

void SiteHost::RateLimitedLog(const std::string& key, const std::string& line) {
  const auto now = Clock::now();
  uint64_t suppressed = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (log_limits_.size() > 4096) log_limits_.clear();
    auto& slot = log_limits_[key];
    if (slot.first != Clock::time_point() && now - slot.first < kLogRepeat) {
      ++slot.second;
      return;
    }
    suppressed = slot.second;
    slot = {now, 0};
  }
  WriteLog(suppressed ? fmt::format("{} ({} more since the last report)", line, suppressed) : line);
}

int SiteHost::RefreshStatus(QMXSPDevice& dev) {
  const std::shared_ptr<Device> d = DeviceOf(dev);
  return d != nullptr ? d->line->RefreshStatus(*d->ctrl) : 0;
}

void SiteHost::Reset(QMXSPDevice& dev) {
  if (const std::shared_ptr<Device> d = DeviceOf(dev)) d->line->Reset(*d->ctrl);
}

void SiteHost::OnRound(PMBusProtocol& ctrl, const line::RoundTiming& t) {
  const std::shared_ptr<Device> d = DeviceOf(ctrl);
  if (d == nullptr) return;
  auto report = std::make_shared<RoundReport>();
  report->device_id = ctrl.DataId();
  report->round = d->line->rounds(ctrl);
  report->time = Now();
  int64_t now_ms = report->time * 1000;
  if (!options_.clock)
    now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count();
  report->duration_ms = t.duration_ms;
  report->bytes_out = t.bytes_out;
  report->bytes_in = t.bytes_in;
  report->exchanges = t.exchanges;
  {
    std::lock_guard<std::mutex> lock(mu_);
    d->last_round = report->time;
    // Two rounds within a millisecond (or a test clock's second) stay apart.
    if (now_ms <= d->last_round_ms && d->last_round_ms - now_ms < 1000)
      now_ms = d->last_round_ms + 1;
    report->time_ms = d->last_round_ms = now_ms;
    round_cv_.notify_all();
    const std::set<unsigned int> ids(d->unit_ids.begin(), d->unit_ids.end());
    for (const auto& [key, image] : last_images_)
      if (ids.count(key.first) != 0) report->images.push_back({key.first, key.second, image});
  }
  const bool settle = !d->settled;
  d->settled = true;
  // Queued behind the units' round-end jobs: when it runs, the round's alarm
  // changes are committed and its records appended.
  jobs_.Post([this, d, report, settle] {
    // The first round after start-up has stated every point the device still
    // has: what the history had raised and no round stated is gone.
    if (settle)
      CommitEvents(d.get(),
                   alarms_.SettleRestored(d->unit_ids, report->time, {kBatteryAlarmKey}).events);
    if (history_) history_->FlushDue();
    {
      std::lock_guard<std::mutex> lock(mu_);
      report->events.swap(d->round_events);
    }
    if (report_) report_(*report);
  });
}

bool SiteHost::LinesTried() const {
  const std::shared_ptr<const Tables> held = tables();
  for (const auto& [id, line] : held->lines)
    if (line->running() && !line->tried()) return false;
  return true;
}

bool SiteHost::LinesTurning(std::chrono::milliseconds bound, std::string& stuck) const {
  const auto now = std::chrono::steady_clock::now();
  const std::shared_ptr<const Tables> held = tables();
  for (const auto& [id, line] : held->lines) {
    // A line that has not begun its first pass yet is starting, not stuck.
    if (!line->running() || line->last_turn().time_since_epoch().count() == 0) continue;
    if (now - line->last_turn() > bound) {
      stuck = line->name();
      return false;
    }
  }
  return true;
}

void SiteHost::OnLink(PMBusProtocol& ctrl, bool answering, int missed) {
  const std::shared_ptr<Device> d = DeviceOf(ctrl);
  if (d == nullptr) return;
  rule_value rule;
  rule.condition = answering ? 0 : 1;
  rule.key = kCommAlarmKey;
  rule.code = kCommAlarmCode;
  rule.level = 1;
  rule.seq = 0;
  rule.name = "通信中断告警";
  rule.text = answering    ? "通信恢复"
              : missed > 0 ? fmt::format("连续{}次无应答", missed)
                           : std::string("串口不可用");  // the port is gone or will not open
  rule.data_id = ctrl.DataId();
  LinkReport report;
  report.device_id = ctrl.DataId();
  report.time = Now();
  report.answering = answering;
  report.missed = missed;
  report.events = alarms_.Commit(ctrl.DataId(), {rule}, report.time).events;
  {
    std::lock_guard<std::mutex> lock(mu_);
    d->lost = !answering;
  }
  // The clear belongs to the round that brought the controller back (it is
  // reported with that round only); the raise has no round and is reported
  // on its own.
  CommitEvents(d.get(), report.events, answering);
  if (answering) report.events.clear();
  if (!answering && history_) jobs_.Post([this] { history_->Flush(); });
  if (link_sink_) link_sink_(report);
}

void SiteHost::OnAnswer(PMBusProtocol& ctrl, uint8_t cid1, uint8_t cid2, const uint8_t* frame,
                        size_t len) {
  if (cid1 != k417t_model::kCid1 || cid2 != k417t_model::kCid2 || len < wire::kDecodedHeaderBytes ||
      frame[3] != wire::kRtnNormal)
    return;
  const std::shared_ptr<Device> d = DeviceOf(ctrl);
  if (d == nullptr) return;
  ControllerModel m =
      ReadModelAnswer(frame + wire::kDecodedHeaderBytes, len - wire::kDecodedHeaderBytes);
  std::lock_guard<std::mutex> lock(mu_);
  d->model = std::move(m);
}

bool SiteHost::OpenPort(QMXSPDevice& dev) {
  const std::shared_ptr<Device> d = DeviceOf(dev);
  return d != nullptr && d->line->OpenPort();
}

bool SiteHost::SendRequest(PMBusProtocol& dev, uint8_t cid1, uint8_t cid2,
                           const unsigned char* info, int info_len) {
  const std::shared_ptr<Device> d = DeviceOf(dev);
  return d != nullptr && d->line->Send(dev, cid1, cid2, info, info_len);
}

}  // namespace qmx
