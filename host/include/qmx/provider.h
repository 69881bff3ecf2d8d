#pragma once

#include "qmx/qmx_spdevice.h"
#include "qmx/visibility.h"

class QMX_API Provider {
 public:
  virtual ~Provider() = default;
};

// Factory of one device kind. create() returns a new device owned by the caller.
class QMX_API QMXSPDeviceProvider : public Provider {
 public:
  virtual QMXSPDevice* create() const = 0;
};
