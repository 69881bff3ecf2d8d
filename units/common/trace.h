#pragma once

#include <ios>
#include <iostream>
#include <sstream>
#include <string>

namespace k417t {

// A byte written as lower-case hex without padding ("%x").
struct Hex {
  unsigned value;
};

inline std::ostream& operator<<(std::ostream& os, Hex h) {
  const std::ios_base::fmtflags saved = os.flags();
  os << std::hex << std::nouppercase << h.value;
  os.flags(saved);
  return os;
}

// The plug-in's console traces: one line on standard output, its parts
// written as the standard stream writes them (floats with six significant
// digits), then flushed so a trace is never lost in a crash that follows.
// Controllers on different lines trace from their own threads: the line is
// formatted apart and handed to the stream whole, so no thread changes the
// stream's format flags under another and lines never interleave.
template <typename... Parts>
void Trace(const Parts&... parts) {
  std::ostringstream line;
  (line << ... << parts) << '\n';
  const std::string text = line.str();
  std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
  std::cout.flush();
}

}  // namespace k417t
