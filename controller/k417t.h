#pragma once

#include <atomic>
#include <cstdint>

#include "controller/pmbus_power.h"
#include "units/ac/k417t_ac.h"
#include "units/dc/k417t_dc.h"
#include "units/rc/k417t_rc.h"

// The K417T monitoring controller of a telecom DC power system.
class K417T : public PMBusPower<K417TAC, K417TDC, K417TRC> {
 public:
  K417T();
  ~K417T() override;

  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_cap,
                      int& out_len) override;
  int process_payload() override;
  int process_error() override;

  // Return code of the last control command; -1 while none has been answered.
  std::atomic<int32_t> cmd_result{-1};
};
