// Energy and batteries: the figures of each device's battery engine as the
// view has them (GET /api/battery, /api/devices/{id}/battery), the stored
// discharge records (GET /api/discharges) and the battery test on demand
// (POST /api/devices/{id}/battery-test), which passes the same checks as
// every control command (AdmitCommand) before the view's interlocks.
#include <fmt/format.h>

#include <algorithm>
#include <mutex>

#include "input/checked_json.h"
#include "web/api_answer.h"
#include "web/web_api.h"

namespace qmx::web {
namespace {

constexpr size_t kDefaultDischarges = 50;
constexpr int64_t kLatestTime = 32503680000;  // 3000-01-01

bool Known(const std::vector<unsigned int>& ids, unsigned int id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

Response WebApi::Batteries() {
  Json::Value list(Json::arrayValue);
  for (unsigned int id : view_.DeviceIds()) {
    Json::Value x(Json::objectValue);
    x["device"] = id;
    x["name"] = view_.Info(id).name;
    const std::optional<view::BatteryView> b = view_.Battery(id);
    x["battery"] = b ? view::BatteryJson(*b) : Json::Value();
    list.append(x);
  }
  Finite(list);
  Json::Value v(Json::objectValue);
  v["time"] = static_cast<Json::Int64>(Now());
  v["devices"] = list;
  return JsonAnswer(v);
}

Response WebApi::Battery(unsigned int id) {
  if (!Known(view_.DeviceIds(), id)) return Error(404, fmt::format("no device {}", id));
  const std::optional<view::BatteryView> b = view_.Battery(id);
  if (!b) return Error(503, fmt::format("no energy figures for device {} yet", id));
  Json::Value v = view::BatteryJson(*b);
  Finite(v);
  return JsonAnswer(v);
}

Response WebApi::Discharges(const std::map<std::string, std::string>& q) {
  for (const auto& [k, v] : q)
    if (k != "from" && k != "to" && k != "device" && k != "limit")
      return Error(400, "unknown query parameter '" + k + "' (take device, from, to, limit)");
  unsigned int device = 0;  // every device
  auto dev = q.find("device");
  if (dev != q.end()) {
    if (!ParseUInt32(dev->second, device)) return Error(400, "'device' must be a device id");
    if (!Known(view_.DeviceIds(), device)) return Error(404, fmt::format("no device {}", device));
  }
  // Discharges are rare: without `from` the list reaches back as far as a
  // range may.
  int64_t to = Now(), from = 0;
  auto t = q.find("to");
  if (t != q.end() && !ParseInt64(t->second, to)) return Error(400, "'to' must be epoch seconds");
  from = to - opt_.max_range_s;
  auto f = q.find("from");
  if (f != q.end() && !ParseInt64(f->second, from))
    return Error(400, "'from' must be epoch seconds");
  if (from > to) return Error(400, "'from' is after 'to'");
  if (to - from > opt_.max_range_s)
    return Error(400, fmt::format("range too long: at most {} days", opt_.max_range_s / 86400));
  size_t limit = std::min(kDefaultDischarges, opt_.max_discharges);
  auto l = q.find("limit");
  if (l != q.end()) {
    int64_t n = 0;
    if (!ParseInt64(l->second, n) || n < 1)
      return Error(400, "'limit' must be a whole number of at least 1");
    limit = static_cast<size_t>(std::min<int64_t>(n, static_cast<int64_t>(opt_.max_discharges)));
  }
  Json::Value list(Json::arrayValue);
  for (const view::DischargeRecord& r : view_.Discharges(device, from, to, limit)) {
    if (list.size() >= limit) break;
    list.append(view::DischargeJson(r));
  }
  Finite(list);
  Json::Value v(Json::objectValue);
  v["from"] = static_cast<Json::Int64>(from);
  v["to"] = static_cast<Json::Int64>(to);
  v["limit"] = static_cast<Json::UInt64>(limit);
  v["discharges"] = list;
  return JsonAnswer(v);
}

Response WebApi::BatteryTest(unsigned int id, const Request& req) {
  // The command the site names for the test's start or its stop: what the
  // audit shows and what the operator's allow-list is checked against.
  const view::BatteryTestSettings test = view_.Info(id).battery.test;
  std::string action;
  CommandForm form;
  form.what = "battery test request";
  form.shape = "{\"action\": \"start\"|\"stop\"[, \"request_id\": ID][, \"time\": T]}";
  form.members = {"action", "request_id", "time"};
  form.label = "battery test: ";
  form.read = [&](const Json::Value& body, view::ControlAttempt& a) -> std::string {
    std::string word;
    if (!json::ToString(json::Member(body, "action"), word) || (word != "start" && word != "stop"))
      return "\"action\" must be \"start\" or \"stop\"";
    const Json::Value& rid = json::Member(body, "request_id");
    if (!rid.isNull()) {
      std::string s;
      int64_t n = 0;
      if (json::ToString(rid, s) && !s.empty() && s.size() <= 128)
        a.request_id = s;
      else if (json::ToInt64(rid, n))
        a.request_id = std::to_string(n);
      else
        return "\"request_id\" must be a string of 1 to 128 characters or an integer";
    }
    const Json::Value& time = json::Member(body, "time");
    if (!time.isNull() && !json::ToIntIn(time, 1, kLatestTime, a.sent_at))
      return "\"time\" must be the request's time in epoch seconds (an integer)";
    action = word;
    a.code = word == "start" ? test.start_code : test.stop_code;
    a.byte = word == "start" ? test.start_byte : test.stop_byte;
    return {};
  };
  view::ControlAttempt a;
  if (std::optional<Response> no = AdmitCommand(id, req, form, a)) return *no;
  std::unique_lock<std::mutex> lock(control_mu_, std::try_to_lock);
  if (!lock.owns_lock()) {
    view_.Refused(a, "refused", "battery test: another control command is in flight");
    return Error(429, "another control command is in flight");
  }
  const ControlResult r = action == "start" ? view_.StartBatteryTest(a) : view_.StopBatteryTest(a);
  Json::Value v(Json::objectValue);
  v["device"] = id;
  v["action"] = action;
  v["result"] = r.result;
  v["reason"] = r.reason;
  return JsonAnswer(v);
}

}  // namespace qmx::web
