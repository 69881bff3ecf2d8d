#pragma once

// Information fields of the controller's answers, written from a scenario.
// Device side only: these functions write blocks and never read them.
#include <cstdint>
#include <vector>

#include "sim/scenario.h"

namespace k417t::sim {

using Bytes = std::vector<uint8_t>;

// Appends device-order fields: one byte, a float's four bytes, a counted list.
class BlockWriter {
 public:
  BlockWriter& u8(uint8_t b) {
    out_.push_back(b);
    return *this;
  }
  BlockWriter& f32(const WireFloat& f) {
    out_.insert(out_.end(), f.bytes.begin(), f.bytes.end());
    return *this;
  }
  template <typename Seq>
  BlockWriter& raw(const Seq& bytes) {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  BlockWriter& counted(const std::vector<uint8_t>& bytes) {
    return u8(static_cast<uint8_t>(bytes.size())).raw(bytes);
  }
  BlockWriter& counted(const std::vector<WireFloat>& values) {
    u8(static_cast<uint8_t>(values.size()));
    for (const WireFloat& v : values) f32(v);
    return *this;
  }
  Bytes take() { return std::move(out_); }

 private:
  Bytes out_;
};

// The 20-byte model text, padded with blanks (or NULs), then the version's
// major and minor number.
Bytes ModelInfo(const Scenario& s);

// Multi-unit answers: data flag, unit count, one block per unit. count_bias is
// added to the reported count (0 normally; the wrong-count fault uses 1).
Bytes AcAnalogInfo(const Scenario& s, int count_bias = 0);  // 0x40/0x41
Bytes AcSwitchInfo(const Scenario& s, int count_bias = 0);  // 0x40/0x43
Bytes AcAlarmInfo(const Scenario& s, int count_bias = 0);   // 0x40/0x44
Bytes DcAnalogInfo(const Scenario& s, int count_bias = 0);  // 0x42/0x41
Bytes DcStateInfo(const Scenario& s, int count_bias = 0);   // 0x42/0x44

// Rectifier answers: count_bias applies to the module count.
Bytes RcAnalogInfo(const Scenario& s, int count_bias = 0);  // 0x41/0x41
Bytes RcStateInfo(const Scenario& s, int count_bias = 0);   // 0x41/0x43
Bytes RcAlarmInfo(const Scenario& s, int count_bias = 0);   // 0x41/0x44

// Parameter answers, without data flag.
Bytes AcParamInfo(const Scenario& s);  // 0x40/0x46
Bytes DcParamInfo(const Scenario& s);  // 0x42/0x46

}  // namespace k417t::sim
