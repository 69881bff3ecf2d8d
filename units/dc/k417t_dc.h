#pragma once

// Placeholder until the unit's records and parsers land.
#include "qmx/qmx_spdevice.h"

class K417TDC : public QMXSPDevice {
 public:
  K417TDC() { device_type_ = "k417t-dc"; }
  explicit K417TDC(const std::string& model) : model_(model) { device_type_ = "k417t-dc"; }
  using QMXSPDevice::LoadFromCache;
  bool LoadFromCache(const unsigned char*, int) override { return false; }
  virtual int parse42_41(const unsigned char*, int) { return -1; }
  virtual int parse42_44(const unsigned char*, int) { return -1; }
  virtual void DoImpCheckAlert() {}
 private:
  std::string model_;
};
