#pragma once

// Byte-packed records of one AC distribution screen, as they appear in the
// unit's image (SendSP block, history record and cache image): the screen
// record followed by one input record per AC input. Multi-byte fields are
// least significant byte first; floats are IEEE-754 single precision. Lists
// of capacity 0 are GNU zero-length arrays and take no bytes.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "units/ac/tele_c_pmbuspower_ac.h"

#pragma pack(push, 1)

struct tele_c_k417t_ac : tele_c_pmbuspower_ac<0, 3> {
  uint32_t data_id;
  float ia;
  float ib;
  float ic;
  uint8_t channel_count;  // AC inputs of the screen, fixed by the first analog answer
  uint8_t airlock_m;      // air-switch count as received
  __extension__ uint8_t airlock_state[AIRLOCK_MAX()];
  uint8_t p43_count;  // user-defined switch-state count as received
  uint8_t p43_state[P40_43_SIZE()];
  uint8_t ia_alert;  // 1 below lower limit, 2 above upper limit, 3 missing
  uint8_t ib_alert;
  uint8_t ic_alert;
  uint8_t ttime[7];  // host time stamp of the last round end
};

struct tele_c_k417t_ac_channel : tele_c_pmbuspower_ac_channel<0, 8> {
  float a;                                             // line/phase voltage AB (or A)
  float b;                                             // BC (or B)
  float c;                                             // CA (or C)
  float f;                                             // frequency
  uint8_t p41_count;                                   // user-defined analog count as received
  __extension__ uint8_t p41_value[4 * P40_41_SIZE()];  // f32 values, copied with memcpy
  uint8_t a_alert;                                     // 1 too low, 2 too high, 3 phase missing
  uint8_t b_alert;
  uint8_t c_alert;
  uint8_t f_alert;    // 1 too low, 2 too high
  uint8_t p44_count;  // user-defined alarm-state count as received
  uint8_t p44_state[p40_44_SIZE()];
};

#pragma pack(pop)

namespace k417t_ac_layout {
constexpr std::size_t A = tele_c_k417t_ac::AIRLOCK_MAX();
constexpr std::size_t B = tele_c_k417t_ac::P40_43_SIZE();
constexpr std::size_t P = tele_c_k417t_ac_channel::P40_41_SIZE();
constexpr std::size_t Q = tele_c_k417t_ac_channel::p40_44_SIZE();
}  // namespace k417t_ac_layout

static_assert(std::is_trivially_copyable<tele_c_k417t_ac>::value,
              "screen record is copied bytewise");
static_assert(std::is_standard_layout<tele_c_k417t_ac>::value, "screen record layout");
static_assert(sizeof(tele_c_k417t_ac) == 29 + k417t_ac_layout::A + k417t_ac_layout::B,
              "screen size");
static_assert(sizeof(tele_c_k417t_ac) == 32, "screen record is 32 bytes");
static_assert(offsetof(tele_c_k417t_ac, data_id) == 0, "data_id");
static_assert(offsetof(tele_c_k417t_ac, ia) == 4, "ia");
static_assert(offsetof(tele_c_k417t_ac, ib) == 8, "ib");
static_assert(offsetof(tele_c_k417t_ac, ic) == 12, "ic");
static_assert(offsetof(tele_c_k417t_ac, channel_count) == 16, "channel_count");
static_assert(offsetof(tele_c_k417t_ac, airlock_m) == 17, "airlock_m");
static_assert(offsetof(tele_c_k417t_ac, airlock_state) == 18, "airlock_state");
static_assert(offsetof(tele_c_k417t_ac, p43_count) == 18 + k417t_ac_layout::A, "p43_count");
static_assert(offsetof(tele_c_k417t_ac, p43_state) == 19 + k417t_ac_layout::A, "p43_state");
static_assert(offsetof(tele_c_k417t_ac, ia_alert) == 19 + k417t_ac_layout::A + k417t_ac_layout::B,
              "ia_alert");
static_assert(offsetof(tele_c_k417t_ac, ib_alert) == 23, "ib_alert");
static_assert(offsetof(tele_c_k417t_ac, ic_alert) == 24, "ic_alert");
static_assert(offsetof(tele_c_k417t_ac, ttime) == 22 + k417t_ac_layout::A + k417t_ac_layout::B,
              "ttime");

static_assert(std::is_trivially_copyable<tele_c_k417t_ac_channel>::value,
              "input record is copied bytewise");
static_assert(std::is_standard_layout<tele_c_k417t_ac_channel>::value, "input record layout");
static_assert(sizeof(tele_c_k417t_ac_channel) == 22 + 4 * k417t_ac_layout::P + k417t_ac_layout::Q,
              "input size");
static_assert(sizeof(tele_c_k417t_ac_channel) == 30, "input record is 30 bytes");
static_assert(offsetof(tele_c_k417t_ac_channel, a) == 0, "a");
static_assert(offsetof(tele_c_k417t_ac_channel, b) == 4, "b");
static_assert(offsetof(tele_c_k417t_ac_channel, c) == 8, "c");
static_assert(offsetof(tele_c_k417t_ac_channel, f) == 12, "f");
static_assert(offsetof(tele_c_k417t_ac_channel, p41_count) == 16, "p41_count");
static_assert(offsetof(tele_c_k417t_ac_channel, p41_value) == 17, "p41_value");
static_assert(offsetof(tele_c_k417t_ac_channel, a_alert) == 17 + 4 * k417t_ac_layout::P, "a_alert");
static_assert(offsetof(tele_c_k417t_ac_channel, b_alert) == 18, "b_alert");
static_assert(offsetof(tele_c_k417t_ac_channel, c_alert) == 19, "c_alert");
static_assert(offsetof(tele_c_k417t_ac_channel, f_alert) == 20, "f_alert");
static_assert(offsetof(tele_c_k417t_ac_channel, p44_count) == 21 + 4 * k417t_ac_layout::P,
              "p44_count");
static_assert(offsetof(tele_c_k417t_ac_channel, p44_state) == 22 + 4 * k417t_ac_layout::P,
              "p44_state");
