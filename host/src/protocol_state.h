#pragma once

#include <cstdint>
#include <vector>

#include "wire/frame_codec.h"

namespace qmx {

// Receive side of a PMBusProtocol device: the decoded copy of the last frame
// that recv_frame points into.
struct ProtocolState {
  wire::FrameDecoder decoder;
  std::vector<unsigned char> frame;
  uint64_t foreign_frames = 0;  // valid frames from another address
};

}  // namespace qmx
