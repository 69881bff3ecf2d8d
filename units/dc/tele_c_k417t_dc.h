#pragma once

#include <cstddef>
#include <cstdint>

#include "units/dc/tele_c_pmbuspower_dc.h"

// One DC distribution as the K417T reports it. The 238 bytes are at once the
// published block (type 5093), the history record and the cache image.
// Little-endian; floats are IEEE-754 singles copied from the wire unchanged.
// Multi-byte fields are packed and may be misaligned: access them with memcpy.
#pragma pack(push, 1)
struct tele_c_k417t_dc : tele_c_pmbuspower_dc<2, 0, 27, 10, 87> {
  uint32_t data_id;
  float v;  // DC output voltage
  float i;  // DC current
  uint8_t dc_m;
  float m_value[M_SIZE()];
  uint8_t dc_n;
  float n_value[N_SIZE()];  // zero entries: takes no bytes
  uint8_t p_count;
  float user_p[P_SIZE()];
  uint8_t v_state;  // 1 too low, 2 too high
  uint8_t alert_m;
  uint8_t alert_m_state[ALERT_M_SIZE()];  // 3 = fuse fault
  uint8_t alert_p;
  uint8_t alert_p_state[ALERT_P_SIZE()];
  uint8_t ttime[7];
};
#pragma pack(pop)

static_assert(sizeof(tele_c_k417t_dc) == 238, "DC record is 238 bytes on the wire");
static_assert(offsetof(tele_c_k417t_dc, v) == 4, "v");
static_assert(offsetof(tele_c_k417t_dc, i) == 8, "i");
static_assert(offsetof(tele_c_k417t_dc, dc_m) == 12, "dc_m");
static_assert(offsetof(tele_c_k417t_dc, m_value) == 13, "m_value");
static_assert(offsetof(tele_c_k417t_dc, dc_n) == 21, "dc_n");
static_assert(offsetof(tele_c_k417t_dc, n_value) == 22, "n_value");
static_assert(offsetof(tele_c_k417t_dc, p_count) == 22, "p_count");
static_assert(offsetof(tele_c_k417t_dc, user_p) == 23, "user_p");
static_assert(offsetof(tele_c_k417t_dc, v_state) == 131, "v_state");
static_assert(offsetof(tele_c_k417t_dc, alert_m) == 132, "alert_m");
static_assert(offsetof(tele_c_k417t_dc, alert_m_state) == 133, "alert_m_state");
static_assert(offsetof(tele_c_k417t_dc, alert_p) == 143, "alert_p");
static_assert(offsetof(tele_c_k417t_dc, alert_p_state) == 144, "alert_p_state");
static_assert(offsetof(tele_c_k417t_dc, ttime) == 231, "ttime");
