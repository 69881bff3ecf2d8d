// Frame codec of the power-system line.
//
//   +-----+-----+-----+------+----------+---------+------------+--------+-----+
//   | SOI | VER | ADR | CID1 | CID2|RTN |  LENGTH |    INFO    | CHKSUM | EOI |
//   | '~' |  2  |  2  |  2   |    2     |    4    |  LENID chr |   4    | CR  |
//   +-----+-----+-----+------+----------+---------+------------+--------+-----+
//          \____________________ checksummed characters _____/
//
//   LENGTH = LCHKSUM (top nibble) | LENID (low 12 bits)
//            LENID   = number of INFO characters (2 per information byte)
//            LCHKSUM = (~(n2 + n1 + n0) + 1) & 0xF over LENID's nibbles
//   CHKSUM = (~(sum of the ASCII codes from VER to the last INFO char) + 1) & 0xFFFF
//
// Every byte travels as two upper-case hex characters, high nibble first;
// LENGTH and CHKSUM are written most significant nibble first. Example, a valid
// frame: ~20024642E00202FD33<CR> (VER 20, ADR 02, CID1 46, CID2 42, LENID 2,
// one information byte 02).
//
// The decoded copy handed to the protocol layer keeps LENID low byte first:
//   [0] VER  [1] ADR  [2] CID1  [3] CID2|RTN  [4] LENID & 0xFF  [5] LENID >> 8
//   [6 ...]  information bytes
#include "wire/frame_codec.h"

#include <algorithm>
#include <cstdio>

namespace qmx::wire {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr size_t kHeaderChars = 12;  // VER ADR CID1 CID2 LENGTH
constexpr size_t kChecksumChars = 4;

int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void put_byte(std::vector<uint8_t>& out, uint8_t b) {
  out.push_back(kHex[b >> 4]);
  out.push_back(kHex[b & 0xF]);
}

void put_word(std::vector<uint8_t>& out, uint16_t w) {
  put_byte(out, static_cast<uint8_t>(w >> 8));
  put_byte(out, static_cast<uint8_t>(w & 0xFF));
}

std::string expected_vs(const char* what, unsigned expected, unsigned received) {
  char text[96];
  std::snprintf(text, sizeof text, "%s: expected %X, received %X", what, expected, received);
  return text;
}

}  // namespace

uint8_t length_checksum(uint16_t lenid) {
  const unsigned sum = ((lenid >> 8) & 0xF) + ((lenid >> 4) & 0xF) + (lenid & 0xF);
  return static_cast<uint8_t>((~sum + 1) & 0xF);
}

uint16_t frame_checksum(const uint8_t* ascii, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += ascii[i];
  return static_cast<uint16_t>((~sum + 1) & 0xFFFF);
}

std::vector<uint8_t> encode_frame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2_or_rtn,
                                  const uint8_t* info, size_t info_len) {
  std::vector<uint8_t> out;
  if (info_len > kMaxInfoBytes || (info_len > 0 && info == nullptr)) return out;
  out.reserve(kFrameOverheadChars + 2 * info_len);
  out.push_back(kSoi);
  put_byte(out, ver);
  put_byte(out, adr);
  put_byte(out, cid1);
  put_byte(out, cid2_or_rtn);
  const auto lenid = static_cast<uint16_t>(2 * info_len);
  put_word(out, static_cast<uint16_t>((length_checksum(lenid) << 12) | lenid));
  for (size_t i = 0; i < info_len; ++i) put_byte(out, info[i]);
  put_word(out, frame_checksum(out.data() + 1, out.size() - 1));
  out.push_back(kEoi);
  return out;
}

const char* to_string(RejectReason reason) {
  switch (reason) {
    case RejectReason::kNonHex:
      return "non-hex character";
    case RejectReason::kOddLength:
      return "odd LENID";
    case RejectReason::kBadLchksum:
      return "wrong LCHKSUM";
    case RejectReason::kTooLong:
      return "frame too long";
    case RejectReason::kBadChksum:
      return "wrong CHKSUM";
    case RejectReason::kMissingEoi:
      return "missing CR";
    case RejectReason::kInterrupted:
      return "frame interrupted by SOI";
  }
  return "unknown";
}

FrameDecoder::FrameDecoder(size_t max_info_bytes)
    : max_info_(std::min(max_info_bytes, kMaxInfoBytes)),
      buf_(kDecodedHeaderBytes + max_info_, 0) {}

uint64_t FrameDecoder::rejected_total() const {
  uint64_t total = 0;
  for (uint64_t n : rejected_) total += n;
  return total;
}

void FrameDecoder::reset() {
  state_ = State::kIdle;
  frame_size_ = 0;
}

void FrameDecoder::start_frame() {
  state_ = State::kHeader;
  frame_size_ = 0;
  chars_ = 0;
  info_chars_ = 0;
  length_word_ = 0;
  chksum_rx_ = 0;
  sum_ = 0;
  header_known_ = false;
}

FrameDecoder::Status FrameDecoder::reject(RejectReason reason, std::string detail) {
  rejection_.reason = reason;
  rejection_.header_known = header_known_;
  rejection_.ver = buf_[0];
  rejection_.adr = buf_[1];
  rejection_.cid1 = buf_[2];
  rejection_.cid2 = buf_[3];
  rejection_.detail = std::move(detail);
  ++rejected_[static_cast<size_t>(reason)];
  state_ = State::kIdle;
  frame_size_ = 0;
  return Status::kRejected;
}

FrameDecoder::Status FrameDecoder::header_done() {
  header_known_ = true;
  const uint16_t lenid = length_word_ & 0x0FFF;
  const uint8_t lchk = static_cast<uint8_t>(length_word_ >> 12);
  if (length_checksum(lenid) != lchk) {
    return reject(RejectReason::kBadLchksum, expected_vs("LCHKSUM", length_checksum(lenid), lchk));
  }
  if (lenid % 2 != 0) return reject(RejectReason::kOddLength, expected_vs("LENID even", 0, lenid));
  if (lenid / 2 > max_info_) {
    return reject(
        RejectReason::kTooLong,
        expected_vs("information bytes at most", static_cast<unsigned>(max_info_), lenid / 2u));
  }
  info_chars_ = lenid;
  buf_[4] = static_cast<uint8_t>(lenid & 0xFF);
  buf_[5] = static_cast<uint8_t>(lenid >> 8);
  chars_ = 0;
  state_ = lenid > 0 ? State::kInfo : State::kChecksum;
  return Status::kNeedMore;
}

FrameDecoder::Status FrameDecoder::push(uint8_t c) {
  if (state_ == State::kIdle) {
    frame_size_ = 0;
    if (c == kSoi) {
      start_frame();
    } else {
      ++skipped_;
    }
    return Status::kNeedMore;
  }
  if (c == kSoi) {
    // Resynchronise: the unfinished frame is lost, the new one starts here.
    Status s = reject(RejectReason::kInterrupted, "SOI inside a frame");
    start_frame();
    return s;
  }
  if (state_ == State::kEoi) {
    if (c != kEoi) return reject(RejectReason::kMissingEoi, expected_vs("EOI", kEoi, c));
    state_ = State::kIdle;
    frame_size_ = kDecodedHeaderBytes + info_chars_ / 2;
    ++frames_;
    return Status::kFrame;
  }
  const int v = hex_value(c);
  if (v < 0) return reject(RejectReason::kNonHex, expected_vs("hex character", '0', c));

  switch (state_) {
    case State::kHeader:
      sum_ += c;
      if (chars_ < 8) {
        if (chars_ % 2 == 0) {
          high_nibble_ = static_cast<uint8_t>(v);
        } else {
          buf_[chars_ / 2] = static_cast<uint8_t>((high_nibble_ << 4) | v);
        }
      } else {
        length_word_ = static_cast<uint16_t>((length_word_ << 4) | v);
      }
      if (++chars_ == kHeaderChars) return header_done();
      break;
    case State::kInfo:
      sum_ += c;
      if (chars_ % 2 == 0) {
        high_nibble_ = static_cast<uint8_t>(v);
      } else {
        buf_[kDecodedHeaderBytes + chars_ / 2] = static_cast<uint8_t>((high_nibble_ << 4) | v);
      }
      if (++chars_ == info_chars_) {
        chars_ = 0;
        state_ = State::kChecksum;
      }
      break;
    case State::kChecksum:
      chksum_rx_ = static_cast<uint16_t>((chksum_rx_ << 4) | v);
      if (++chars_ == kChecksumChars) {
        const auto expected = static_cast<uint16_t>((~sum_ + 1) & 0xFFFF);
        if (expected != chksum_rx_) {
          return reject(RejectReason::kBadChksum, expected_vs("CHKSUM", expected, chksum_rx_));
        }
        state_ = State::kEoi;
      }
      break;
    case State::kIdle:
    case State::kEoi:
      break;
  }
  return Status::kNeedMore;
}

size_t FrameDecoder::feed(const uint8_t* data, size_t n, const FrameSink& on_frame,
                          const RejectSink& on_reject) {
  size_t valid = 0;
  for (size_t i = 0; i < n; ++i) {
    switch (push(data[i])) {
      case Status::kFrame:
        ++valid;
        if (on_frame) on_frame(frame(), frame_size());
        break;
      case Status::kRejected:
        if (on_reject) on_reject(rejection_);
        break;
      case Status::kNeedMore:
        break;
    }
  }
  return valid;
}

}  // namespace qmx::wire
