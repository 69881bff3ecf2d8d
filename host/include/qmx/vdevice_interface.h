#pragma once

#include <stdexcept>
#include <string>

#include "qmx/visibility.h"

// The abstract virtual device every host device derives from. The slot order of
// the virtual operations is part of the host/plug-in contract: do not reorder.
class QMX_API VDeviceInterface {
 public:
  // Value read by signal identifier and key.
  virtual float Get_Value(unsigned int /*id*/, const std::string& /*key*/) const {
    throw std::out_of_range("数据未就绪");
  }
  // Cached image held in a string: forwards to the byte form.
  virtual bool LoadFromCache(const std::string& data) {
    return LoadFromCache(reinterpret_cast<const unsigned char*>(data.data()),
                         static_cast<int>(data.size()));
  }
  virtual bool LoadFromCache(const unsigned char* data, int length) = 0;
  virtual unsigned int DataId() const { return data_id_; }
  virtual std::string DeviceType() const { return device_type_; }
  virtual int DeviceIoControl(int /*code*/, const void* /*in*/, int /*in_len*/, void* /*out*/,
                              int /*out_cap*/, int& /*out_len*/) {
    return -2;
  }
  virtual void RoundDone() {}
  virtual bool UseControllerDb() { return use_controller_db_ != 0; }

 protected:
  VDeviceInterface() = default;
  // Not virtual: devices are owned and destroyed through QMXVDevice.
  ~VDeviceInterface() = default;

  unsigned int data_id_ = 0;
  std::string device_type_;
  unsigned char use_controller_db_ = 0;
};
