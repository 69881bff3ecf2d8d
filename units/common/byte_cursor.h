#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace k417t {

// Bounds-checked reader over one slice of a response's information field.
// Every read checks the bytes left first; a refused read leaves the cursor
// where it was, marks it failed and remembers how far the read would have
// gone (for the "read overflow {} - {}" messages). A negative or zero length,
// or a null pointer, gives a cursor with nothing to read.
class ByteCursor {
 public:
  ByteCursor(const unsigned char* data, int length)
      : data_(data), size_(data != nullptr && length > 0 ? length : 0) {}

  int pos() const { return pos_; }
  int left() const { return size_ - pos_; }
  bool failed() const { return failed_; }
  // After a refused read: the position the read would have reached.
  long wanted() const { return wanted_; }
  const unsigned char* here() const { return data_ + pos_; }

  bool has(long n) const { return n >= 0 && n <= left(); }

  bool u8(uint8_t& out) {
    if (!take(1)) return false;
    out = data_[pos_ - 1];
    return true;
  }
  // Copies n bytes to dst (memcpy: dst may be a packed, misaligned field).
  bool copy(void* dst, long n) {
    if (!take(n)) return false;
    if (n > 0) std::memcpy(dst, data_ + pos_ - n, static_cast<size_t>(n));
    return true;
  }
  // Four raw bytes of an IEEE-754 float, least significant byte first.
  bool raw4(unsigned char out[4]) { return copy(out, 4); }
  bool skip(long n) { return take(n); }

 private:
  bool take(long n) {
    if (failed_) return false;
    if (!has(n)) {
      failed_ = true;
      wanted_ = static_cast<long>(pos_) + (n < 0 ? 0 : n);
      return false;
    }
    pos_ += static_cast<int>(n);
    return true;
  }

  const unsigned char* data_;
  int size_;
  int pos_ = 0;
  bool failed_ = false;
  long wanted_ = 0;
};

// Float bytes b0..b3 (as sent) with b0 != 0 and all four equal: the device's
// "no value" marker.
inline bool IsInvalidFloatBytes(const unsigned char b[4]) {
  return b[0] != 0 && b[0] == b[1] && b[1] == b[2] && b[2] == b[3];
}

// -0.1f, stored where a user value or a phase current was reported invalid.
inline void StoreInvalidMarker(unsigned char out[4]) {
  const uint32_t bits = 0xBDCCCCCDu;
  out[0] = static_cast<unsigned char>(bits & 0xFF);
  out[1] = static_cast<unsigned char>((bits >> 8) & 0xFF);
  out[2] = static_cast<unsigned char>((bits >> 16) & 0xFF);
  out[3] = static_cast<unsigned char>(bits >> 24);
}

// Reads a little-endian float field out of a packed record.
inline float LoadF32(const void* field) {
  float v;
  std::memcpy(&v, field, sizeof v);
  return v;
}

inline void StoreU32(void* field, uint32_t v) {
  unsigned char b[4] = {static_cast<unsigned char>(v & 0xFF), static_cast<unsigned char>((v >> 8) & 0xFF),
                        static_cast<unsigned char>((v >> 16) & 0xFF), static_cast<unsigned char>(v >> 24)};
  std::memcpy(field, b, 4);
}

}  // namespace k417t
