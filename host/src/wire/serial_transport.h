#pragma once

#include <string>

#include "wire/transport.h"

namespace qmx::wire {

// A serial port (or the slave side of a pseudo-terminal): raw 8N1 at the given
// baud rate, no flow control, non-blocking, opened with O_NOCTTY so it never
// becomes the controlling terminal.
class SerialTransport : public FdTransport {
 public:
  explicit SerialTransport(std::string path, int baud = 9600);

  bool open() override;
  std::string name() const override { return path_; }
  int baud() const { return baud_; }

  static bool baud_supported(int baud);

 private:
  std::string path_;
  int baud_;
};

}  // namespace qmx::wire
