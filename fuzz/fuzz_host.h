#pragma once

// A host for the fuzz targets: every service answers at once and keeps
// nothing but counts, so a long run does not grow; round-end jobs run inline.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qmx/host_services.h"
#include "qmx/pmbus_protocol.h"
#include "qmx/qmx_controller.h"

namespace k417t_fuzz {

class QuietHost : public qmx::HostServices {
 public:
  bool Publish(QMXVDevice&, int, const unsigned char* data, int len, bool, bool) override {
    // Touch every byte handed over: ASan sees an image shorter than claimed.
    for (int i = 0; i < len; ++i) sum_ += data[i];
    return true;
  }
  bool ThresholdPoint(QMXVDevice&, const rule_value&) override { return true; }
  bool BatchCheck(QMXVDevice&, const std::vector<rule_value>& rules) override {
    return !rules.empty();
  }
  void QueueJob(QMXVDevice&, std::function<void()> job) override { job(); }
  void SaveHistory(QMXVDevice&, const unsigned char* data, int len) override {
    for (int i = 0; i < len; ++i) sum_ += data[i];
  }
  void Log(const std::string& line) override { sum_ += line.size(); }
  int RefreshStatus(QMXSPDevice&) override { return 1; }
  void Reset(QMXSPDevice&) override {}
  bool OpenPort(QMXSPDevice&) override { return true; }
  bool SendRequest(PMBusProtocol&, uint8_t, uint8_t, const unsigned char* info,
                   int info_len) override {
    for (int i = 0; i < info_len; ++i) sum_ += info[i];
    return true;
  }

 private:
  uint64_t sum_ = 0;
};

struct Host {
  std::shared_ptr<QuietHost> services = std::make_shared<QuietHost>();
  std::shared_ptr<QMXController> controller = std::make_shared<QMXController>(services);
};

// The decoded copy of a received frame, in a buffer of exactly its size:
// 0 VER, 1 ADR, 2 CID1, 3 RTN, 4-5 LENID (twice the information length, low
// byte first), then the information field.
inline std::unique_ptr<unsigned char[]> DecodedFrame(uint8_t cid1, uint8_t rtn,
                                                     const std::vector<uint8_t>& info) {
  const size_t n = 6 + info.size();
  std::unique_ptr<unsigned char[]> f(new unsigned char[n]);
  const unsigned lenid = static_cast<unsigned>(info.size() * 2);
  f[0] = 0x21;
  f[1] = 0x01;
  f[2] = cid1;
  f[3] = rtn;
  f[4] = static_cast<unsigned char>(lenid & 0xFF);
  f[5] = static_cast<unsigned char>((lenid >> 8) & 0xFF);
  for (size_t i = 0; i < info.size(); ++i) f[6 + i] = info[i];
  return f;
}

// Reads a fuzz input front to back; past the end every read gives zeros or
// nothing. The targets' inputs are plain byte streams of operations, so seed
// files can be written from real answers.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() {
    const uint16_t lo = u8();
    return static_cast<uint16_t>(lo | (u8() << 8));
  }
  std::vector<uint8_t> bytes(size_t n) {
    if (n > size_ - pos_) n = size_ - pos_;
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The operation streams, as the seed writer produces them.
namespace op {
// Controller: header byte (AC units | DC units << 4, each 0-4), flags byte
// (bit 0: protocol version 0x20), then operations:
enum Controller : uint8_t {
  kPoll = 0,      // RefreshStatus
  kAnswer = 1,    // cid1, rtn, u16 length, information bytes
  kControl = 2,   // code - 98, input byte, flags (bit 0: no input, bits 1-3: out capacity)
  kStep = 3,      // cmd_step := byte (as is)
  kAge = 4,       // bit 7: data_valid := 0; bits 0-6: seconds added to the data's age
  kRead = 5,      // unit index, key length, key bytes
};
// Units: unit kind byte (0 AC, 1 rectifier, 2 DC), then operations:
enum Unit : uint8_t {
  kParse = 0,  // parser index, u16 length, slice bytes
  kLoad = 1,   // u16 length, image bytes
  kRoundDone = 2,
  kUnitRead = 3,  // key length, key bytes
};
}  // namespace op

}  // namespace k417t_fuzz
