#include "modbus/modbus_answer.h"

#include <cstring>

namespace qmx::modbus {
namespace {

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

bool AllMapped(const std::vector<bool>& mapped, uint16_t address, uint16_t count) {
  const size_t end = static_cast<size_t>(address) + count;
  if (end > mapped.size()) return false;
  for (size_t a = address; a < end; ++a)
    if (!mapped[a]) return false;
  return true;
}

const DeviceRegisters* Unit(const RegisterImage& image, uint8_t unit) {
  if (image.units.empty()) return nullptr;
  if (unit == 0 || unit == 255) return &image.units.begin()->second;
  const auto it = image.units.find(unit);
  return it == image.units.end() ? nullptr : &it->second;
}

}  // namespace

long FrameLength(const uint8_t* buf, size_t len) {
  if (len < 6) return 0;
  const uint16_t protocol = U16(buf + 2), n = U16(buf + 4);
  if (protocol != 0 || n < 2 || n > kMaxAdu - 6) return -1;
  return len >= 6u + n ? static_cast<long>(6 + n) : 0;
}

size_t AnswerPdu(const uint8_t* pdu, size_t pdu_len, const DeviceRegisters& dev, const Map& map,
                 uint8_t* out, WriteHandler* writes) {
  if (pdu == nullptr || out == nullptr || pdu_len < 1 || pdu_len > kMaxPdu) return 0;
  const uint8_t fc = pdu[0];
  auto exception = [&](uint8_t code) -> size_t {
    out[0] = static_cast<uint8_t>(fc | 0x80);
    out[1] = code;
    return 2;
  };

  switch (fc) {
    case 0x02: {
      if (pdu_len != 5) return exception(kIllegalDataValue);
      const uint16_t address = U16(pdu + 1), count = U16(pdu + 3);
      if (count < 1 || count > 2000) return exception(kIllegalDataValue);
      if (!AllMapped(map.discrete_mapped, address, count) || dev.discrete.size() < address + count)
        return exception(kIllegalDataAddress);
      const size_t bytes = (count + 7u) / 8u;
      out[0] = fc;
      out[1] = static_cast<uint8_t>(bytes);
      std::memset(out + 2, 0, bytes);
      for (uint16_t i = 0; i < count; ++i)
        if (dev.discrete[address + i]) out[2 + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
      return 2 + bytes;
    }
    case 0x04: {
      if (pdu_len != 5) return exception(kIllegalDataValue);
      const uint16_t address = U16(pdu + 1), count = U16(pdu + 3);
      if (count < 1 || count > 125) return exception(kIllegalDataValue);
      if (!AllMapped(map.input_mapped, address, count) || dev.input.size() < address + count)
        return exception(kIllegalDataAddress);
      out[0] = fc;
      out[1] = static_cast<uint8_t>(2 * count);
      for (uint16_t i = 0; i < count; ++i) Put16(out + 2 + 2 * i, dev.input[address + i]);
      return 2 + 2u * count;
    }
    case 0x03: {
      if (writes == nullptr) return exception(kIllegalFunction);
      if (pdu_len != 5) return exception(kIllegalDataValue);
      const uint16_t address = U16(pdu + 1), count = U16(pdu + 3);
      if (count < 1 || count > 125) return exception(kIllegalDataValue);
      uint16_t values[125];
      const uint8_t code = writes->ReadHolding(dev.device, address, count, values);
      if (code != 0) return exception(code);
      out[0] = fc;
      out[1] = static_cast<uint8_t>(2 * count);
      for (uint16_t i = 0; i < count; ++i) Put16(out + 2 + 2 * i, values[i]);
      return 2 + 2u * count;
    }
    case 0x06: {
      if (writes == nullptr) return exception(kIllegalFunction);
      if (pdu_len != 5) return exception(kIllegalDataValue);
      const uint16_t address = U16(pdu + 1), value = U16(pdu + 3);
      const uint8_t code = writes->WriteHolding(dev.device, address, &value, 1);
      if (code != 0) return exception(code);
      std::memcpy(out, pdu, 5);  // the echo
      return 5;
    }
    case 0x10: {
      if (writes == nullptr) return exception(kIllegalFunction);
      if (pdu_len < 6) return exception(kIllegalDataValue);
      const uint16_t address = U16(pdu + 1), count = U16(pdu + 3);
      const uint8_t bytes = pdu[5];
      if (count < 1 || count > 123 || bytes != 2 * count || pdu_len != 6u + bytes)
        return exception(kIllegalDataValue);
      uint16_t values[123];
      for (uint16_t i = 0; i < count; ++i) values[i] = U16(pdu + 6 + 2 * i);
      const uint8_t code = writes->WriteHolding(dev.device, address, values, count);
      if (code != 0) return exception(code);
      std::memcpy(out, pdu, 5);  // function, address, count
      return 5;
    }
    default:
      return exception(kIllegalFunction);
  }
}

size_t Answer(const uint8_t* req, size_t len, const RegisterImage& image, uint8_t* reply,
              WriteHandler* writes) {
  if (req == nullptr || reply == nullptr || FrameLength(req, len) <= 0) return 0;
  const size_t frame = static_cast<size_t>(FrameLength(req, len));
  const uint8_t unit = req[6];
  const uint8_t* pdu = req + 7;
  const size_t pdu_len = frame - 7;
  std::memcpy(reply, req, 4);  // transaction and protocol identifiers
  reply[6] = unit;
  uint8_t* out = reply + 7;
  size_t out_len = 0;
  const DeviceRegisters* dev = Unit(image, unit);
  if (dev == nullptr || image.map == nullptr) {
    out[0] = static_cast<uint8_t>(pdu[0] | 0x80);
    out[1] = kGatewayTargetFailed;
    out_len = 2;
  } else {
    out_len = AnswerPdu(pdu, pdu_len, *dev, *image.map, out, writes);
  }
  Put16(reply + 4, static_cast<uint16_t>(out_len + 1));
  return 7 + out_len;
}

uint16_t Crc16(const uint8_t* p, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b)
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

size_t RtuRequestLength(const uint8_t* buf, size_t len) {
  if (buf == nullptr || len < 2) return 0;
  switch (buf[1]) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06:
      return 8;  // address, function, 2 x 2 bytes, CRC
    case 0x0F:
    case 0x10:
      // address, function, start, count, byte count, the bytes, CRC
      return len < 7 ? 0 : 9u + buf[6];
    default:
      return 0;
  }
}

size_t AnswerRtu(const uint8_t* req, size_t len, const RegisterImage& image, uint8_t* reply,
                 WriteHandler* writes, RtuVerdict* verdict) {
  RtuVerdict v = RtuVerdict::kAnswered;
  size_t n = 0;
  if (req == nullptr || reply == nullptr || len < 4 || len > kMaxRtuAdu) {
    v = RtuVerdict::kMalformed;
  } else if (Crc16(req, len - 2) != static_cast<uint16_t>(req[len - 2] | req[len - 1] << 8)) {
    v = RtuVerdict::kBadCrc;
  } else if (req[0] == 0) {
    v = RtuVerdict::kBroadcast;
  } else {
    const auto it = image.units.find(req[0]);
    if (it == image.units.end() || image.map == nullptr) {
      v = RtuVerdict::kNotOurs;
    } else {
      reply[0] = req[0];
      const size_t pdu = AnswerPdu(req + 1, len - 3, it->second, *image.map, reply + 1, writes);
      const uint16_t crc = Crc16(reply, 1 + pdu);
      reply[1 + pdu] = static_cast<uint8_t>(crc);
      reply[2 + pdu] = static_cast<uint8_t>(crc >> 8);
      n = 3 + pdu;
    }
  }
  if (verdict != nullptr) *verdict = v;
  return n;
}

}  // namespace qmx::modbus
