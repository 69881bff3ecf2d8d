#pragma once

#include <cstdint>

// Group record capacities: the user-defined DC parameter count accepted in the
// 0x42/0x46 answer, and the bytes of them kept.
template <uint8_t P42_46_NUMBER_, uint8_t P42_46_SIZE_>
struct tele_c_pmbuspower_rc {
  static constexpr uint8_t P42_46_NUMBER() { return P42_46_NUMBER_; }
  static constexpr uint8_t P42_46_SIZE() { return P42_46_SIZE_; }
};

// Per-module capacities: user-defined analog values (floats), state bytes and
// alarm bytes of one rectifier.
template <uint8_t P41_41, uint8_t P41_43, uint8_t P41_44>
struct tele_c_pmbuspower_rc_channel {
  static constexpr uint8_t P41_41_SIZE() { return P41_41; }
  static constexpr uint8_t P41_43_SIZE() { return P41_43; }
  static constexpr uint8_t P41_44_SIZE() { return P41_44; }
};
