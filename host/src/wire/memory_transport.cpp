#include "wire/memory_transport.h"

#include <algorithm>
#include <chrono>

namespace qmx::wire {

MemoryTransport::MemoryTransport(std::shared_ptr<Line> line, int side, std::string name)
    : line_(std::move(line)), side_(side), name_(std::move(name)) {}

MemoryTransport::Pair MemoryTransport::make_pair(const std::string& name) {
  auto line = std::make_shared<Line>();
  return {std::unique_ptr<MemoryTransport>(new MemoryTransport(line, 0, name + ":a")),
          std::unique_ptr<MemoryTransport>(new MemoryTransport(line, 1, name + ":b"))};
}

bool MemoryTransport::open() {
  std::lock_guard<std::mutex> lock(line_->mu);
  ++open_calls_;
  if (open_fails_) {
    error_ = "no such device";
    return false;
  }
  open_ = true;
  line_->broken = false;
  error_.clear();
  return true;
}

void MemoryTransport::close() {
  std::lock_guard<std::mutex> lock(line_->mu);
  open_ = false;
  line_->queue[side_].clear();
}

bool MemoryTransport::is_open() const {
  std::lock_guard<std::mutex> lock(line_->mu);
  return open_;
}

long MemoryTransport::write(const uint8_t* data, size_t n) {
  {
    std::lock_guard<std::mutex> lock(line_->mu);
    if (!open_ || line_->broken) {
      error_ = open_ ? "line broken" : "not open";
      return -1;
    }
    line_->queue[1 - side_].insert(line_->queue[1 - side_].end(), data, data + n);
  }
  line_->cv.notify_all();
  return static_cast<long>(n);
}

long MemoryTransport::read(uint8_t* buf, size_t cap, int timeout_ms) {
  std::unique_lock<std::mutex> lock(line_->mu);
  auto& q = line_->queue[side_];
  line_->cv.wait_for(lock, std::chrono::milliseconds(std::max(timeout_ms, 0)),
                     [&] { return !q.empty() || !open_ || line_->broken; });
  if (!open_ || line_->broken) {
    error_ = open_ ? "line broken" : "not open";
    return -1;
  }
  const size_t n = std::min(cap, q.size());
  std::copy_n(q.begin(), n, buf);
  q.erase(q.begin(), q.begin() + static_cast<long>(n));
  return static_cast<long>(n);
}

void MemoryTransport::set_open_fails(bool fails) {
  std::lock_guard<std::mutex> lock(line_->mu);
  open_fails_ = fails;
}

void MemoryTransport::break_line() {
  {
    std::lock_guard<std::mutex> lock(line_->mu);
    line_->broken = true;
  }
  line_->cv.notify_all();
}

int MemoryTransport::open_calls() const {
  std::lock_guard<std::mutex> lock(line_->mu);
  return open_calls_;
}

size_t MemoryTransport::pending() const {
  std::lock_guard<std::mutex> lock(line_->mu);
  return line_->queue[side_].size();
}

}  // namespace qmx::wire
