#pragma once

// Helpers shared by the simulator tests: scenarios from text, requests as the
// host frames them, answers decoded back to the codec layout.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "wire/frame_codec.h"

namespace k417t::sim::test {

inline Json::Value ParseJson(const std::string& text) {
  Json::Value root;
  Json::CharReaderBuilder b;
  std::string err;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &root, &err)) << err;
  return root;
}

inline std::unique_ptr<Simulator> Make(const std::string& json) {
  std::string err;
  auto sim = Simulator::Create(ParseJson(json), &err);
  EXPECT_TRUE(sim) << err;
  return sim;
}

inline Bytes Request(uint8_t cid1, uint8_t cid2, const Bytes& info = {}, uint8_t adr = 1,
                     uint8_t ver = 0x21) {
  return qmx::wire::encode_frame(ver, adr, cid1, cid2, info);
}

// Decoded answer frames (VER ADR CID1 RTN LENID-lo LENID-hi INFO...).
inline std::vector<Bytes> Decode(const std::vector<Outgoing>& outs) {
  std::vector<Bytes> frames;
  qmx::wire::FrameDecoder d;
  for (const Outgoing& o : outs) {
    d.feed(o.bytes.data(), o.bytes.size(),
           [&](const uint8_t* f, size_t n) { frames.emplace_back(f, f + n); });
  }
  return frames;
}

inline Bytes InfoOf(const Bytes& frame) { return Bytes(frame.begin() + 6, frame.end()); }

}  // namespace k417t::sim::test
