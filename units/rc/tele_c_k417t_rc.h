#pragma once

#include <cstddef>
#include <cstdint>

#include "units/rc/tele_c_pmbuspower_rc.h"

// The rectifier image published under type 5092 (also the history record and
// the cache image): one group record followed by one channel record per
// module, 45 + 53*n bytes. Little-endian; floats are IEEE-754 singles copied
// from the wire unchanged. Fields are packed and may be misaligned: access
// multi-byte ones with memcpy.
#pragma pack(push, 1)
struct tele_c_k417t_rc : tele_c_pmbuspower_rc<0, 0> {
  uint32_t data_id;
  float ac_param[5];  // 0x40/0x46 answer, as received
  float dc_param[2];  // 0x42/0x46 answer, as received
  uint8_t dc_param_p;
  uint8_t dc_user_param[P42_46_SIZE()];  // zero entries: takes no bytes
  float rc_value;                        // group value ahead of the module count in 0x41/0x41
  uint8_t module_count;
  uint8_t ttime[7];
};

struct tele_c_k417t_rc_channel : tele_c_pmbuspower_rc_channel<7, 6, 8> {
  float module_value;
  uint8_t analog_p;
  float user_analog[P41_41_SIZE()];
  uint8_t module_state[3];
  uint8_t state_p;
  uint8_t user_state[P41_43_SIZE()];
  uint8_t fault_state;  // 1 = module fault
  uint8_t alarm_p;
  uint8_t user_alarm[P41_44_SIZE()];
};
#pragma pack(pop)

static_assert(sizeof(tele_c_k417t_rc) == 45, "group record is 45 bytes");
static_assert(offsetof(tele_c_k417t_rc, ac_param) == 4, "ac_param");
static_assert(offsetof(tele_c_k417t_rc, dc_param) == 24, "dc_param");
static_assert(offsetof(tele_c_k417t_rc, dc_param_p) == 32, "dc_param_p");
static_assert(offsetof(tele_c_k417t_rc, dc_user_param) == 33, "dc_user_param");
static_assert(offsetof(tele_c_k417t_rc, rc_value) == 33, "rc_value");
static_assert(offsetof(tele_c_k417t_rc, module_count) == 37, "module_count");
static_assert(offsetof(tele_c_k417t_rc, ttime) == 38, "ttime");

static_assert(sizeof(tele_c_k417t_rc_channel) == 53, "channel record is 53 bytes");
static_assert(offsetof(tele_c_k417t_rc_channel, analog_p) == 4, "analog_p");
static_assert(offsetof(tele_c_k417t_rc_channel, user_analog) == 5, "user_analog");
static_assert(offsetof(tele_c_k417t_rc_channel, module_state) == 33, "module_state");
static_assert(offsetof(tele_c_k417t_rc_channel, state_p) == 36, "state_p");
static_assert(offsetof(tele_c_k417t_rc_channel, user_state) == 37, "user_state");
static_assert(offsetof(tele_c_k417t_rc_channel, fault_state) == 43, "fault_state");
static_assert(offsetof(tele_c_k417t_rc_channel, alarm_p) == 44, "alarm_p");
static_assert(offsetof(tele_c_k417t_rc_channel, user_alarm) == 45, "user_alarm");
