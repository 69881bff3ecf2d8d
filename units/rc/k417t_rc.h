#pragma once

#include "units/rc/pmbus_power_rc.h"
#include "units/rc/tele_c_k417t_rc.h"

// The K417T's rectifier group (device type "k417t-rc", type number 5092).
class K417TRC : public PMBusPowerRC<tele_c_k417t_rc, tele_c_k417t_rc_channel, 5092> {
 public:
  K417TRC() { device_type_ = "k417t-rc"; }
  void DoImpCheckAlert() override {}
};
