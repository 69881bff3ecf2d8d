#pragma once

#include <vector>

namespace qmx {

// Receive side of a PMBusProtocol device: its copy of the last answer, which
// recv_frame points into.
struct ProtocolState {
  std::vector<unsigned char> frame;
};

}  // namespace qmx
