#pragma once

// ASCII-hex frames of the power-system line: encoder and streaming decoder.
// The frame layout is drawn at the top of frame_codec.cpp.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qmx::wire {

inline constexpr uint8_t kSoi = 0x7E;  // '~'
inline constexpr uint8_t kEoi = 0x0D;  // CR
// LENID has 12 bits and counts hex characters, so at most 4094 / 2 bytes.
inline constexpr size_t kMaxInfoBytes = 2047;
// Decoded copy: VER, ADR, CID1, CID2|RTN, LENID low, LENID high, then information.
inline constexpr size_t kDecodedHeaderBytes = 6;
// '~' + 12 header chars + 4 checksum chars + CR.
inline constexpr size_t kFrameOverheadChars = 18;

// Return codes carried in the CID2 place of an answer.
enum Rtn : uint8_t {
  kRtnNormal = 0x00,
  kRtnVerError = 0x01,
  kRtnChksumError = 0x02,
  kRtnLchksumError = 0x03,
  kRtnInvalidCid2 = 0x04,
  kRtnFormatError = 0x05,
  kRtnInvalidData = 0x06,
};

// 4-bit check of the 12-bit LENID: (~(n2 + n1 + n0) + 1) & 0xF.
uint8_t length_checksum(uint16_t lenid);
// 16-bit check over the ASCII characters between SOI and CHKSUM.
uint16_t frame_checksum(const uint8_t* ascii, size_t n);

// Builds the ASCII frame, SOI to EOI. Returns an empty vector when info_len
// exceeds kMaxInfoBytes (nothing can carry it).
std::vector<uint8_t> encode_frame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2_or_rtn,
                                  const uint8_t* info, size_t info_len);
inline std::vector<uint8_t> encode_frame(uint8_t ver, uint8_t adr, uint8_t cid1,
                                         uint8_t cid2_or_rtn, const std::vector<uint8_t>& info) {
  return encode_frame(ver, adr, cid1, cid2_or_rtn, info.data(), info.size());
}

enum class RejectReason : uint8_t {
  kNonHex,       // a character other than 0-9, A-F, a-f inside a frame
  kOddLength,    // LENID odd: the information field cannot be whole bytes
  kBadLchksum,   // LENGTH's check nibble does not match LENID
  kTooLong,      // LENID above the decoder's limit; refused before buffering
  kBadChksum,    // CHKSUM does not match the characters received
  kMissingEoi,   // something other than CR after CHKSUM
  kInterrupted,  // a new '~' arrived before the frame was complete
};
inline constexpr size_t kRejectReasonCount = 7;
const char* to_string(RejectReason reason);

// What the decoder knew about a frame it refused. The header fields are set
// once the 12 header characters were read (header_known).
struct Rejection {
  RejectReason reason = RejectReason::kNonHex;
  bool header_known = false;
  uint8_t ver = 0, adr = 0, cid1 = 0, cid2 = 0;
  std::string detail;  // expected versus received
};

// Byte-at-a-time receiver. It waits for '~', reads the header, checks LENGTH
// and knows from it how many characters are still to come; a frame longer than
// the limit is refused at its header, and the buffer is sized once from the
// limit, never from LENID.
class FrameDecoder {
 public:
  enum class Status { kNeedMore, kFrame, kRejected };
  using FrameSink = std::function<void(const uint8_t* frame, size_t len)>;
  using RejectSink = std::function<void(const Rejection&)>;

  explicit FrameDecoder(size_t max_info_bytes = kMaxInfoBytes);

  // One received byte. kFrame: frame()/frame_size() hold the decoded copy until
  // the next push. kRejected: last_rejection() says why.
  Status push(uint8_t c);
  // Any chunk of received bytes; calls on_frame for every valid frame and
  // on_reject (if given) for every refused one. Returns the valid frames.
  size_t feed(const uint8_t* data, size_t n, const FrameSink& on_frame,
              const RejectSink& on_reject = nullptr);
  // Drops a partly received frame without counting it.
  void reset();

  const uint8_t* frame() const { return buf_.data(); }
  size_t frame_size() const { return frame_size_; }
  const Rejection& last_rejection() const { return rejection_; }
  bool in_frame() const { return state_ != State::kIdle; }
  size_t max_info_bytes() const { return max_info_; }

  uint64_t frames() const { return frames_; }
  uint64_t rejected(RejectReason reason) const { return rejected_[static_cast<size_t>(reason)]; }
  uint64_t rejected_total() const;
  // Bytes outside any frame (line noise between frames).
  uint64_t skipped_bytes() const { return skipped_; }

 private:
  enum class State { kIdle, kHeader, kInfo, kChecksum, kEoi };

  void start_frame();
  Status reject(RejectReason reason, std::string detail);
  Status header_done();

  size_t max_info_;
  std::vector<uint8_t> buf_;
  State state_ = State::kIdle;
  size_t frame_size_ = 0;
  size_t chars_ = 0;       // characters read in the current field
  size_t info_chars_ = 0;  // LENID of the current frame
  uint8_t high_nibble_ = 0;
  uint16_t length_word_ = 0;
  uint16_t chksum_rx_ = 0;
  uint32_t sum_ = 0;  // ASCII sum from VER up to CHKSUM
  bool header_known_ = false;
  Rejection rejection_;
  uint64_t frames_ = 0;
  uint64_t skipped_ = 0;
  std::array<uint64_t, kRejectReasonCount> rejected_{};
};

}  // namespace qmx::wire
