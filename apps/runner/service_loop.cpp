#include "service_loop.h"

#include <fmt/format.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <thread>

#include "fleet.h"
#include "service_notify.h"
#include "settings.h"

namespace k417t_run {
namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_show_alarms{false};
std::atomic<bool> g_reload{false};

extern "C" void OnStop(int) { g_stop = true; }
extern "C" void OnUsr1(int) { g_show_alarms = true; }
extern "C" void OnHup(int) { g_reload = true; }

// The watchdog is fed only while every line's thread keeps turning: a line
// wedged this long (in a plug-in call, or a driver that never returns) stops
// the feeding and systemd restarts the service. A pass of a healthy line takes
// well under a second.
constexpr std::chrono::seconds kLineStuckAfter{15};

Json::Value IdList(const std::vector<unsigned>& ids) {
  Json::Value out(Json::arrayValue);
  for (unsigned id : ids) out.append(id);
  return out;
}

class Service {
 public:
  Service(const Args& a, ServiceInputs& in, QMXSPDeviceProvider& factory,
          FrontEndRegistry& front_ends, Streams& streams)
      : a_(a),
        in_(in),
        output_(streams.output()),
        log_(streams.log()),
        host_(std::make_shared<qmx::SiteHost>(HostOptions(a, in.history, in.db_path), log_)),
        view_(*host_),
        fronts_(view_) {
    host_->OpenHistory();
    // The front ends start in the registry's order (once the devices are set
    // up) and stop in the reverse one.
    front_ends.Build({view_, in_.site, output_, a.quiet, log_, ""}, fronts_);
    // Alarm events and points printed with their readable names (a point's
    // data identifier may be a unit's: its device is looked up).
    output_.SetLabeler([this](unsigned int device, const qmx::store::AlarmEvent& e) {
      const std::optional<unsigned int> owner = view_.DeviceOfUnit(e.data_id);
      return view_.Label(owner ? *owner : device, e);
    });
    host_->SetReportSink([this](const qmx::RoundReport& r) { fronts_.Round(r); });
    host_->SetLinkSink([this](const qmx::LinkReport& r) { fronts_.Link(r); });
    // Stops the lines before anything the plug-in made goes, and that before
    // the host and the log it may still use.
    Fleet::Options fo;
    fo.site = a.site;
    fo.scenario = in_.scenario;
    fo.pace = a.pace;
    fo.restore = !a.no_restore;
    fo.json = a.json;
    fleet_ = std::make_unique<Fleet>(fo, factory, host_, output_, log_);
  }

  ~Service() { output_.SetLabeler(nullptr); }  // the view goes with this object

  // 0, 1 or 2 as Serve.
  int Run() {
    std::vector<std::string> problems;
    if (!fleet_->Start(std::move(in_.site.devices), problems)) {
      for (const std::string& p : problems) std::cerr << "k417t-run: " << p << "\n";
      return 2;
    }
    view_.SetSite(SiteInfo());
    {
      std::string error;
      auto names = LoadAlarmNames(a_.site, in_.site.json, error);
      if (!names) {
        std::cerr << "k417t-run: " << error << "\n";
        return 2;
      }
      view_.SetAlarmNames(std::move(names));
    }
    signal(SIGINT, OnStop);
    signal(SIGTERM, OnStop);
    signal(SIGUSR1, OnUsr1);
    signal(SIGPIPE, SIG_IGN);
    std::string error;
    if (!fronts_.StartAll(error)) {
      std::cerr << "k417t-run: " << error << "\n";
      return 2;
    }
    host_->Start();
    // Ready once the site is loaded and every line has tried its port (opened
    // it, or found it missing and retries in the background); a line that
    // hangs in its first open holds this back for 10 s at most.
    for (int i = 0; i < 200 && !g_stop && !host_->LinesTried(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    notify_.Ready(Polling());

    std::atomic<bool> control_done{a_.control.empty()};
    std::atomic<int> rc{0};
    std::thread control_driver;
    if (!a_.control.empty()) {
      control_driver = std::thread([this, &control_done, &rc, ids = fleet_->ids()] {
        if (!DriveControl(ids)) rc = 1;  // a controller never answered
        control_done = true;
      });
    }
    Loop(control_done);
    notify_.Stopping();
    g_stop = true;  // ends the control driver's wait for a first round
    if (control_driver.joinable()) control_driver.join();
    host_->Shutdown();
    fronts_.StopAll();
    if (a_.alarms) output_.Alarms(host_->ActiveAlarms());
    return rc;
  }

 private:
  qmx::view::SiteInfo SiteInfo() const {
    qmx::view::SiteInfo info;
    for (const SiteDevice* d : fleet_->devices())
      info[d->data_id] = {d->name,       d->ctrl->baud_rate, d->labels,
                          d->unit_names, d->dc_limits,       d->battery};
    return info;
  }

  std::string Polling() const {
    const size_t n = fleet_->ids().size();
    return fmt::format("polling {} device{}", n, n == 1 ? "" : "s");
  }

  // Until every device has done its rounds (and the control driver is
  // through), or until a signal.
  void Loop(const std::atomic<bool>& control_done) {
    std::string stuck, said_stuck;
    while (!g_stop) {
      if (host_->LinesTurning(kLineStuckAfter, stuck)) {
        notify_.Tick();
        said_stuck.clear();
      } else if (stuck != said_stuck) {
        said_stuck = stuck;
        const std::string why = "line " + stuck + " has not turned for " +
                                std::to_string(kLineStuckAfter.count()) +
                                " s; the watchdog is no longer fed";
        log_(why);
        notify_.Status(why);
      }
      if (g_reload.exchange(false)) Reload();
      const std::vector<unsigned> ids = fleet_->ids();
      bool all_done = a_.rounds > 0 && control_done;
      uint64_t least = UINT64_MAX;
      unsigned slowest = 0;
      for (const unsigned id : ids) {
        const uint64_t done = host_->rounds(id);
        if (a_.rounds > 0 && done < static_cast<uint64_t>(a_.rounds)) all_done = false;
        if (done < least) {
          least = done;
          slowest = id;
        }
      }
      if (a_.quiet || ids.empty()) {
      } else if (ids.size() == 1) {
        output_.Progress(fmt::format("device {}: round {} in flight", slowest, least + 1));
      } else {
        output_.Progress(
            fmt::format("{} devices: slowest {} at round {}", ids.size(), slowest, least + 1));
      }
      if (g_show_alarms.exchange(false)) output_.Alarms(host_->ActiveAlarms());
      if (all_done) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  // SIGHUP: the site file again. Nothing changes unless all of it loads and
  // every new setting is accepted.
  void Reload() {
    notify_.Reloading();
    log_("reload: reading " + a_.site);
    Json::Value next_site;
    std::vector<SiteDevice> next;
    std::string err;
    std::vector<std::string> why;
    Fleet::Change change;
    bool applied = false;  // a line that did not start leaves the rest applied
    if (!LoadSite(a_.site, next_site, next, err)) {
      why.push_back(err);
    } else if (fronts_.CheckReload(next_site, why)) {
      applied = fleet_->Reload(std::move(next), change, why);
    }
    if (applied) {
      view_.SetSite(SiteInfo());
      std::string names_error;
      if (auto names = LoadAlarmNames(a_.site, next_site, names_error))
        view_.SetAlarmNames(std::move(names));
      else
        why.push_back(names_error);
      fronts_.Reload(next_site);
    }
    ReportReload(applied, why, change);
    notify_.Ready(Polling());
  }

  // What a reload did: in the log, and as a "reload" line (JSON) or its text.
  void ReportReload(bool applied, const std::vector<std::string>& problems,
                    const Fleet::Change& change) {
    Json::Value v(Json::objectValue);
    v["kind"] = "reload";
    v["ok"] = problems.empty();
    for (const std::string& p : problems) {
      log_("reload: " + p);
      v["problems"].append(p);
    }
    std::string text;
    if (!applied) {
      text = "reload: the site file was not taken; the running configuration stays";
    } else {
      v["added"] = IdList(change.added);
      v["removed"] = IdList(change.removed);
      v["changed"] = IdList(change.changed);
      v["restarted"] = IdList(change.restarted);
      v["kept"] = IdList(change.kept);
      text = fmt::format(
          "reload: {} added, {} removed, {} changed, {} restarted with their line, {} kept; {}",
          change.added.size(), change.removed.size(), change.changed.size(),
          change.restarted.size(), change.kept.size(), Polling());
    }
    log_(text);
    if (a_.json)
      output_.Json(v);
    else if (!a_.quiet)
      output_.Line(text);
  }

  // Sends the --control command to every device after its first round, from
  // a thread of its own (as a front end would), and prints each result.
  // False when a controller never answered.
  // Who started the runner, for the audit: the login name of its user.
  static std::string UserName() {
    const uid_t uid = geteuid();
    if (const passwd* pw = getpwuid(uid); pw != nullptr && pw->pw_name != nullptr)
      return pw->pw_name;
    return "uid " + std::to_string(uid);
  }

  bool DriveControl(const std::vector<unsigned>& ids) {
    const ControlCommand& c = in_.control;
    bool answered = true;
    for (const unsigned id : ids) {
      while (!g_stop && host_->rounds(id) < 1 && host_->Snapshot(id))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (g_stop) return answered;
      qmx::view::ControlAttempt attempt;
      attempt.via = "command line";
      attempt.who = UserName();
      attempt.device = id;
      attempt.code = c.code;
      attempt.byte = c.byte;
      const qmx::ControlResult r = view_.Control(attempt);
      if (r.result == -1) answered = false;
      if (a_.json) {
        Json::Value v(Json::objectValue);
        v["kind"] = "control";
        v["device"] = id;
        v["code"] = c.code;
        v["result"] = r.result;
        if (!r.reason.empty()) v["reason"] = r.reason;
        output_.Json(v);
      } else {
        output_.Line(fmt::format("control {} on device {}: result {}{}", a_.control, id, r.result,
                                 r.reason.empty() ? "" : " (" + r.reason + ")"));
      }
    }
    return answered;
  }

  const Args& a_;
  ServiceInputs& in_;
  Output& output_;
  const std::function<void(const std::string&)> log_;
  // Destroyed in reverse: the lines stop before the front ends, the view and
  // the host go.
  std::shared_ptr<qmx::SiteHost> host_;
  qmx::view::SiteView view_;
  qmx::view::FrontEnds fronts_;
  std::unique_ptr<Fleet> fleet_;
  ServiceNotify notify_;
};

}  // namespace

void CatchReload() { signal(SIGHUP, OnHup); }

int Serve(const Args& a, ServiceInputs in, QMXSPDeviceProvider& factory,
          FrontEndRegistry& front_ends, Streams& streams) {
  Service service(a, in, factory, front_ends, streams);
  return service.Run();
}

}  // namespace k417t_run
