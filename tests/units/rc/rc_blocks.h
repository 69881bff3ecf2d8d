#pragma once

// Builders for the rectifier unit's answers (whole information fields).
#include "support/test_host.h"

namespace rc_test {
using namespace k417t_test;

// One 0x41/0x41 rectifier block: module_value, P, P floats (5 + 4*P bytes).
inline Bytes Module(float value, uint8_t p, const Bytes& user = F32(2.0f)) {
  return Cat({F32(value), {p}, Repeat(user, p)});
}

// 0x41/0x41: data flag, rc_value, M, M blocks with P = 7 (6 + 33*M bytes).
inline Bytes Analog(uint8_t m, float rc_value = 54.0f) {
  Bytes out = Cat({{0x11}, F32(rc_value), {m}});
  for (int k = 0; k < m; ++k) out = Cat({out, Module(10.0f + k, 7)});
  return out;
}

// 0x41/0x43: data flag, M, M blocks of 3 state bytes, P = 6, 6 bytes.
inline Bytes States(uint8_t m) {
  return Cat({{0x00, m}, Repeat(Cat({{1, 2, 3, 6}, Bytes(6, 0x0A)}), m)});
}

// 0x41/0x44: data flag, M, M blocks of fault state, P = 8, 8 bytes.
inline Bytes Alarms(const Bytes& faults) {
  Bytes out{0x00, static_cast<unsigned char>(faults.size())};
  for (unsigned char f : faults) out = Cat({out, {f, 8}, Bytes(8, 0x0B)});
  return out;
}

// 0x40/0x46 (5 floats) or 0x42/0x46 (2 floats): floats, P, P user floats.
inline Bytes Params(int floats, uint8_t p) {
  return Cat({Repeat(F32(230.0f), floats), {p}, Repeat(F32(1.0f), p)});
}

// The out-of-range message of a value read.
inline std::string Refusal(const VDeviceInterface& unit) {
  try {
    unit.Get_Value(0, "v");
  } catch (const std::out_of_range& e) {
    return e.what();
  }
  return "";
}

}  // namespace rc_test
