#pragma once

// The rectifier group's control commands as the controller takes them: the
// control code a caller names, the first information byte of the command
// frame (CID1 0x41, CID2 0x45), and whether a second byte comes from the
// caller (codes 106 and up). The plug-in sends from this table and the host's
// control rules check requests against it, so the two cannot drift apart.
#include <cstddef>

namespace k417t_rc {

struct Command {
  int code;
  unsigned char first;  // first information byte sent
  bool takes_byte;      // a second byte, 0-255, from the caller
};

inline constexpr Command kCommands[] = {
    {100, 0x10, false}, {102, 0x1F, false}, {104, 0x11, false},
    {106, 0x20, true},  {108, 0x2F, true},  {110, 0xE4, true},
    {112, 0xE5, true},  {114, 0xE6, true},  {116, 0xE7, true},
};

constexpr const Command* FindCommand(int code) {
  for (const Command& c : kCommands)
    if (c.code == code) return &c;
  return nullptr;
}

}  // namespace k417t_rc
