#pragma once

#include <cstdint>
#include <string>

namespace qmx::store {

// One change of an alarm point: raised when its condition became true, cleared
// when it went back to false.
struct AlarmEvent {
  int64_t time = 0;  // epoch seconds of the round that changed it
  uint32_t data_id = 0;
  uint32_t level = 0;
  std::string key;
  std::string code;
  std::string name;
  std::string text;
  uint32_t seq = 0;
  bool raised = false;
};

}  // namespace qmx::store
