#pragma once

// Modbus-TCP requests answered from a register image: no sockets, no
// threads, no allocation per request. Frames are MBAP (transaction 2 bytes,
// protocol 2 bytes = 0, length 2 bytes = unit + PDU, unit 1 byte) then the
// PDU; every multi-byte field big-endian.
//
//   FC 02 read discrete inputs   count 1..2000
//   FC 04 read input registers   count 1..125
//   FC 03 read holding registers, FC 06/16 write: the command block, only
//         when a WriteHandler is given (control on); else illegal function
//   anything else                illegal function (0x01)
//
// A range touching an address the map does not have: illegal data address
// (0x02); a count out of bounds or a PDU of the wrong length: illegal data
// value (0x03); a unit identifier no device has: gateway target failed to
// respond (0x0B). Unit identifier 0 and 255 address the first device.
#include <cstddef>
#include <cstdint>

#include "modbus/modbus_map.h"

namespace qmx::modbus {

inline constexpr size_t kMaxAdu = 260;  // MBAP 7 + PDU 253

enum Exception : uint8_t {
  kIllegalFunction = 0x01,
  kIllegalDataAddress = 0x02,
  kIllegalDataValue = 0x03,
  kServerFailure = 0x04,
  kGatewayTargetFailed = 0x0B
};

// The holding registers: the control command block of a device.
class WriteHandler {
 public:
  virtual ~WriteHandler() = default;
  // 0 or an exception code; `out` gets `count` registers from `address`.
  virtual uint8_t ReadHolding(unsigned int device, uint16_t address, uint16_t count,
                              uint16_t* out) = 0;
  // 0 or an exception code.
  virtual uint8_t WriteHolding(unsigned int device, uint16_t address, const uint16_t* values,
                               uint16_t count) = 0;
};

// The length of the frame at the start of `buf`: 0 while incomplete, -1
// when it can never be a frame (protocol id not 0, length field outside
// 2..254): the connection should then be closed.
long FrameLength(const uint8_t* buf, size_t len);

// The reply to one complete frame, written to `reply` (at least kMaxAdu
// bytes); its length, or 0 for no reply (not a complete frame).
size_t Answer(const uint8_t* req, size_t len, const RegisterImage& image, uint8_t* reply,
              WriteHandler* writes = nullptr);

}  // namespace qmx::modbus
