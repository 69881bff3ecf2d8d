#pragma once

#include <cstdint>

// List capacities of the AC screen record: A air-switch states and B
// user-defined switch states (the 0x40/0x43 answer).
template <uint8_t A, uint8_t B>
struct tele_c_pmbuspower_ac {
  static constexpr uint8_t AIRLOCK_MAX() { return A; }  // upper bound
  static constexpr uint8_t P40_43_SIZE() { return B; }  // exact count
};

// List capacities of one AC input record: P user-defined analog values
// (0x40/0x41) and Q user-defined alarm states (0x40/0x44), both exact counts.
template <uint8_t P, uint8_t Q>
struct tele_c_pmbuspower_ac_channel {
  static constexpr uint8_t P40_41_SIZE() { return P; }
  static constexpr uint8_t p40_44_SIZE() { return Q; }
};
