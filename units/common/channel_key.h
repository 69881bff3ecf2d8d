#pragma once

#include <cstddef>
#include <limits>
#include <string>

namespace k417t {

// Finds the first per-input value key "channel_<digits>_<field>" anywhere in
// `key`: text before it is allowed, the field is the single character after
// the second underscore (any character but a line end) and whatever follows
// it is ignored. The input number is read as atoi reads its digits (leading
// zeros allowed); a number too large for size_t saturates, so it is out of
// range of any input list instead of wrapping to a small one.
//
// One pass over the key: the digit run after each "channel_" is scanned once,
// and only the whole run can be followed by the underscore, so no position is
// tried twice. Keys come from host callers and from outside; their length is
// not bounded here.
inline bool FindChannelKey(const std::string& key, std::size_t& index, char& field) {
  static const char kPrefix[] = "channel_";
  constexpr std::size_t kPrefixLen = sizeof kPrefix - 1;
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  std::size_t p = key.find(kPrefix);
  while (p != std::string::npos) {
    std::size_t q = p + kPrefixLen;
    std::size_t value = 0;
    const std::size_t first_digit = q;
    while (q < key.size() && key[q] >= '0' && key[q] <= '9') {
      const std::size_t d = static_cast<std::size_t>(key[q] - '0');
      value = value > (kMax - d) / 10 ? kMax : value * 10 + d;
      ++q;
    }
    if (q > first_digit && q + 1 < key.size() && key[q] == '_' && key[q + 1] != '\n' &&
        key[q + 1] != '\r') {
      index = value;
      field = key[q + 1];
      return true;
    }
    // No "channel_" starts inside this one or its digits.
    p = key.find(kPrefix, q);
  }
  return false;
}

}  // namespace k417t
