#include "web/api_answer.h"

#include <cmath>

#include "input/checked_json.h"

namespace qmx::web {

// Device values may be NaN or infinite (they are the wire's bytes): JSON has
// no such numbers, so they become null.
void Finite(Json::Value& v) {
  if (v.isDouble() && !std::isfinite(v.asDouble())) {
    v = Json::Value();
  } else if (v.isArray() || v.isObject()) {
    for (Json::Value& child : v) Finite(child);
  }
}

// Digits only, no sign, no leading '+', fits the type.
bool ParseUInt32(const std::string& s, unsigned int& out) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  out = static_cast<unsigned int>(v);
  return true;
}

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
