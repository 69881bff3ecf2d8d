#pragma once

// The byte line under the protocol layer. The protocol layer and the runner
// talk to a Transport and never to termios or a descriptor directly; fd() is
// only there so a poll(2) loop can wait on the line.
#include <cstddef>
#include <cstdint>
#include <string>

namespace qmx::wire {

class Transport {
 public:
  virtual ~Transport() = default;

  virtual bool open() = 0;
  virtual void close() = 0;
  virtual bool is_open() const = 0;
  // The descriptor to poll, or -1 (closed, or a transport without one).
  virtual int fd() const { return -1; }
  // Writes all n bytes, waiting for room when the line is busy. Returns n, or
  // -1 when the line failed (last_error() says how).
  virtual long write(const uint8_t* data, size_t n) = 0;
  // Waits up to timeout_ms (0: do not wait) for received bytes. Returns the
  // count read, 0 when nothing arrived in time, -1 when the line failed or is
  // gone (hang-up, device removed, not open).
  virtual long read(uint8_t* buf, size_t cap, int timeout_ms) = 0;
  // Human-readable name of the line for log lines (e.g. the device path).
  virtual std::string name() const = 0;
  const std::string& last_error() const { return error_; }

 protected:
  std::string error_;
};

// A transport over a POSIX descriptor (serial port, pseudo-terminal). It owns
// the descriptor; open() is left to the kind of line.
class FdTransport : public Transport {
 public:
  ~FdTransport() override;
  void close() override;
  bool is_open() const override { return fd_ >= 0; }
  int fd() const override { return fd_; }
  long write(const uint8_t* data, size_t n) override;
  long read(uint8_t* buf, size_t cap, int timeout_ms) override;

 protected:
  // Takes ownership of an open, non-blocking descriptor.
  void adopt(int fd);
  void fail(const std::string& what);  // records what + strerror(errno)

 private:
  int fd_ = -1;
  // How long write() waits for room before it reports the line as failed.
  const int write_timeout_ms_ = 2000;
};

}  // namespace qmx::wire
