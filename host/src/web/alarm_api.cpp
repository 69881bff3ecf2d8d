// The alarm board over HTTP: GET /api/alarm-board (every listed alarm in
// the state the operators see it, the devices in maintenance, the figures
// of the alarm load) and POST /api/alarm-action (acknowledge, shelve,
// unshelve, maintenance), taken from an operator allowed the device, with
// the same credential and origin checks as control.
#include <fmt/format.h>

#include <algorithm>
#include <map>

#include "input/checked_json.h"
#include "web/api_answer.h"
#include "web/web_api.h"

namespace qmx::web {

namespace {

constexpr size_t kMaxComment = 200;
constexpr size_t kMaxAlarmId = 64;
// Far beyond any rule's span, short of overflowing a time: the board
// refuses what its rules do not allow.
constexpr int64_t kMaxDuration = 10LL * 366 * 24 * 3600;

bool TakesAlarm(const std::string& action) {
  return action == "acknowledge" || action == "shelve" || action == "unshelve";
}
bool TakesDuration(const std::string& action) {
  return action == "shelve" || action == "maintenance";
}
bool KnownAction(const std::string& action) {
  return TakesAlarm(action) || action == "maintenance" || action == "maintenance_end";
}

// The members of an action's body, checked; false with the reason.
bool ReadAction(const Json::Value& body, view::AlarmAction& a, std::string& error) {
  if (!body.isObject()) {
    error =
        "the body must be an object {\"device\", \"action\"[, \"alarm\", \"comment\", "
        "\"duration_s\"]}";
    return false;
  }
  for (const std::string& k : body.getMemberNames())
    if (k != "device" && k != "alarm" && k != "action" && k != "comment" && k != "duration_s") {
      error = "unknown member '" + k + "' (takes device, alarm, action, comment, duration_s)";
      return false;
    }
  const Json::Value& device = body["device"];
  const bool integer = device.type() == Json::intValue || device.type() == Json::uintValue;
  if (!integer || !device.isUInt()) {
    error = "'device' must be a device id (an integer)";
    return false;
  }
  a.device = device.asUInt();
  const Json::Value& action = body["action"];
  if (!action.isString() || !KnownAction(action.asString())) {
    error = "'action' must be acknowledge, shelve, unshelve, maintenance or maintenance_end";
    return false;
  }
  a.action = action.asString();
  const Json::Value& alarm = body["alarm"];
  if (TakesAlarm(a.action)) {
    if (!alarm.isString() || alarm.asString().empty() || alarm.asString().size() > kMaxAlarmId) {
      error = fmt::format("'alarm' must be the alarm's id (DATAID_KEY_SEQ, at most {} bytes)",
                          kMaxAlarmId);
      return false;
    }
    a.alarm = alarm.asString();
  } else if (!alarm.isNull()) {
    error = "'alarm' is not taken by " + a.action + " (it is the device's)";
    return false;
  }
  const Json::Value& comment = body["comment"];
  if (!comment.isNull()) {
    if (!comment.isString() || comment.asString().size() > kMaxComment) {
      error = fmt::format("'comment' must be a string of at most {} bytes", kMaxComment);
      return false;
    }
    a.comment = comment.asString();
  }
  const Json::Value& duration = body["duration_s"];
  if (TakesDuration(a.action)) {
    // An integer: 3600.5 or "3600" is a client's mistake, not a span.
    if (duration.type() != Json::intValue && duration.type() != Json::uintValue) {
      error = "'duration_s' must be an integer number of seconds";
      return false;
    }
    if (!duration.isInt64() || duration.asInt64() <= 0 || duration.asInt64() > kMaxDuration) {
      error = "'duration_s' must be above 0";
      if (duration.isInt64() && duration.asInt64() > 0) error = "'duration_s' is far too long";
      return false;
    }
    a.duration_s = duration.asInt64();
  } else if (!duration.isNull()) {
    error = "'duration_s' is not taken by " + a.action;
    return false;
  }
  return true;
}

}  // namespace

Json::Value AlarmKpisJson(const view::AlarmKpis& k, const view::AlarmRules& rules) {
  Json::Value v(Json::objectValue);
  v["annunciated_10min"] = static_cast<Json::UInt64>(k.annunciated_10min);
  v["flood"] = k.flood;
  v["flood_per_10min"] = rules.flood_per_10min;
  v["annunciated_total"] = static_cast<Json::UInt64>(k.annunciated_total);
  v["transitions_total"] = static_cast<Json::UInt64>(k.transitions_total);
  v["standing"] = static_cast<Json::UInt64>(k.standing);
  v["stale"] = static_cast<Json::UInt64>(k.stale);
  v["unacknowledged"] = static_cast<Json::UInt64>(k.unacknowledged);
  v["chattering"] = static_cast<Json::UInt64>(k.chattering);
  v["shelved"] = static_cast<Json::UInt64>(k.shelved);
  v["suppressed"] = static_cast<Json::UInt64>(k.suppressed);
  v["unknown"] = static_cast<Json::UInt64>(k.unknown);
  v["devices_in_maintenance"] = static_cast<Json::UInt64>(k.devices_in_maintenance);
  return v;
}

Json::Value MaintenanceJson(const std::optional<view::AlarmMark>& m) {
  if (!m) return Json::Value();
  Json::Value v(Json::objectValue);
  v["who"] = m->who;
  v["time"] = static_cast<Json::Int64>(m->time);
  v["comment"] = m->comment;
  v["until"] = static_cast<Json::Int64>(m->until);
  return v;
}

Response WebApi::AlarmBoard() {
  Json::Value alarms(Json::arrayValue), maintenance(Json::arrayValue);
  for (const view::DeviceView& d : view_.Devices()) {
    for (const view::AlarmState& a : d.alarm_states) {
      Json::Value x = view::AlarmStateJson(a);
      x["device_name"] = d.name;
      alarms.append(x);
    }
    if (d.maintenance) {
      Json::Value m = MaintenanceJson(d.maintenance);
      m["device"] = d.id;
      m["device_name"] = d.name;
      maintenance.append(m);
    }
  }
  Json::Value v(Json::objectValue);
  v["time"] = static_cast<Json::Int64>(Now());
  v["kpis"] = AlarmKpisJson(view_.AlarmFigures(), view_.AlarmRulesNow());
  v["alarms"] = alarms;
  v["maintenance"] = maintenance;
  return JsonAnswer(v);
}

Response WebApi::AlarmAct(const Request& req) {
  view::AlarmAction a;
  a.via = "http";
  a.peer = req.peer;
  // Every way out before the door is audited, with what was known of the
  // action by then (the door audits its own).
  auto refuse = [&](int status, const std::string& outcome, const std::string& why) {
    view_.RefusedAction(a, outcome, why);
    return Error(status, why);
  };
  json::Limits limits;
  limits.max_depth = 4;
  limits.max_bytes = 1024;
  {
    Json::Value body;
    std::string error;
    view::AlarmAction seen;
    if (json::Parse(req.body, "alarm action", body, error, limits) && body.isObject() &&
        ReadAction(body, seen, error)) {
      a.device = seen.device;
      a.action = seen.action;
      a.alarm = seen.alarm;
    }
  }
  const Identity who = auth_.Identify(req.authorization, req.cookie, req.peer);
  a.who = who.name;
  if (who.kind == Identity::kLimited) {
    uint64_t count = 0;
    if (auth_.AuditLimited(req.peer, count))
      view_.RefusedAction(
          a, "rate-limited",
          fmt::format("{}; {} attempt(s) from this address since the last row", who.reason, count));
    return Error(429, who.reason);
  }
  if (who.kind == Identity::kBad) {
    Response r = refuse(401, "bad credentials", who.reason);
    r.challenge = !req.from_page;
    return r;
  }
  if (who.kind == Identity::kNone) {
    Response r = refuse(401, "bad credentials",
                        "alarm actions need an operator: log in, or Authorization: Basic / Bearer");
    r.challenge = !req.from_page;
    return r;
  }
  const bool by_cookie = req.authorization.empty();
  if ((req.origin_sent || by_cookie) && !SameOrigin(req.origin, req.host))
    return refuse(403, "refused",
                  "alarm actions are taken only from this server's own page (Origin)");
  if (who.role != Role::kOperator)
    return refuse(403, "refused", "user " + who.name + " may not act on alarms (viewer)");
  if (req.content_type.rfind("application/json", 0) != 0)
    return refuse(415, "refused", "the body must be application/json");
  Json::Value body;
  std::string error;
  if (!json::Parse(req.body, "alarm action", body, error, limits))
    return refuse(400, "refused", error);
  view::AlarmAction parsed;
  if (!ReadAction(body, parsed, error)) return refuse(400, "refused", error);
  parsed.via = a.via;
  parsed.peer = a.peer;
  parsed.who = a.who;
  a = parsed;
  const std::vector<unsigned int> ids = view_.DeviceIds();
  if (std::find(ids.begin(), ids.end(), a.device) == ids.end())
    return refuse(404, "refused", fmt::format("no device {}", a.device));
  if (!Auth::MayTend(who, a.device, view_.Info(a.device).name))
    return refuse(
        403, "refused",
        fmt::format("user {} may not act on the alarms of device {}", who.name, a.device));
  const view::AlarmActionResult r = view_.Act(a);
  Json::Value v(Json::objectValue);
  v["ok"] = r.ok;
  if (!r.ok) {
    v["reason"] = r.reason;
    Response out = JsonAnswer(v);
    out.status = 409;
    return out;
  }
  return JsonAnswer(v);
}

}  // namespace qmx::web
