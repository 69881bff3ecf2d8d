#pragma once

#include <cstdint>
#include <string>

#include "qmx/qmx_vdevice.h"

// Host base of a device on a serial line (and of the plug-in's units).
class QMX_API QMXSPDevice : public QMXVDevice {
 public:
  QMXSPDevice();
  ~QMXSPDevice() override;

  void Reset() override;
  bool Init(const std::shared_ptr<QMXController>& controller, unsigned int data_id) override;

  // Host: 0 means "no poll now".
  virtual int RefreshStatus();
  virtual int process(const unsigned char* data, int len);
  virtual bool IsProcessing() const;
  virtual bool IsStalled() const;
  virtual int SendData(const unsigned char* data, int len);
  virtual int SendParityData(const unsigned char* data, int len, int parity);
  virtual bool OpenPort();
  virtual void ClosePort();

  // Host fields the plug-in reads or writes.
  int32_t processing = 0;
  uint8_t sp_flag = 0;
  int32_t baud_rate = 9600;

  // Line settings the host reads from the device setting.
  std::string port;
  uint8_t address = 1;
  int32_t response_timeout_ms = 1000;
};
