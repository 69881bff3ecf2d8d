#pragma once

#include <cstdint>
#include <vector>

namespace qmx {

// Receive side of a PMBusProtocol device: the decoded copy of the last frame
// that recv_frame points into.
struct ProtocolState {
  std::vector<unsigned char> frame;
};

}  // namespace qmx
