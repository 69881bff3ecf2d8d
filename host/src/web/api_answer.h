#pragma once

// The JSON answers every part of the API gives: a body, an error with its
// message, a method the path does not take.
#include <json/value.h>

#include <cstdint>
#include <string>

#include "web/web_api.h"

namespace qmx::web {

// Compact JSON, numbers with up to 15 significant digits.
Response JsonAnswer(const Json::Value& v, int status = 200);
// {"error": message}
Response Error(int status, const std::string& message);
// 405 with the Allow header's methods.
Response MethodNotAllowed(const std::string& allow);
// A query's whole number (epoch seconds, a limit): optional '-', at most 15
// characters, digits only.
bool ParseInt64(const std::string& s, int64_t& out);
// A query's unsigned number (an id): digits only, no sign, fits 32 bits.
bool ParseUInt32(const std::string& s, unsigned int& out);
// Device values may be NaN or infinite (they are the wire's bytes): JSON has
// no such numbers, so they become null (in place, at every depth).
void Finite(Json::Value& v);

}  // namespace qmx::web
