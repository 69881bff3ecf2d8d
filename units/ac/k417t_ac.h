#pragma once

// Placeholder until the unit's records and parsers land.
#include "qmx/qmx_spdevice.h"

class K417TAC : public QMXSPDevice {
 public:
  K417TAC() { device_type_ = "k417t-ac"; }
  using QMXSPDevice::LoadFromCache;
  bool LoadFromCache(const unsigned char*, int) override { return false; }
  virtual int parse40_41(const unsigned char*, int) { return -1; }
  virtual int parse40_43(const unsigned char*, int) { return -1; }
  virtual int parse40_44(const unsigned char*, int) { return -1; }
  virtual void DoImpCheckAlert() {}
};
