#pragma once

#include "qmx/provider.h"

// One factory per device kind of the plug-in.
class K417TProvider : public QMXSPDeviceProvider {
 public:
  QMXSPDevice* create() const override;
};

class K417TACProvider : public QMXSPDeviceProvider {
 public:
  QMXSPDevice* create() const override;
};

class K417TDCProvider : public QMXSPDeviceProvider {
 public:
  QMXSPDevice* create() const override;
};

class K417TRCProvider : public QMXSPDeviceProvider {
 public:
  QMXSPDevice* create() const override;
};
