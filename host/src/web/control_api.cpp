// POST /api/devices/{id}/control: a rectifier command for the host, taken
// only when control is switched on, from this server's own page, from an
// operator allowed that device and code (a user, or the token).
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <optional>

#include "input/checked_json.h"
#include "view/control_rules.h"
#include "web/api_answer.h"
#include "web/web_api.h"

namespace qmx::web {

// A browser names the page a request comes from in Origin; control is taken
// only from this server's own page (scheme://host[:port] matching Host), so
// another site open in the operator's browser cannot send commands.
bool SameOrigin(const std::string& origin, const std::string& host) {
  std::string rest;
  for (const char* scheme : {"http://", "https://"})
    if (origin.rfind(scheme, 0) == 0) rest = origin.substr(std::strlen(scheme));
  if (rest.empty() || host.empty() || rest.size() != host.size()) return false;
  for (size_t i = 0; i < rest.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(rest[i])) !=
        std::tolower(static_cast<unsigned char>(host[i])))
      return false;
  return true;
}

// The checks every command to a device passes before it runs, said once for
// control and the battery test: the rate limit on failed credentials, the
// switch, the credentials, the page's origin, the operator's role, the body
// as JSON and as the command's form, the device and the operator's right to
// the command's code. Every refusal is audited with what was known of the
// command by then. nullopt when the command may run, with `a` filled in.
std::optional<Response> WebApi::AdmitCommand(unsigned int id, const Request& req,
                                             const CommandForm& form, view::ControlAttempt& a) {
  a.via = "http";
  a.peer = req.peer;
  a.device = id;
  a.request_id = req.request_id;
  auto refuse = [&](int status, const std::string& outcome, const std::string& why) {
    view_.Refused(a, outcome, form.label + why);
    return Error(status, why);
  };
  // What the command is, for the audit, also when it is refused before its
  // body is taken as a command (read again below).
  json::Limits limits;
  limits.max_depth = 4;
  limits.max_bytes = 1024;
  {
    Json::Value body;
    std::string error;
    view::ControlAttempt probe = a;
    if (json::Parse(req.body, form.what, body, error, limits) && body.isObject() &&
        form.read(body, probe).empty())
      a = probe;
  }
  const Identity who = auth_.Identify(req.authorization, req.cookie, req.peer);
  a.who = who.name;
  if (who.kind == Identity::kLimited) {
    // An address guessing credentials leaves one row per 30 s, with the
    // count, not one per attempt; the rest wait (AuditLimitedAttempts).
    uint64_t count = 0;
    if (auth_.AuditLimited(req.peer, count)) {
      view_.Refused(a, "rate-limited",
                    fmt::format("{}{}; {} control attempt(s) from this address since the last row",
                                form.label, who.reason, count));
    } else {
      std::lock_guard<std::mutex> lock(limited_mu_);
      limited_last_[req.peer] = a;
    }
    return Error(429, who.reason);
  }
  if (!opt_.control)
    return refuse(403, "refused", "control is off (the runner takes --http-control)");
  if (who.kind == Identity::kBad) {
    Response r = refuse(401, "bad credentials", who.reason);
    r.challenge = !req.from_page;
    return r;
  }
  if (who.kind == Identity::kNone) {
    Response r = refuse(401, "bad credentials",
                        "control needs an operator: log in, or Authorization: Basic / Bearer");
    r.challenge = !req.from_page;
    return r;
  }
  // A session rides on the browser's cookie: its commands must come from
  // this page, Origin and all.
  const bool by_cookie = req.authorization.empty();
  if ((req.origin_sent || by_cookie) && !SameOrigin(req.origin, req.host))
    return refuse(403, "refused", "control is taken only from this server's own page (Origin)");
  if (who.role != Role::kOperator)
    return refuse(403, "refused", "user " + who.name + " may not send control commands (viewer)");
  if (req.content_type.rfind("application/json", 0) != 0)
    return refuse(415, "refused", "the body must be application/json");
  Json::Value body;
  std::string error;
  if (!json::Parse(req.body, form.what, body, error, limits)) return refuse(400, "refused", error);
  if (!body.isObject()) return refuse(400, "refused", "the body must be an object " + form.shape);
  for (const std::string& k : body.getMemberNames())
    if (std::find(form.members.begin(), form.members.end(), k) == form.members.end())
      return refuse(400, "refused", "unknown member '" + k + "'");
  error = form.read(body, a);
  if (!error.empty()) return refuse(400, "refused", error);
  const std::vector<unsigned int> ids = view_.DeviceIds();
  if (std::find(ids.begin(), ids.end(), id) == ids.end())
    return refuse(404, "refused", fmt::format("no device {}", id));
  const std::optional<view::DeviceView> device = view_.Device(id);
  if (!Auth::Allowed(who, id, device ? device->name : "", a.code))
    return refuse(403, "refused",
                  fmt::format("user {} may not send code {} to device {}", who.name, a.code, id));
  return std::nullopt;
}

Response WebApi::Control(unsigned int id, const Request& req) {
  CommandForm form;
  form.what = "control request";
  form.shape = "{\"code\": N[, \"byte\": B]}";
  form.members = {"code", "byte"};
  form.read = [](const Json::Value& body, view::ControlAttempt& a) {
    int code = 0, byte = -1;
    std::string error;
    if (!view::ControlFromJson(body, code, byte, error)) return error;
    a.code = code;
    a.byte = byte;
    return std::string();
  };
  view::ControlAttempt a;
  if (std::optional<Response> no = AdmitCommand(id, req, form, a)) return *no;
  std::unique_lock<std::mutex> lock(control_mu_, std::try_to_lock);
  if (!lock.owns_lock()) {
    view_.Refused(a, "refused", "another control command is in flight");
    return Error(429, "another control command is in flight");
  }
  const ControlResult r = view_.Control(a, opt_.control_limit);
  Json::Value v(Json::objectValue);
  v["device"] = id;
  v["code"] = a.code;
  v["result"] = r.result;
  v["reason"] = r.reason;
  return JsonAnswer(v);
}

void WebApi::AuditLimitedAttempts(bool all) {
  for (const auto& [peer, count] : auth_.TakeUnaudited(all)) {
    view::ControlAttempt a;
    {
      std::lock_guard<std::mutex> lock(limited_mu_);
      auto it = limited_last_.find(peer);
      if (it != limited_last_.end()) {
        a = it->second;
        limited_last_.erase(it);
      }
    }
    a.via = "http";
    a.peer = peer;
    view_.Refused(a, "rate-limited",
                  fmt::format("{} control attempt(s) from this address refused while it was "
                              "limited for failed credentials (this row: the last of them)",
                              count));
  }
}

}  // namespace qmx::web
