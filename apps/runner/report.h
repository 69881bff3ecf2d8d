#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <json/value.h>

#include "qmx/pmbus_protocol.h"
#include "site/site_host.h"

namespace k417t_run {

// Values of every unit of a controller as the host reads them: AC and DC
// through their value keys, the rectifier from its published image.
Json::Value SnapshotValues(PMBusProtocol& ctrl, const qmx::SiteHost& host);

Json::Value EventJson(const qmx::store::AlarmEvent& e);
std::string EventText(const qmx::store::AlarmEvent& e);

// The runner's own output (table or JSON lines), on the descriptor that was
// standard output before the plug-in's traces were moved to the log.
class Output {
 public:
  Output(FILE* out, bool json, bool progress);
  void Round(const qmx::RoundReport& report);
  // A controller lost (its values stale from now on) or answering again.
  void Link(const qmx::LinkReport& report);
  // Only the round's alarm changes, one line each (nothing for a quiet round).
  void Events(const qmx::RoundReport& report);
  void Line(const std::string& text);
  void Json(const Json::Value& v);
  void Alarms(const std::vector<qmx::store::ActiveAlarm>& active);
  void Progress(const std::string& text);

 private:
  void ClearProgress();
  FILE* out_;
  bool json_;
  bool progress_;
  bool progress_shown_ = false;
  std::string last_progress_;
  std::mutex mu_;
};

}  // namespace k417t_run
