#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "qmx/qmx_controller.h"
#include "qmx/rule_value.h"
#include "qmx/ttime.h"
#include "qmx/vdevice_interface.h"
#include "qmx/visibility.h"

// Host base of every device. Operations marked "host" are implemented by the
// host runtime; the rest is header code compiled into every plug-in.
class QMX_API QMXVDevice : public VDeviceInterface, public std::enable_shared_from_this<QMXVDevice> {
 public:
  QMXVDevice();
  virtual ~QMXVDevice();

  // Host's own control entry: devices without a command set answer -1.
  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_cap,
                      int& out_len) override;

  virtual void Reset();
  // Child set-up: takes the identifier and the parent's controller link.
  virtual bool InitV(QMXVDevice* parent, unsigned int data_id, const Json::Value& setting);
  // Host set-up of a top-level device: controller link and data identifier.
  virtual bool Init(const std::shared_ptr<QMXController>& controller, unsigned int data_id);
  virtual bool InitSetting(const Json::Value& setting);
  virtual bool IsSupportDevice(const std::string& device_type) const;
  virtual std::shared_ptr<QMXVDevice> GetChildVDevice(unsigned int /*id*/) { return {}; }
  virtual std::vector<std::shared_ptr<QMXVDevice>> GetAllChildVDevices() { return {}; }
  virtual bool SendSP(int type, const unsigned char* data, int len, bool flag);
  virtual bool SendDelayData(int type, const unsigned char* data, int len);
  virtual bool SendDoData(unsigned int id, int value);
  virtual bool ReadDi(unsigned int id, int& value);
  virtual bool ReadAi(unsigned int id, float& value);
  virtual bool Get_SP_Value(unsigned int id, const std::string& key, std::string& value) const;

  // Host: states one alarm point for this round (queued in pending_rules).
  bool CheckThresholdBool(int level, const std::string& key, const std::string& code,
                          const std::string& name, const std::string& text, bool condition,
                          unsigned short seq);
  // Host: runs `job` once, now or later, on a thread of the host's choice.
  void CheckThresholdWork(std::function<void()> job);
  // Host: commits a round's alarm points; true when any of them changed.
  bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
  // Host: stores one history record.
  bool SaveDeviceHistory(const unsigned char* data, int len);

  // Forwards to the controller's log when this device has one.
  template <typename... Args>
  void InfoLog(const char* format, const Args&... args) const {
    if (std::shared_ptr<QMXController> ctrl = controller_.lock()) {
      ctrl->InfoLog(format, args...);
    }
  }

  std::shared_ptr<QMXController> controller() const { return controller_.lock(); }

  // Host fields the plug-in reads or writes.
  uint16_t rule_seq = 0;
  boost::posix_time::ptime last_update;
  uint8_t data_valid = 0;
  std::vector<rule_value> pending_rules;
  // Dead-band verdict of the last round end; reported with the published image.
  uint8_t round_changed = 0;

 protected:
  qmx::HostServices* services() const;
  std::weak_ptr<QMXController> controller_;

 public:
  uint8_t threshold_flag = 0;
};
