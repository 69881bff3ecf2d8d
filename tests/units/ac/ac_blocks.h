#pragma once

// Block builders and a unit fixture for the AC unit's tests.
#include <memory>
#include <string>
#include <vector>

#include "support/test_host.h"
#include "units/ac/k417t_ac.h"

namespace ac_test {

using k417t_test::Bytes;
using k417t_test::Cat;
using k417t_test::F32;

// Analog block: count, per input a = 220+k, b = 221+k, c = 222+k, f = 50 (f32
// each) and user count 0; then ia, ib, ic (f32 each).
inline Bytes Analog(int n, const Bytes& currents = Cat({F32(10.5f), F32(11.5f), F32(12.5f)})) {
  Bytes out{static_cast<unsigned char>(n)};
  for (int k = 0; k < n; ++k)
    out = Cat({out, F32(220.0f + k), F32(221.0f + k), F32(222.0f + k), F32(50), {0}});
  return Cat({out, currents});
}

// Alarm block: count, per input its a/b/c/f states, m = 0, p and the p user
// states; then the ia/ib/ic states.
inline Bytes Alarm(const std::vector<Bytes>& abcf, const Bytes& user,
                   const Bytes& currents = {0, 0, 0}) {
  Bytes out{static_cast<unsigned char>(abcf.size())};
  for (const Bytes& s : abcf)
    out = Cat({out, s, {0, static_cast<unsigned char>(user.size())}, user});
  return Cat({out, currents});
}

const Bytes kUserStates{0x05, 0x00, 0x05, 0xE1, 0x00, 0x00, 0xE3, 0xE2};
const auto kP41 = &K417TAC::parse40_41;
const auto kP43 = &K417TAC::parse40_43;
const auto kP44 = &K417TAC::parse40_44;

// A unit (data id 7) under a parent linked to a recording host.
struct Fixture {
  k417t_test::TestHost host;
  std::shared_ptr<K417TAC> parent = std::make_shared<K417TAC>();
  std::shared_ptr<K417TAC> unit = std::make_shared<K417TAC>();
  explicit Fixture(const Json::Value& setting = Json::Value()) {
    parent->Init(host.controller, 1);
    unit->InitV(parent.get(), 7, setting);
  }
  // Parses a heap copy of exactly `len` bytes of the block (ASan sees over-reads).
  int Parse(int (K417TAC::*parser)(const unsigned char*, int), Bytes block, int len = -2) {
    if (len == -2) len = static_cast<int>(block.size());
    block.resize(len < 0 ? 0 : len, 0);
    std::unique_ptr<unsigned char[]> buf(new unsigned char[block.size()]);
    std::copy(block.begin(), block.end(), buf.get());
    return ((*unit).*parser)(buf.get(), len);
  }
  std::string Error(const std::string& key) const {
    try {
      return std::to_string(unit->Get_Value(0, key));
    } catch (const std::out_of_range& e) {
      return e.what();
    }
  }
  // Screen record then every input record, as the image lays them out.
  Bytes Record() const {
    const auto* p = reinterpret_cast<const unsigned char*>(&unit->ac);
    Bytes out(p, p + sizeof unit->ac);
    for (const auto& c : unit->channels) {
      p = reinterpret_cast<const unsigned char*>(&c);
      out.insert(out.end(), p, p + sizeof c);
    }
    return out;
  }
};

}  // namespace ac_test
