#pragma once

// The controller's answer to the model query (CID1 0x40, CID2 0x51): the
// first 20 information bytes are the model text, padded with blanks or NULs;
// bytes 20 and 21, when sent, are the software version's major and minor
// number. A controller that sends fewer than 20 bytes is read on what it
// sent. The plug-in compares the text with the models it supports and the
// host shows it; both cut it here.
#include <algorithm>
#include <cstddef>

namespace k417t_model {

inline constexpr unsigned char kCid1 = 0x40, kCid2 = 0x51;
inline constexpr size_t kTextBytes = 20;

// The length of the model text in `info` without its padding.
inline size_t TextLength(const unsigned char* info, size_t len) {
  if (info == nullptr) return 0;
  size_t end = std::min(len, kTextBytes);
  while (end > 0 && (info[end - 1] == ' ' || info[end - 1] == '\0')) --end;
  return end;
}

}  // namespace k417t_model
