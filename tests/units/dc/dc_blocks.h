#pragma once

// Block builders for the DC distribution unit's answers.
#include "support/test_host.h"

namespace dc_test {
using namespace k417t_test;

// DC analog block: 11 + 4*(m + n + p) bytes; v = 53.5 (00 00 56 42), i = 120.
inline Bytes Analog(uint8_t m, uint8_t n, uint8_t p, const Bytes& user = F32(1.25f)) {
  return Cat({F32(53.5f),
              F32(120.0f),  // v, i
              {m},
              Repeat(F32(2.5f), m),  // dc_m, m list
              {n},
              Repeat(F32(3.5f), n),  // dc_n, n list
              {p},
              Repeat(user, p)});  // p_count, user values
}

// DC state block: 3 + fuses + users bytes; fuse `fault_at` in state 3 (fault).
inline Bytes State(uint8_t v_state, uint8_t fuses, uint8_t users, int fault_at = -1) {
  Bytes f(fuses, 0x00);
  if (fault_at >= 0 && fault_at < fuses) f[fault_at] = 0x03;
  return Cat({{v_state}, {fuses}, f, {users}, Bytes(users, 0x01)});  // v_state, alert_m, alert_p
}

inline std::string Refusal(const VDeviceInterface& unit, const std::string& key) {
  try {
    unit.Get_Value(0, key);
  } catch (const std::out_of_range& e) {
    return e.what();
  }
  return "";
}

}  // namespace dc_test
