// The site view's side of the battery engines: each completed round's
// readings go to the device's engine, what it gives back goes to the history
// (its memory, its discharge rows), to the alarm service (the derived
// points) and to the plant (the test's commands, through the audited control
// path on a worker thread of the view).
#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <ctime>
#include <future>
#include <sstream>

#include "store/history_store.h"
#include "view/site_view.h"

namespace qmx::view {

struct SiteView::BatteryDevice {
  std::unique_ptr<BatteryEngine> engine;
  bool restored = false;  // the history's memory read (first round)
  // The history's row of the discharge going on (0: none, or not stored).
  int64_t open_id = 0;
  std::optional<DischargeRecord> last;  // the newest ended discharge
  bool last_read = false;               // `last` read from the history
  bool autonomy_low = false;
  std::string last_memory;  // the memory as last saved (unchanged: not saved again)
};

namespace {

constexpr const char* kMemoryKey = "battery";
// The derived points' texts (byte for byte what every front end shows),
// codes (the label table's) and levels: a discharge is major, a low
// autonomy critical (severity.h).
constexpr const char* kDischargeText = "Battery discharge";
constexpr const char* kAutonomyText = "Battery autonomy low";
constexpr const char* kDischargeCode = "battery_discharge";
constexpr const char* kAutonomyCode = "battery_autonomy_low";
constexpr uint32_t kDischargeLevel = 2;
constexpr uint32_t kAutonomyLevel = 1;
// Below this an AC input's phase counts as gone (half of a 180 V low
// limit, well under any mains a rectifier runs on).
constexpr double kMainsGoneV = 90.0;

std::string RefKey(const ValueRef& r) { return r.list + "_" + std::to_string(r.index); }

const UnitValues* UnitOf(const std::vector<UnitValues>& units, unsigned int id) {
  for (const UnitValues& u : units)
    if (u.data_id == id && u.error.empty()) return &u;
  return nullptr;
}

std::optional<double> NumberOf(const std::vector<UnitValues>& units, const ValueRef& r) {
  const UnitValues* u = UnitOf(units, r.unit);
  if (u == nullptr) return std::nullopt;
  const Value* v = u->Find(RefKey(r));
  if (v == nullptr || v->is_state() || !v->number || !std::isfinite(*v->number))
    return std::nullopt;
  return v->number;
}

bool EndsWith(const std::string& s, const char* tail) {
  const std::string t(tail);
  return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

// Whether every AC input of every AC screen has lost its mains: each phase
// it reports is below kMainsGoneV or says low or missing. False when no AC
// screen reports an input.
bool MainsLost(const std::vector<UnitValues>& units) {
  bool any_input = false;
  for (const UnitValues& u : units) {
    if (u.kind != "ac" || !u.error.empty()) continue;
    for (unsigned i = 0;; ++i) {
      const std::string base = "channel_" + std::to_string(i) + "_";
      bool seen = false, up = false;
      for (const char* phase : {"a", "b", "c"}) {
        const Value* v = u.Find(base + phase);
        const Value* state = u.Find(base + phase + "_alert");
        if (v == nullptr && state == nullptr) continue;
        const bool state_down =
            state != nullptr && (state->word == "low" || state->word == "phase missing");
        const bool volts_down = v != nullptr && v->number && *v->number < kMainsGoneV;
        const bool has_volts = v != nullptr && v->number.has_value();
        if (!has_volts && state == nullptr) continue;  // a phase this input does not have
        seen = true;
        if (!state_down && !volts_down) up = true;
      }
      if (u.Find(base + "a") == nullptr && u.Find(base + "a_alert") == nullptr) break;
      if (!seen) continue;
      any_input = true;
      if (up) return false;
    }
  }
  return any_input;
}

// An active state of the AC inputs or of the rectifier modules.
bool MainsOrRectifierAlarm(const std::vector<UnitValues>& units) {
  for (const UnitValues& u : units) {
    if (!u.error.empty()) continue;
    for (const Value& v : u.values) {
      if (!v.is_state() || !v.alert) continue;
      const std::string& k = v.field.key;
      if (u.kind == "ac" && k.rfind("channel_", 0) == 0 && EndsWith(k, "_alert")) return true;
      if (u.kind == "rectifier" && k.rfind("module_", 0) == 0 && EndsWith(k, "_fault")) return true;
    }
  }
  return false;
}

store::DischargeRow RowOf(const DischargeRecord& r) {
  store::DischargeRow row;
  row.id = r.id;
  row.device = r.device;
  row.start_ms = r.start_ms;
  row.end_ms = r.end_ms;
  row.cause = r.cause;
  row.ah = r.ah;
  row.kwh = r.kwh;
  row.min_v = r.min_v;
  row.end_v = r.end_v;
  row.min_temp = r.min_temp_c;
  row.result = r.result;
  row.expected_ah = r.expected_ah;
  return row;
}

DischargeRecord RecordOf(const store::DischargeRow& row) {
  DischargeRecord r;
  r.id = row.id;
  r.device = row.device;
  r.start_ms = row.start_ms;
  r.end_ms = row.end_ms;
  r.cause = row.cause;
  r.ah = row.ah;
  r.kwh = row.kwh;
  r.min_v = row.min_v;
  r.end_v = row.end_v;
  r.min_temp_c = row.min_temp;
  r.result = row.result;
  r.expected_ah = row.expected_ah;
  return r;
}

std::string Compact(const Json::Value& v) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  return Json::writeString(w, v);
}

rule_value Point(const char* code, uint32_t level, const char* text, uint32_t seq, bool on) {
  rule_value p;
  p.condition = on ? 1 : 0;
  p.code = code;
  p.level = level;
  p.seq = seq;
  p.name = text;
  p.text = text;
  return p;
}

}  // namespace

SiteView::~SiteView() {
  {
    std::lock_guard<std::mutex> lock(battery_jobs_mu_);
    battery_stop_ = true;
  }
  battery_jobs_cv_.notify_all();
  if (battery_worker_.joinable()) battery_worker_.join();
}

void SiteView::PostBattery(std::function<void()> job) {
  std::lock_guard<std::mutex> lock(battery_jobs_mu_);
  if (battery_stop_) return;
  battery_jobs_.push_back(std::move(job));
  if (!battery_worker_.joinable()) {
    battery_worker_ = std::thread([this] {
      std::unique_lock<std::mutex> l(battery_jobs_mu_);
      for (;;) {
        battery_jobs_cv_.wait(l, [this] { return battery_stop_ || !battery_jobs_.empty(); });
        // Commands already asked for still go out at a stop: a plant left
        // in test mode would discharge its batteries unwatched.
        if (battery_jobs_.empty()) return;
        std::function<void()> next = std::move(battery_jobs_.front());
        battery_jobs_.pop_front();
        l.unlock();
        next();
        l.lock();
      }
    });
  }
  battery_jobs_cv_.notify_all();
}

ControlResult SiteView::RunOnBatteryWorker(std::function<ControlResult()> job) {
  auto task = std::make_shared<std::packaged_task<ControlResult()>>(std::move(job));
  std::future<ControlResult> result = task->get_future();
  bool on_worker = false;
  {
    std::lock_guard<std::mutex> lock(battery_jobs_mu_);
    if (battery_stop_) return {-1, "the service is stopping"};
    on_worker = battery_worker_.get_id() == std::this_thread::get_id();
  }
  if (on_worker) {
    (*task)();  // asked from a battery job itself: waiting would never end
  } else {
    PostBattery([task] { (*task)(); });
  }
  return result.get();
}

std::shared_ptr<SiteView::BatteryDevice> SiteView::BatteryOf(unsigned int device) const {
  std::lock_guard<std::mutex> lock(battery_mu_);
  auto it = batteries_.find(device);
  return it == batteries_.end() ? nullptr : it->second;
}

void SiteView::BatterySite(const SiteInfo& site) {
  std::vector<std::pair<unsigned int, BatteryEngine::Step::Command>> stops;
  {
    std::lock_guard<std::mutex> lock(battery_mu_);
    std::map<unsigned int, std::shared_ptr<BatteryDevice>> next;
    for (const auto& [id, info] : site) {
      auto b = std::make_shared<BatteryDevice>();
      auto old = batteries_.find(id);
      b->engine = std::make_unique<BatteryEngine>(id, info.battery);
      if (old != batteries_.end()) {
        // A reload: the counters, the state of charge and a discharge going
        // on carry over to the engine with the new settings. A test cannot
        // (its settings may have changed): it ends here, the plant back to float.
        BatteryDevice& o = *old->second;
        BatteryEngine::Step::Command stop;
        const int64_t now_ms = Now() * 1000;
        if (o.engine->Test().phase == BatteryTestState::Phase::kRunning &&
            o.engine->AbortTest(now_ms, "the site file was reloaded", &stop))
          stops.emplace_back(id, stop);
        b->engine->Restore(o.engine->Memory());
        b->restored = o.restored;
        b->open_id = o.open_id;
        b->last = o.last;
        b->last_read = o.last_read;
        b->autonomy_low = o.autonomy_low;
      }
      next[id] = std::move(b);
    }
    batteries_.swap(next);
  }
  for (const auto& [id, stop] : stops) SendBatteryCommand(id, stop, "reload", false);
}

namespace {
// The controller's return code is 0 when it took a command; any other code
// (a refusal, a busy plant) means the rectifiers did not change mode.
ControlResult Refusal(ControlResult r) {
  if (r.result > 0 && r.reason.empty())
    r.reason = "the controller answered return code " + std::to_string(r.result);
  return r;
}

// A discharge row the history has as going on that the memory does not
// carry on: the gateway stopped (a power cut) after the row was written and
// before the memory's next commit. It ended unseen; left open it would read
// as going on for ever. It ends at the last time the memory counted (or its
// own start), with what it had delivered when it was written.
void CloseUnseenDischarges(store::HistoryStore& history, unsigned int device,
                           const std::optional<BatteryMemory>& memory) {
  const int64_t now_s = static_cast<int64_t>(std::time(nullptr));
  for (store::DischargeRow r : history.Discharges(device, 0, now_s + 86400, 50)) {
    if (r.end_ms != 0) continue;
    if (memory && memory->open && memory->open->start_ms == r.start_ms) continue;
    const int64_t last = memory ? memory->counters.time_ms : 0;
    r.end_ms = std::max(r.start_ms, last);
    if (r.result.empty()) r.result = "not seen to its end: the gateway stopped";
    history.UpdateDischarge(r);
  }
}
}  // namespace

void SiteView::SendBatteryCommand(unsigned int device, const BatteryEngine::Step::Command& c,
                                  const std::string& who, bool is_start) {
  PostBattery([this, device, c, who, is_start] {
    ControlAttempt a;
    a.via = "battery test";
    a.who = who.empty() ? std::string("schedule") : who;
    a.device = device;
    a.code = c.code;
    a.byte = c.byte;
    const ControlResult r = Refusal(Send(a, std::chrono::milliseconds(0), c.why));
    if (!is_start || r.result == 0) return;
    // The plant did not take the start: no test runs on the gateway's side,
    // and the stop goes out in case the command reached it after all.
    BatteryEngine::Step::Command stop;
    bool aborted = false;
    if (std::shared_ptr<BatteryDevice> b = BatteryOf(device)) {
      std::lock_guard<std::mutex> lock(battery_mu_);
      aborted = b->engine->AbortTest(Now() * 1000, "start command refused: " + r.reason, &stop);
    }
    if (aborted) {
      a.code = stop.code;
      a.byte = stop.byte;
      Send(a, std::chrono::milliseconds(0), stop.why);
    }
  });
}

void SiteView::BatteryRound(const RoundReport& report, const DeviceInfo& info,
                            const std::vector<UnitValues>& units,
                            std::vector<store::AlarmEvent>& events) {
  std::shared_ptr<BatteryDevice> b = BatteryOf(report.device_id);
  if (b == nullptr) {
    // A device the site file did not describe (tests, a bare start).
    std::lock_guard<std::mutex> lock(battery_mu_);
    auto& slot = batteries_[report.device_id];
    if (slot == nullptr) {
      slot = std::make_shared<BatteryDevice>();
      slot->engine = std::make_unique<BatteryEngine>(report.device_id, info.battery);
    }
    b = slot;
  }
  store::HistoryStore* history = host_.history();

  RoundInputs in;
  in.time_ms = report.time_ms != 0 ? report.time_ms : report.time * 1000;
  const std::optional<DeviceSnapshot> snap = host_.Snapshot(report.device_id);
  in.live = !snap || (snap->answering && !snap->stale);
  std::optional<double> load;
  for (const UnitValues& u : units) {
    if (!u.error.empty()) continue;
    if (u.kind == "dc") {
      const Value* v = u.Find("v");
      if (!in.bus_v && v != nullptr && v->number) in.bus_v = v->number;
      const Value* i = u.Find("i");
      if (i != nullptr && i->number) load = load.value_or(0) + *i->number;
    } else if (u.kind == "rectifier") {
      if (const Value* v = u.Find("total_current"); v != nullptr && v->number)
        in.rectifier_a = v->number;
      if (const Value* v = u.Find("rc_value"); v != nullptr && v->number)
        in.rectifier_v = v->number;
    }
  }
  in.load_a = load;
  for (const BatteryString& s : info.battery.strings) {
    std::optional<double> a = NumberOf(units, s.current);
    if (a && s.discharge_negative) *a = -*a;
    in.string_a.push_back(a);
  }
  for (const ValueRef& t : info.battery.temperatures) in.temps_c.push_back(NumberOf(units, t));
  in.mains_lost = MainsLost(units);
  in.mains_or_rectifier_alarm = MainsOrRectifierAlarm(units);
  const std::time_t tt = static_cast<std::time_t>(in.time_ms / 1000);
  std::tm tm{};
  if (localtime_r(&tt, &tm) != nullptr) {
    in.local_day = (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
    in.local_minute = tm.tm_hour * 60 + tm.tm_min;
    in.local_weekday = (tm.tm_wday + 6) % 7;
  }

  // The history's memory, read before the first round is counted.
  std::optional<BatteryMemory> memory;
  if (history != nullptr) {
    bool first = false;
    {
      std::lock_guard<std::mutex> lock(battery_mu_);
      first = !b->restored;
      b->restored = true;
    }
    if (first) {
      BatteryMemory m;
      Json::Value v;
      Json::CharReaderBuilder rb;
      std::string errs;
      std::istringstream text(history->LoadState(report.device_id, kMemoryKey).value_or(""));
      if (Json::parseFromStream(rb, text, &v, &errs) && ParseBatteryMemory(v, &m)) memory = m;
      CloseUnseenDischarges(*history, report.device_id, memory);
    }
  }

  BatteryEngine::Step step;
  bool discharging = false;
  std::string memory_json;
  std::string started_by;
  int64_t open_id = 0;
  {
    std::lock_guard<std::mutex> lock(battery_mu_);
    if (memory) {
      b->engine->Restore(*memory);
      if (memory->open) b->open_id = memory->open->id;
    }
    step = b->engine->Round(in);
    if (step.started) b->open_id = 0;
    open_id = b->open_id;
    started_by = b->engine->Test().started_by;
  }
  if (memory && memory->open && open_id == 0 && history != nullptr) {
    // Stored, but the memory committed before the row's id was in it.
    for (const store::DischargeRow& r : history->Discharges(
             report.device_id, memory->open->start_ms / 1000, memory->open->start_ms / 1000, 4))
      if (r.start_ms == memory->open->start_ms && r.end_ms == 0) open_id = r.id;
  }
  if (step.ended) {
    DischargeRecord ended = *step.ended;
    ended.device = report.device_id;
    if (ended.id == 0) ended.id = open_id;
    if (history != nullptr) history->UpdateDischarge(RowOf(ended));
    open_id = 0;
    std::lock_guard<std::mutex> lock(battery_mu_);
    b->last = ended;
    b->last_read = true;
  }
  if (step.started) {
    DischargeRecord started = *step.started;
    started.device = report.device_id;
    open_id = history != nullptr ? history->AddDischarge(RowOf(started)) : 0;
  }
  {
    std::lock_guard<std::mutex> lock(battery_mu_);
    b->open_id = open_id;
    b->autonomy_low = step.autonomy_low;
    discharging = b->engine->Discharging().has_value();
    BatteryMemory m = b->engine->Memory();
    if (m.open) m.open->id = open_id;
    memory_json = Compact(BatteryMemoryJson(m));
    if (memory_json == b->last_memory)
      memory_json.clear();
    else
      b->last_memory = memory_json;
  }
  if (history != nullptr && !memory_json.empty())
    history->SaveState(report.device_id, kMemoryKey, memory_json);

  // The derived points, stated every round like a unit's.
  std::vector<store::AlarmEvent> derived = host_.StateDerivedPoints(
      report.device_id, kBatteryAlarmKey,
      {Point(kDischargeCode, kDischargeLevel, kDischargeText, 0, discharging),
       Point(kAutonomyCode, kAutonomyLevel, kAutonomyText, 1, step.autonomy_low)});
  events.insert(events.end(), derived.begin(), derived.end());

  if (!step.test_refused.empty()) {
    ControlAttempt a;
    a.via = "battery test";
    a.who = "schedule";
    a.device = report.device_id;
    a.code = info.battery.test.start_code;
    a.byte = info.battery.test.start_byte;
    Refused(a, "refused", "battery test start: " + step.test_refused);
  }
  const BatteryTestSettings& t = info.battery.test;
  for (const BatteryEngine::Step::Command& c : step.commands) {
    const bool is_start = c.code == t.start_code && c.byte == t.start_byte &&
                          !(t.start_code == t.stop_code && t.start_byte == t.stop_byte);
    SendBatteryCommand(report.device_id, c, started_by, is_start);
  }
}

std::optional<BatteryView> SiteView::Battery(unsigned int device) const {
  std::shared_ptr<BatteryDevice> b = BatteryOf(device);
  if (b == nullptr) return std::nullopt;
  bool read_last = false;
  {
    std::lock_guard<std::mutex> lock(battery_mu_);
    read_last = !b->last_read;
  }
  std::optional<DischargeRecord> last;
  if (read_last) {
    // The newest ended discharge the history has (read once, then kept).
    if (const store::HistoryStore* h = History()) {
      for (const store::DischargeRow& r :
           h->Discharges(device, INT64_MIN / 1000, INT64_MAX / 1000, 8))
        if (r.end_ms != 0) {
          last = RecordOf(r);
          break;
        }
    }
  }
  std::lock_guard<std::mutex> lock(battery_mu_);
  if (read_last && !b->last_read) {
    b->last = last;
    b->last_read = true;
  }
  const BatteryEngine& e = *b->engine;
  BatteryView v;
  v.configured = e.settings().configured();
  v.total = e.counters();
  v.today = e.Today();
  v.month = e.ThisMonth();
  v.power_w = e.PowerW();
  v.soc = e.soc();
  v.autonomy = e.Autonomy();
  v.autonomy_low = b->autonomy_low;
  v.discharging = e.Discharging();
  if (v.discharging) {
    v.discharging->device = device;
    v.discharging->id = b->open_id;
  }
  v.last = b->last;
  v.test = e.Test();
  v.test_allowed = e.settings().test.allowed;
  return v;
}

std::vector<DischargeRecord> SiteView::Discharges(unsigned int device, int64_t from, int64_t to,
                                                  size_t limit) const {
  std::vector<DischargeRecord> out;
  const store::HistoryStore* h = History();
  if (h == nullptr) return out;
  for (const store::DischargeRow& r : h->Discharges(device, from, to, limit)) {
    DischargeRecord d = RecordOf(r);
    // The one going on reads as the engine has it now.
    if (d.end_ms == 0) {
      if (std::shared_ptr<BatteryDevice> b = BatteryOf(r.device)) {
        std::lock_guard<std::mutex> lock(battery_mu_);
        std::optional<DischargeRecord> now = b->engine->Discharging();
        if (now && b->open_id == r.id && now->start_ms == r.start_ms) {
          d = *now;
          d.id = r.id;
          d.device = r.device;
        }
      }
    }
    // Going on first among them.
    if (d.end_ms == 0)
      out.insert(std::find_if(out.begin(), out.end(),
                              [](const DischargeRecord& x) { return x.end_ms != 0; }),
                 std::move(d));
    else
      out.push_back(std::move(d));
  }
  return out;
}

ControlResult SiteView::StartBatteryTest(const ControlAttempt& attempt) {
  return RunOnBatteryWorker([this, attempt]() -> ControlResult {
    const DeviceInfo info = Info(attempt.device);
    ControlAttempt a = attempt;
    a.code = info.battery.test.start_code;
    a.byte = info.battery.test.start_byte;
    std::shared_ptr<BatteryDevice> b = BatteryOf(attempt.device);
    if (b == nullptr) {
      const std::string why = "no such device";
      Refused(a, "refused", "battery test start: " + why);
      return {-1, why};
    }
    BatteryEngine::Step::Command start;
    std::string why;
    {
      std::lock_guard<std::mutex> lock(battery_mu_);
      why = b->engine->StartTest(Now() * 1000, attempt.who, &start);
    }
    if (!why.empty()) {
      Refused(a, "refused", "battery test start: " + why);
      return {-1, why};
    }
    a.code = start.code;
    a.byte = start.byte;
    const ControlResult r = Refusal(Send(a, std::chrono::milliseconds(0),
                                         start.why.empty() ? "battery test start" : start.why));
    if (r.result == 0) return {0, r.reason};
    // The plant did not take it: no test runs, and the stop goes out in
    // case the command reached it after all.
    BatteryEngine::Step::Command stop;
    bool aborted = false;
    {
      std::lock_guard<std::mutex> lock(battery_mu_);
      aborted = b->engine->AbortTest(Now() * 1000, "start command refused: " + r.reason, &stop);
    }
    if (aborted) {
      ControlAttempt s = a;
      s.request_id.clear();
      s.code = stop.code;
      s.byte = stop.byte;
      Send(s, std::chrono::milliseconds(0), stop.why.empty() ? "battery test stop" : stop.why);
    }
    return {-1, r.reason};
  });
}

ControlResult SiteView::StopBatteryTest(const ControlAttempt& attempt) {
  return RunOnBatteryWorker([this, attempt]() -> ControlResult {
    const DeviceInfo info = Info(attempt.device);
    ControlAttempt a = attempt;
    a.code = info.battery.test.stop_code;
    a.byte = info.battery.test.stop_byte;
    std::shared_ptr<BatteryDevice> b = BatteryOf(attempt.device);
    BatteryEngine::Step::Command stop;
    bool aborted = false;
    if (b != nullptr) {
      std::lock_guard<std::mutex> lock(battery_mu_);
      aborted = b->engine->AbortTest(Now() * 1000, "stopped by " + attempt.who, &stop);
    }
    if (!aborted) {
      const std::string why = "no battery test is running";
      Refused(a, "refused", "battery test stop: " + why);
      return {-1, why};
    }
    a.code = stop.code;
    a.byte = stop.byte;
    const ControlResult r = Refusal(
        Send(a, std::chrono::milliseconds(0), stop.why.empty() ? "battery test stop" : stop.why));
    return {r.result == 0 ? 0 : -1, r.reason};
  });
}

Json::Value BatteryJson(const BatteryView& b) {
  Json::Value x(Json::objectValue);
  x["configured"] = b.configured;
  x["total"] = CountersJson(b.total);
  x["today"] = CountersJson(b.today);
  x["month"] = CountersJson(b.month);
  x["power_w"] = b.power_w ? Json::Value(*b.power_w) : Json::Value();
  x["soc"] = b.soc;
  x["autonomy"] = AutonomyJson(b.autonomy);
  x["autonomy_low"] = b.autonomy_low;
  x["discharging"] = b.discharging ? DischargeJson(*b.discharging) : Json::Value();
  x["last"] = b.last ? DischargeJson(*b.last) : Json::Value();
  Json::Value t(Json::objectValue);
  t["allowed"] = b.test_allowed;
  t["running"] = b.test.phase == BatteryTestState::Phase::kRunning;
  t["started"] = b.test.started_ms != 0
                     ? Json::Value(static_cast<Json::Int64>(b.test.started_ms / 1000))
                     : Json::Value();
  t["started_by"] = b.test.started_by;
  t["next_scheduled"] = b.test.next_scheduled_ms != 0
                            ? Json::Value(static_cast<Json::Int64>(b.test.next_scheduled_ms / 1000))
                            : Json::Value();
  t["last_result"] = b.test.last_result;
  x["test"] = t;
  return x;
}

}  // namespace qmx::view
