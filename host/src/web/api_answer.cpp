#include "web/api_answer.h"

#include "input/checked_json.h"

namespace qmx::web {

Response JsonAnswer(const Json::Value& v, int status) {
  Response r;
  r.status = status;
  r.body = json::CompactAscii(v);
  return r;
}

Response Error(int status, const std::string& message) {
  Json::Value v(Json::objectValue);
  v["error"] = message;
  return JsonAnswer(v, status);
}

Response MethodNotAllowed(const std::string& allow) {
  Response r = Error(405, "method not allowed (use " + allow + ")");
  r.allow = allow;
  return r;
}

}  // namespace qmx::web
