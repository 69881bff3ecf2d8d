// The alarm board's rules (the site file's "alarms" object: delays, chatter,
// attach rules, spans) and its notices in the service's log. Always on: the
// defaults change nothing for a real fault.
#include <fmt/format.h>

#include "front_end_registry.h"
#include "input/checked_json.h"

namespace k417t_run {
namespace {

using qmx::view::AlarmNotice;
using qmx::view::AlarmRules;

// "alarm notice: chattering power-1 11_AC_8_9 06017 AC input phase missing,
// AC screen 1, input 1, voltage AB/A (major, chattering)"
std::string NoticeLine(const AlarmNotice& n) {
  using qmx::view::SafeText;
  std::string line = fmt::format("alarm notice: {} {}", n.kind, SafeText(n.device_name));
  if (!n.key.empty()) {
    line += fmt::format(" {} {} {}", n.id(), SafeText(n.code),
                        SafeText(n.name_en.empty() ? n.name : n.name_en));
    if (!n.place_en.empty()) line += ", " + SafeText(n.place_en);
    line += fmt::format(" ({}, {})", qmx::view::SeverityWord(n.level), n.state);
    if (!n.attached.empty()) line += fmt::format(" with {} attached", n.attached.size());
  }
  if (!n.who.empty()) line += " by " + SafeText(n.who);
  if (n.until > 0) line += fmt::format(" until {}", n.until);
  if (!n.comment.empty()) line += ": " + SafeText(n.comment);
  return line;
}

class AlarmLog : public qmx::view::FrontEnd {
 public:
  AlarmLog(qmx::view::SiteView& view, AlarmRules rules, std::function<void(const std::string&)> log)
      : view_(view), rules_(std::move(rules)), log_(std::move(log)) {}
  const char* name() const override { return "alarms"; }
  bool Start(std::string&) override {
    view_.Board().SetRules(rules_);
    return true;
  }
  void Stop() override {}
  void OnAlarm(const AlarmNotice& n) override {
    if (log_) log_(NoticeLine(n));
  }
  bool CheckReload(const Json::Value& site, std::string& error) override {
    AlarmRules r;
    return qmx::view::ReadAlarmRules(site, r, error);
  }
  void OnReload(const Json::Value& site) override {
    AlarmRules r;
    std::string error;
    if (qmx::view::ReadAlarmRules(site, r, error)) view_.Board().SetRules(r);
  }

 private:
  qmx::view::SiteView& view_;
  AlarmRules rules_;
  std::function<void(const std::string&)> log_;
};

class Alarms : public FrontEndEntry {
 public:
  const char* name() const override { return "alarms"; }
  bool Load(const SiteFile& site, std::string& error) override {
    return qmx::view::ReadAlarmRules(site.json, rules_, error);
  }
  std::shared_ptr<qmx::view::FrontEnd> Build(const FrontEndContext& c) override {
    return std::make_shared<AlarmLog>(c.view, rules_, c.log);
  }

 private:
  AlarmRules rules_;
};

}  // namespace

std::unique_ptr<FrontEndEntry> AlarmsEntry() { return std::make_unique<Alarms>(); }

}  // namespace k417t_run
