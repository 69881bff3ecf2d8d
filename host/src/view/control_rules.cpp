#include "view/control_rules.h"

#include <fmt/format.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "input/checked_json.h"
#include "units/rc/rc_commands.h"

namespace qmx::view {

const std::vector<ControlRule>& ControlRules() {
  static const std::vector<ControlRule> rules = [] {
    std::vector<ControlRule> r;
    for (const k417t_rc::Command& c : k417t_rc::kCommands)
      r.push_back({c.code, c.first, c.takes_byte});
    return r;
  }();
  return rules;
}

const ControlRule* FindControl(int code) {
  for (const ControlRule& r : ControlRules())
    if (r.code == code) return &r;
  return nullptr;
}

std::string ControlCodesText() {
  std::string without, with;
  for (const ControlRule& r : ControlRules()) {
    std::string& s = r.takes_byte ? with : without;
    if (!s.empty()) s += ", ";
    s += std::to_string(r.code);
  }
  return without + " (no byte); " + with + " (with a byte 0-255)";
}

bool CheckControl(int64_t code, int64_t byte, std::string& reason) {
  const ControlRule* rule =
      code >= 0 && code <= INT_MAX ? FindControl(static_cast<int>(code)) : nullptr;
  if (rule == nullptr) {
    reason = fmt::format("code {} is not a control command: {}", code, ControlCodesText());
    return false;
  }
  if (byte >= 0 && !rule->takes_byte) {
    reason = fmt::format("code {} takes no byte", code);
    return false;
  }
  if (byte < 0 && rule->takes_byte) {
    reason = fmt::format("code {} needs a byte (0-255)", code);
    return false;
  }
  if (byte > 255) {
    reason = "the byte must be 0-255";
    return false;
  }
  return true;
}

namespace {
bool Whole(const std::string& s, int base, long max, long& out) {
  if (s.empty() || s.size() > 12 || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, base);
  if (errno != 0 || end == nullptr || *end != '\0' || v < 0 || v > max) return false;
  out = v;
  return true;
}
}  // namespace

bool ParseControlText(const std::string& text, int& code, int& byte, std::string& reason) {
  const size_t colon = text.find(':');
  long c = 0, b = -1;
  if (!Whole(text.substr(0, colon), 10, 100000, c)) {
    reason = "the code must be a number: " + ControlCodesText();
    return false;
  }
  if (colon != std::string::npos && !Whole(text.substr(colon + 1), 0, 255, b)) {
    reason = "the byte must be 0-255 (decimal or 0x hex)";
    return false;
  }
  if (!CheckControl(c, b, reason)) return false;
  code = static_cast<int>(c);
  byte = static_cast<int>(b);
  return true;
}

bool ControlFromJson(const Json::Value& v, int& code, int& byte, std::string& reason) {
  int64_t c = 0, b = -1;
  if (!json::ToIntIn(json::Member(v, "code"), 0, INT_MAX, c)) {
    reason = "\"code\" must be one of " + ControlCodesText();
    return false;
  }
  if (json::Has(v, "byte") && !json::ToIntIn(json::Member(v, "byte"), 0, 255, b)) {
    reason = "\"byte\" must be an integer from 0 to 255";
    return false;
  }
  if (!CheckControl(c, b, reason)) return false;
  code = static_cast<int>(c);
  byte = static_cast<int>(b);
  return true;
}

}  // namespace qmx::view
