#include "wire/serial_transport.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace qmx::wire {
namespace {

speed_t to_speed(int baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return B0;
  }
}

}  // namespace

SerialTransport::SerialTransport(std::string path, int baud)
    : path_(std::move(path)), baud_(baud) {}

bool SerialTransport::baud_supported(int baud) { return to_speed(baud) != B0; }

bool SerialTransport::open() {
  if (is_open()) return true;
  const speed_t speed = to_speed(baud_);
  if (speed == B0) {
    error_ = "unsupported baud rate " + std::to_string(baud_);
    return false;
  }
  const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    fail("open " + path_);
    return false;
  }
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    fail("tcgetattr " + path_);
    ::close(fd);
    return false;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, speed);
  ::cfsetospeed(&tio, speed);
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    fail("tcsetattr " + path_);
    ::close(fd);
    return false;
  }
  ::tcflush(fd, TCIOFLUSH);
  adopt(fd);
  return true;
}

}  // namespace qmx::wire
