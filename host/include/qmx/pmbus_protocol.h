#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "qmx/qmx_spdevice.h"

namespace qmx {
struct ProtocolState;
}

// Host protocol layer: frames requests; takes each answer as the host's line
// decoded it into recv_frame and hands it to process_payload (return code 0)
// or process_error.
class QMX_API PMBusProtocol : public QMXSPDevice {
 public:
  PMBusProtocol();
  ~PMBusProtocol() override;

  // Reads the line settings ("address", "port", "timeout_ms", "baud_rate").
  bool InitSetting(const Json::Value& setting) override;
  // One answer, already cut, checked and decoded by the host's line (the
  // layout of recv_frame, len bytes in all): kept as recv_frame until the next
  // one and routed by its return code. A copy whose LENID does not match its
  // length is refused (0, logged).
  int process(const unsigned char* data, int len) override;

  virtual int process_payload() { return 0; }
  virtual int process_error() { return 0; }

  // Frames the request with protocol_ver and sends it now.
  bool write_pmbus_cmd(uint8_t cid1, uint8_t cid2);
  bool write_pmbus_cmd(uint8_t cid1, uint8_t cid2, const unsigned char* info, int info_len);

  // Decoded copy of the last received frame:
  //   0 VER, 1 ADR, 2 CID1, 3 RTN, 4-5 LENID (low byte first), 6.. information.
  unsigned char* recv_frame = nullptr;
  std::atomic<int32_t> cmd_step{0};
  uint8_t protocol_ver = 0x20;

  // Runtime-owned receive state; opaque to the plug-in.
  qmx::ProtocolState* protocol_state() const { return proto_.get(); }

 private:
  std::unique_ptr<qmx::ProtocolState> proto_;
};
