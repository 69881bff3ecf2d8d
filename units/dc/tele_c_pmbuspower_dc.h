#pragma once

#include <cstdint>

// List capacities of a DC distribution record:
//   M        floats kept from the m list of the analog block
//   N        floats kept from the n list
//   P        user-defined floats
//   ALERT_M  fuse state bytes
//   ALERT_P  user-defined state bytes
template <uint8_t M, uint8_t N, uint8_t P, uint8_t ALERT_M, uint8_t ALERT_P>
struct tele_c_pmbuspower_dc {
  static constexpr uint8_t M_SIZE() { return M; }
  static constexpr uint8_t N_SIZE() { return N; }
  static constexpr uint8_t P_SIZE() { return P; }
  static constexpr uint8_t ALERT_M_SIZE() { return ALERT_M; }
  static constexpr uint8_t ALERT_P_SIZE() { return ALERT_P; }
};
