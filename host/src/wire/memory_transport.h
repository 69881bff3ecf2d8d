#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "wire/transport.h"

namespace qmx::wire {

// One end of an in-process line: what one end writes, the other reads. For
// tests, each end can refuse to open and the line can be broken as if the
// cable were pulled (reads and writes fail until an end is opened again).
class MemoryTransport : public Transport {
 public:
  using Pair = std::pair<std::unique_ptr<MemoryTransport>, std::unique_ptr<MemoryTransport>>;
  // Both ends start open.
  static Pair make_pair(const std::string& name = "memory");

  bool open() override;
  void close() override;
  bool is_open() const override;
  long write(const uint8_t* data, size_t n) override;
  long read(uint8_t* buf, size_t cap, int timeout_ms) override;
  std::string name() const override { return name_; }

  void set_open_fails(bool fails);
  void break_line();
  int open_calls() const;
  // Bytes waiting to be read at this end.
  size_t pending() const;

 private:
  struct Line {
    mutable std::mutex mu;
    std::condition_variable cv;
    std::deque<uint8_t> queue[2];  // queue[side]: bytes for that side to read
    bool broken = false;
  };
  MemoryTransport(std::shared_ptr<Line> line, int side, std::string name);

  std::shared_ptr<Line> line_;
  int side_;
  std::string name_;
  bool open_ = true;
  bool open_fails_ = false;
  int open_calls_ = 0;
};

}  // namespace qmx::wire
