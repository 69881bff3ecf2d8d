#pragma once

#include <cstdint>
#include <string>

#include "qmx/visibility.h"

// One alarm point as the host's threshold service keeps it. The plug-in never
// looks inside; it only copies and moves vectors of it.
struct QMX_API rule_value {
  uint8_t condition = 0;  // 1 while the alarm condition holds
  std::string key;
  std::string code;
  uint32_t level = 0;
  uint32_t seq = 0;
  std::string name;
  std::string text;
  uint32_t data_id = 0;
};
