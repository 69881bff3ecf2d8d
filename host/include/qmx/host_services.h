#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <json/value.h>

#include "qmx/rule_value.h"
#include "qmx/visibility.h"

class QMXVDevice;
class QMXSPDevice;
class PMBusProtocol;

namespace qmx {

// Everything a device asks of the host goes through one of these, reached via
// the device's QMXController. The runner routes the calls to the serial line,
// the alarm service, the history store and the log; tests record them.
class QMX_API HostServices {
 public:
  virtual ~HostServices() = default;

  // SendSP: a record image under its unit type number. `flag` is SendSP's own
  // last argument; `changed` is the unit's dead-band verdict for the round.
  virtual bool Publish(QMXVDevice& dev, int type, const unsigned char* data, int len, bool flag,
                       bool changed) = 0;
  // One CheckThresholdBool row. True: queue it in the device's pending_rules
  // for the round's batch check; false: the host has taken it itself (a
  // device without a round end, such as the controller's model check).
  virtual bool ThresholdPoint(QMXVDevice& dev, const rule_value& rule) = 0;
  // DoBatchCheckThreshold: commits one round's points; true when any changed.
  virtual bool BatchCheck(QMXVDevice& dev, const std::vector<rule_value>& rules) = 0;
  // CheckThresholdWork: runs the job once, now or later, on a thread of its
  // choice.
  virtual void QueueJob(QMXVDevice& dev, std::function<void()> job) = 0;
  // SaveDeviceHistory: one history record.
  virtual void SaveHistory(QMXVDevice& dev, const unsigned char* data, int len) = 0;
  // One formatted log line (InfoLog and the runtime's own messages).
  virtual void Log(const std::string& line) = 0;

  // Serial-line side of a polling device.
  virtual int RefreshStatus(QMXSPDevice& dev) = 0;  // 0: no poll now
  virtual void Reset(QMXSPDevice& dev) = 0;         // ends the current exchange
  virtual bool OpenPort(QMXSPDevice& dev) = 0;
  // A request to frame and send now. Its answer comes back through the
  // device's process(), cut and checked by the host's line.
  virtual bool SendRequest(PMBusProtocol& dev, uint8_t cid1, uint8_t cid2,
                           const unsigned char* info, int info_len) = 0;
};

}  // namespace qmx
