#include "plugin/providers.h"

#include "controller/k417t.h"

QMXSPDevice* K417TProvider::create() const { return new K417T(); }
QMXSPDevice* K417TACProvider::create() const { return new K417TAC(); }
QMXSPDevice* K417TDCProvider::create() const { return new K417TDC(); }
QMXSPDevice* K417TRCProvider::create() const { return new K417TRC(); }
