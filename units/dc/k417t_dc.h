#pragma once

#include <string>

#include "units/dc/pmbus_power_dc.h"
#include "units/dc/tele_c_k417t_dc.h"

// The K417T's DC distribution (device type "k417t-dc", type number 5093).
class K417TDC : public PMBusPowerDC<tele_c_k417t_dc, 5093> {
 public:
  K417TDC() { device_type_ = "k417t-dc"; }
  explicit K417TDC(const std::string& model) : PMBusPowerDC(model) { device_type_ = "k417t-dc"; }
  void DoImpCheckAlert() override {}
};
