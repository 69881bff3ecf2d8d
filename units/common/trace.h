#pragma once

#include <ios>
#include <iostream>

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
template <typename... Parts>
void Trace(const Parts&... parts) {
  (std::cout << ... << parts) << std::endl;
}

}  // namespace k417t
