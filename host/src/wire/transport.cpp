#include "wire/transport.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace qmx::wire {

FdTransport::~FdTransport() { FdTransport::close(); }

void FdTransport::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void FdTransport::adopt(int fd) {
  close();
  fd_ = fd;
  error_.clear();
}

void FdTransport::fail(const std::string& what) { error_ = what + ": " + std::strerror(errno); }

long FdTransport::write(const uint8_t* data, size_t n) {
  if (fd_ < 0) {
    error_ = "not open";
    return -1;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(write_timeout_ms_);
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(fd_, data + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      fail("write");
      return -1;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      error_ = "write: line stalled";
      return -1;
    }
    pollfd p{fd_, POLLOUT, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno != EINTR) {
      fail("poll");
      return -1;
    }
    if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      error_ = "write: line hung up";
      return -1;
    }
  }
  return static_cast<long>(n);
}

long FdTransport::read(uint8_t* buf, size_t cap, int timeout_ms) {
  if (fd_ < 0) {
    error_ = "not open";
    return -1;
  }
  pollfd p{fd_, POLLIN, 0};
  const int r = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
  if (r < 0) {
    if (errno == EINTR) return 0;
    fail("poll");
    return -1;
  }
  if (r == 0) return 0;
  if ((p.revents & POLLIN) == 0) {
    // POLLHUP, POLLERR or POLLNVAL without data: the line is gone.
    error_ = (p.revents & POLLHUP) != 0 ? "line hung up" : "line error";
    return -1;
  }
  const ssize_t got = ::read(fd_, buf, cap);
  if (got > 0) return static_cast<long>(got);
  if (got == 0) {
    error_ = "end of file on line";
    return -1;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  fail("read");
  return -1;
}

}  // namespace qmx::wire
