#pragma once

// What an alarm level means, said once for every front end. The units state
// level 1 for what stops or endangers the plant (an air switch tripped, a
// mains failure, a battery fuse, the controller not answering), 2 for what
// needs attention soon (a voltage too high, a phase missing, a rectifier
// module fault) and 3 for limits crossed (a voltage too low, a current
// outside its band, the model check).
#include <cstdint>

namespace qmx::view {

enum class Severity { kNone = 0, kWarning = 1, kMinor = 2, kMajor = 3, kCritical = 4 };

inline Severity SeverityOf(uint32_t level) {
  switch (level) {
    case 1:
      return Severity::kCritical;
    case 2:
      return Severity::kMajor;
    case 3:
      return Severity::kMinor;
    default:
      return Severity::kWarning;
  }
}

// "critical", "major", "minor", "warning"; "none" for no alarm.
inline const char* SeverityWord(Severity s) {
  switch (s) {
    case Severity::kCritical:
      return "critical";
    case Severity::kMajor:
      return "major";
    case Severity::kMinor:
      return "minor";
    case Severity::kWarning:
      return "warning";
    case Severity::kNone:
      break;
  }
  return "none";
}

inline const char* SeverityWord(uint32_t level) { return SeverityWord(SeverityOf(level)); }

}  // namespace qmx::view
