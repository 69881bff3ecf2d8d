#pragma once

// Text that came from outside (a controller's answer, an MQTT payload, an
// HTTP request) made safe for a log line, a console or a terminal: bytes
// below 0x20 and DEL become "\xNN", so a line can neither be split (a forged
// second line) nor drive the terminal (ESC sequences), and what was sent stays
// readable. Bytes from 0x80 on pass: they are the UTF-8 of the device's own
// texts.
#include <string>
#include <string_view>

namespace k417t_text {

inline std::string Safe(std::string_view in) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(in.size());
  for (const char ch : in) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += ch;
    }
  }
  return out;
}

// Whether Safe() would change nothing.
inline bool IsSafe(std::string_view in) {
  for (const char ch : in) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace k417t_text
