#pragma once

#include <json/value.h>

#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "view/site_view.h"

namespace k417t_run {

// "YYYY-MM-DD HH:MM:SS ZONE" in local time, for people.
std::string TimeText(int64_t epoch);
std::string EventText(const qmx::store::AlarmEvent& e);
// The same with the readable name and place appended (" — NAME, PLACE"), when
// there is a name.
std::string EventText(const qmx::store::AlarmEvent& e, const qmx::view::SiteView::AlarmLabel& l);

// The readable name and place of an alarm event of a device (or of the
// device whose unit `device` is).
using Labeler = std::function<qmx::view::SiteView::AlarmLabel(unsigned int device,
                                                              const qmx::store::AlarmEvent& e)>;
// One unit's values for the round table: measurements with their units,
// "—" for no value, states only when not normal.
std::string UnitText(const qmx::view::UnitValues& u);
// The energy and battery line of the round table: the counters and the
// power, and where the site names battery strings the state of charge, the
// autonomy estimate (marked as one), a discharge and a test. "" when the
// view has counted nothing yet and names no strings.
std::string BatteryText(const qmx::view::BatteryView& b);

// The runner's own output (table or JSON lines), on the descriptor that was
// standard output before the plug-in's traces were moved to the log.
class Output {
 public:
  Output(FILE* out, bool json, bool progress);
  // Alarm events and points are printed with their readable names from
  // here on (none: the controller's words alone).
  void SetLabeler(Labeler labeler);
  // With the device's energy and battery figures when the view has them
  // ("battery" in JSON, BatteryJson; a line of the table).
  void Round(const qmx::view::RoundView& round,
             const std::optional<qmx::view::BatteryView>& battery = std::nullopt);
  // A controller lost (its values stale from now on) or answering again.
  void Link(const qmx::LinkReport& report);
  // Only the round's alarm changes, one line each (nothing for a quiet round).
  void Events(const qmx::RoundReport& report);
  void Line(const std::string& text);
  void Json(const Json::Value& v);
  void Alarms(const std::vector<qmx::store::ActiveAlarm>& active);
  void Progress(const std::string& text);
  bool json() const { return json_; }

 private:
  void ClearProgress();
  qmx::view::SiteView::AlarmLabel LabelOf(unsigned int device, const qmx::store::AlarmEvent& e);
  // {"kind" ...} members of an event: AlarmEventJson + "name_en", "place_en".
  Json::Value EventJson(unsigned int device, const qmx::store::AlarmEvent& e);
  Labeler labeler_;
  FILE* out_;
  bool json_;
  bool progress_;
  bool progress_shown_ = false;
  std::string last_progress_;
  std::mutex mu_;
};

// The console front end: every round (or, quiet, its alarm changes only) and
// every link change, as a table or as JSON lines.
class ConsoleFrontEnd : public qmx::view::FrontEnd {
 public:
  // `battery`: the device's energy and battery figures as the view has them
  // after the round (null: none shown).
  using BatteryOf = std::function<std::optional<qmx::view::BatteryView>(unsigned int device)>;
  ConsoleFrontEnd(Output& output, bool quiet, BatteryOf battery = nullptr)
      : output_(output), quiet_(quiet), battery_(std::move(battery)) {}
  const char* name() const override { return "console"; }
  bool Start(std::string&) override { return true; }
  void Stop() override {}
  void OnRound(const qmx::view::RoundView& round) override {
    if (quiet_)
      output_.Events(round.report);
    else
      output_.Round(round, battery_ ? battery_(round.report.device_id) : std::nullopt);
  }
  void OnLink(const qmx::LinkReport& link) override { output_.Link(link); }

 private:
  Output& output_;
  bool quiet_;
  BatteryOf battery_;
};

}  // namespace k417t_run
