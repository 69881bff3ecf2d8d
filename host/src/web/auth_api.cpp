// Credentials on the API: who may read, the page's login and logout (a
// session cookie), and the control audit for operators.
#include <arpa/inet.h>
#include <fmt/format.h>

#include <cstring>

#include "input/checked_json.h"
#include "web/api_answer.h"
#include "web/web_api.h"

namespace qmx::web {
namespace {

Response Unauthorized(const Request& req, const std::string& why) {
  Response r = Error(401, why);
  r.challenge = !req.from_page;
  return r;
}

}  // namespace

std::optional<Response> WebApi::MayRead(const Request& req, Identity& who) {
  who = auth_.Identify(req.authorization, req.cookie, req.peer);
  switch (who.kind) {
    case Identity::kUser:
      return std::nullopt;
    case Identity::kLimited:
      return Error(429, who.reason);
    case Identity::kBad:
      // An ended session on an open server reads as nobody; a wrong
      // password is said as such.
      if (req.authorization.empty() && !opt_.reads_need_user) {
        who = Identity{};
        return std::nullopt;
      }
      return Unauthorized(req, who.reason);
    case Identity::kNone:
      break;
  }
  if (!opt_.reads_need_user) return std::nullopt;
  return Unauthorized(req, "log in first (a user, or Authorization: Basic / Bearer)");
}

Response WebApi::Login(const Request& req) {
  if (req.content_type.rfind("application/json", 0) != 0)
    return Error(415, "the body must be application/json");
  Json::Value body;
  std::string error;
  json::Limits limits;
  limits.max_depth = 2;
  limits.max_bytes = 2048;
  if (!json::Parse(req.body, "login", body, error, limits)) return Error(400, error);
  if (!body.isObject() || !body["user"].isString() || !body["password"].isString())
    return Error(400, "the body must be {\"user\": NAME, \"password\": PASSWORD}");
  std::string session;
  const Identity who =
      auth_.Login(body["user"].asString(), body["password"].asString(), req.peer, session);
  if (who.kind == Identity::kLimited) return Error(429, who.reason);
  if (who.kind != Identity::kUser) {
    if (opt_.log)
      opt_.log(fmt::format("http: login of '{}' from {} refused: {}",
                           view::SafeText(body["user"].asString()), view::SafeText(req.peer),
                           who.reason));
    Response r = Error(401, who.reason);
    r.challenge = false;
    return r;
  }
  if (opt_.log)
    opt_.log(fmt::format("http: {} ({}) logged in from {}", who.name, RoleWord(who.role),
                         view::SafeText(req.peer)));
  Json::Value v(Json::objectValue);
  v["user"] = who.name;
  v["role"] = RoleWord(who.role);
  Response r = JsonAnswer(v);
  r.set_cookie = Auth::CookieHeader(session, auth_.session_max_s());
  return r;
}

Response WebApi::Logout(const Request& req) {
  auth_.Logout(req.cookie);
  Response r = JsonAnswer(Json::Value(Json::objectValue));
  r.set_cookie = Auth::CookieHeader("", 0);
  return r;
}

Response WebApi::Audit(const Identity& who, const std::map<std::string, std::string>& q) {
  if (who.kind != Identity::kUser) return Error(401, "the audit is for operators: log in");
  if (who.role != Role::kOperator)
    return Error(403, "user " + who.name + " may not read the audit (operators only)");
  int64_t from = 0, to = Now(), limit = 1000;
  auto f = q.find("from"), t = q.find("to"), l = q.find("limit");
  if ((f != q.end() && !ParseInt64(f->second, from)) ||
      (t != q.end() && !ParseInt64(t->second, to)))
    return Error(400, "'from' and 'to' must be epoch seconds");
  if (l != q.end() && (!ParseInt64(l->second, limit) || limit < 1 || limit > 10000))
    return Error(400, "'limit' must be 1 to 10000");
  if (from > to) return Error(400, "'from' is after 'to'");
  Json::Value list(Json::arrayValue);
  for (const store::AuditEntry& e : view_.Audit(from, to, static_cast<size_t>(limit)))
    list.append(view::AuditJson(e));
  Json::Value v(Json::objectValue);
  v["audit"] = list;
  v["history"] = view_.History() != nullptr;
  return JsonAnswer(v);
}

}  // namespace qmx::web
