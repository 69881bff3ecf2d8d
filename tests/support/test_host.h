#pragma once

// Shared helpers for the plug-in's tests: a recording host, float and block
// builders and a decoded-frame builder.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "qmx/pmbus_protocol.h"
#include "support/recording_services.h"

namespace k417t_test {

using Bytes = std::vector<unsigned char>;

// A host controller with recording services; devices Init'ed or InitV'ed under
// it send every call to `services`.
struct TestHost {
  std::shared_ptr<qmx::RecordingServices> services = std::make_shared<qmx::RecordingServices>();
  std::shared_ptr<QMXController> controller = std::make_shared<QMXController>(services);
};

// Little-endian bytes of a float, as the device sends it.
inline Bytes F32(float v) {
  Bytes b(4);
  std::memcpy(b.data(), &v, 4);
  return b;
}

// Concatenates byte pieces: Cat({0x01}, F32(1.5f), Bytes(3, 0)).
inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes Repeat(const Bytes& piece, int times) {
  Bytes out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

inline float FloatAt(const void* field) {
  float v;
  std::memcpy(&v, field, 4);
  return v;
}

inline uint32_t BitsOf(float v) {
  uint32_t b;
  std::memcpy(&b, &v, 4);
  return b;
}

// The decoded copy of a received frame as the protocol layer hands it over:
// 0 VER, 1 ADR, 2 CID1, 3 RTN, 4-5 LENID (twice the information length, low
// byte first), then the information field.
inline Bytes DecodedFrame(uint8_t cid1, uint8_t rtn, const Bytes& info, uint8_t ver = 0x21,
                          uint8_t adr = 0x01) {
  const unsigned lenid = static_cast<unsigned>(info.size() * 2);
  Bytes f{ver, adr, cid1, rtn, static_cast<unsigned char>(lenid & 0xFF),
          static_cast<unsigned char>((lenid >> 8) & 0xFF)};
  f.insert(f.end(), info.begin(), info.end());
  return f;
}

}  // namespace k417t_test
