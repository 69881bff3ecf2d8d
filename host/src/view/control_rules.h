#pragma once

// The rectifier control commands a front end may ask for, said once: the
// nine codes the controller takes, which of them carry a byte, and the
// byte's range. The console (--control), MQTT and HTTP all check requests
// here.
#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qmx::view {

struct ControlRule {
  int code = 0;
  unsigned command = 0;  // the command byte sent to the rectifier group
  bool takes_byte = false;
};

const std::vector<ControlRule>& ControlRules();
const ControlRule* FindControl(int code);

// Checks a request: `byte` -1 when none was given. False with the reason.
bool CheckControl(int64_t code, int64_t byte, std::string& reason);

// "CODE" or "CODE:BYTE" (byte decimal or 0x hex); numbers are read whole.
bool ParseControlText(const std::string& text, int& code, int& byte, std::string& reason);

// The "code" and "byte" members of a request object (other members are the
// caller's). False with the reason.
bool ControlFromJson(const Json::Value& request, int& code, int& byte, std::string& reason);

// "100, 102, 104 (no byte); 106, ... 116 (with a byte 0-255)"
std::string ControlCodesText();

}  // namespace qmx::view
