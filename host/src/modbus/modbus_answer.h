#pragma once

// Modbus requests answered from a register image: no sockets, no serial
// port, no threads, no allocation per request. One PDU-level function does
// the answering; Modbus-TCP and Modbus-RTU only wrap it.
//
//   TCP:  MBAP (transaction 2, protocol 2 = 0, length 2 = unit + PDU, unit 1)
//         then the PDU; every multi-byte field big-endian.
//   RTU:  +---------+-----+----------+----------+
//         | address | PDU | CRC low  | CRC high |
//         +---------+-----+----------+----------+
//         CRC-16 (poly 0xA001 reflected, init 0xFFFF) over address and PDU,
//         sent low byte first; the PDU's own fields big-endian as on TCP.
//
//   FC 02 read discrete inputs   count 1..2000
//   FC 04 read input registers   count 1..125
//   FC 03 read holding registers, FC 06/16 write: the command block, only
//         when a WriteHandler is given (control on); else illegal function
//   anything else                illegal function (0x01)
//
// A range touching an address the map does not have: illegal data address
// (0x02); a count out of bounds or a PDU of the wrong length: illegal data
// value (0x03). On TCP a unit identifier no device has gets gateway target
// failed to respond (0x0B), and unit identifier 0 and 255 address the first
// device. On RTU, a serial bus shared with other slaves, a frame for an
// address no device has, a broadcast (address 0) and a frame with a bad CRC
// get no answer at all.
#include <cstddef>
#include <cstdint>

#include "modbus/modbus_map.h"

namespace qmx::modbus {

inline constexpr size_t kMaxPdu = 253;
inline constexpr size_t kMaxAdu = 260;     // MBAP 7 + PDU 253
inline constexpr size_t kMaxRtuAdu = 256;  // address 1 + PDU 253 + CRC 2

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

// The reply PDU to one request PDU for one device, written to `out` (at
// least kMaxPdu bytes): a normal answer or an exception; its length, 0 only
// for an empty or over-long PDU.
size_t AnswerPdu(const uint8_t* pdu, size_t pdu_len, const DeviceRegisters& device, const Map& map,
                 uint8_t* out, WriteHandler* writes = nullptr);

// CRC-16/MODBUS of `n` bytes (check value: "123456789" -> 0x4B37).
uint16_t Crc16(const uint8_t* p, size_t n);

// The whole length of the RTU request at the start of `buf` when its
// function code says it (FC 01..06: 8; FC 15/16: 9 + byte count), 0 when
// it does not or not enough has arrived to tell. A frame is otherwise ended
// by the line's silence.
size_t RtuRequestLength(const uint8_t* buf, size_t len);

enum class RtuVerdict { kAnswered, kBadCrc, kBroadcast, kNotOurs, kMalformed };

// The reply to one RTU frame (address, PDU, CRC) cut from the line, written
// to `reply` (at least kMaxRtuAdu bytes); its length, or 0 for silence, and
// why in `verdict`. Only the unit identifiers in `image.units` are answered.
size_t AnswerRtu(const uint8_t* req, size_t len, const RegisterImage& image, uint8_t* reply,
                 WriteHandler* writes = nullptr, RtuVerdict* verdict = nullptr);

}  // namespace qmx::modbus
