#pragma once

// Placeholder until the unit's records and parsers land.
#include "qmx/qmx_spdevice.h"

class K417TRC : public QMXSPDevice {
 public:
  K417TRC() { device_type_ = "k417t-rc"; }
  using QMXSPDevice::LoadFromCache;
  bool LoadFromCache(const unsigned char*, int) override { return false; }
  virtual int parse41_41(const unsigned char*, int) { return -1; }
  virtual int parse41_43(const unsigned char*, int) { return -1; }
  virtual int parse41_44(const unsigned char*, int) { return -1; }
  virtual int parse40_46(const unsigned char*, int) { return -1; }
  virtual int parse42_46(const unsigned char*, int) { return -1; }
  virtual void DoImpCheckAlert() {}
};
