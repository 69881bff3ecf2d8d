#include "wire/frame_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qmx::wire {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Feeds text to a decoder and keeps every decoded frame.
struct Collector {
  FrameDecoder decoder;
  std::vector<Bytes> frames;
  explicit Collector(size_t max_info = kMaxInfoBytes) : decoder(max_info) {}
  void Feed(const Bytes& b) {
    decoder.feed(b.data(), b.size(),
                 [&](const uint8_t* f, size_t n) { frames.emplace_back(f, f + n); });
  }
  void Feed(const std::string& s) { Feed(Ascii(s)); }
};

TEST(FrameCodec, CheckValueDecodesToHeaderAndInfo) {
  Collector c;
  c.Feed("~20024642E00202FD33\r");
  ASSERT_EQ(c.frames.size(), 1u);
  // VER, ADR, CID1, CID2, LENID low, LENID high, one information byte.
  EXPECT_EQ(c.frames[0], (Bytes{0x20, 0x02, 0x46, 0x42, 0x02, 0x00, 0x02}));
  EXPECT_EQ(c.decoder.rejected_total(), 0u);
}

TEST(FrameCodec, EncoderMatchesHandComputedFrames) {
  EXPECT_EQ(encode_frame(0x20, 0x02, 0x46, 0x42, Bytes{0x02}), Ascii("~20024642E00202FD33\r"));
  // 0x40/0x41 with the command group byte: LENID 2, LCHKSUM E.
  EXPECT_EQ(encode_frame(0x21, 0x01, 0x40, 0x41, Bytes{0xFF}), Ascii("~21014041E002FFFD10\r"));
  // No information field: LENGTH 0000.
  EXPECT_EQ(encode_frame(0x21, 0x01, 0x40, 0x51, Bytes{}), Ascii("~210140510000FDB2\r"));
}

TEST(FrameCodec, LengthChecksumCoversTheThreeNibbles) {
  EXPECT_EQ(length_checksum(0x000), 0x0);
  EXPECT_EQ(length_checksum(0x002), 0xE);
  EXPECT_EQ(length_checksum(0x028), 0x6);  // 0+2+8 = 10
  EXPECT_EQ(length_checksum(0xFFE), 0x4);  // 15+15+14 = 44 = 0x2C
}

TEST(FrameCodec, LargestFrameRoundTripsAndOneByteMoreIsRefused) {
  Bytes info(kMaxInfoBytes);
  for (size_t i = 0; i < info.size(); ++i) info[i] = static_cast<uint8_t>(i * 7);
  Collector c;
  c.Feed(encode_frame(0x21, 1, 0x42, 0x00, info));
  ASSERT_EQ(c.frames.size(), 1u);
  EXPECT_EQ(c.frames[0][4] | c.frames[0][5] << 8, 4094);
  EXPECT_EQ(Bytes(c.frames[0].begin() + 6, c.frames[0].end()), info);
  info.push_back(0);
  EXPECT_TRUE(encode_frame(0x21, 1, 0x42, 0x00, info).empty());
}

TEST(FrameCodec, EveryCorruptionIsRefusedAndCountedByReason) {
  const std::string good = "~20024642E00202FD33\r";
  struct Case {
    std::string text;
    RejectReason reason;
  };
  const std::vector<Case> cases = {
      {"~20024642E0020GFD33\r", RejectReason::kNonHex},
      {"~20024642F00202FD33\r", RejectReason::kBadLchksum},
      {"~20024642F00102FD33\r", RejectReason::kOddLength},  // LENID 1, LCHKSUM F
      {"~20024642E00202FD34\r", RejectReason::kBadChksum},
      {"~20024642E00203FD33\r", RejectReason::kBadChksum},  // information byte changed
      {"~20024642E00202FD33X", RejectReason::kMissingEoi},
      {"~20024642E002", RejectReason::kInterrupted},  // cut short by the next frame
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.text);
    Collector c;
    c.Feed(k.text + good);
    EXPECT_EQ(c.decoder.rejected(k.reason), 1u);
    EXPECT_EQ(c.decoder.rejected_total(), 1u);
    EXPECT_EQ(c.decoder.last_rejection().reason, k.reason);
    ASSERT_EQ(c.frames.size(), 1u) << "the following good frame is still decoded";
    EXPECT_EQ(c.frames[0].size(), 7u);
  }
}

TEST(FrameCodec, RejectionKeepsTheHeaderForAnErrorAnswer) {
  FrameDecoder d;
  std::vector<Rejection> seen;
  const Bytes bad = Ascii("~21014041E002FFFD11\r");
  d.feed(bad.data(), bad.size(), nullptr, [&](const Rejection& r) { seen.push_back(r); });
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].reason, RejectReason::kBadChksum);
  EXPECT_TRUE(seen[0].header_known);
  EXPECT_EQ(seen[0].adr, 0x01);
  EXPECT_EQ(seen[0].cid1, 0x40);
  EXPECT_EQ(seen[0].detail, "CHKSUM: expected FD10, received FD11");
}

TEST(FrameCodec, OverLongFrameIsRefusedAtItsHeaderAndSkipped) {
  Collector c(4);  // at most 4 information bytes
  Bytes five = encode_frame(0x21, 1, 0x42, 0x00, Bytes{1, 2, 3, 4, 5});
  // Even an endless body is never buffered: the header already refused it.
  Bytes stream = five;
  stream.insert(stream.end() - 6, 5000, 'A');
  c.Feed(stream);
  c.Feed(encode_frame(0x21, 1, 0x42, 0x00, Bytes{1, 2, 3, 4}));
  EXPECT_EQ(c.decoder.rejected(RejectReason::kTooLong), 1u);
  EXPECT_EQ(c.decoder.rejected_total(), 1u);
  ASSERT_EQ(c.frames.size(), 1u);
  EXPECT_EQ(c.frames[0].size(), 10u);
}

TEST(FrameCodec, GarbageBetweenFramesIsSkipped) {
  Collector c;
  c.Feed("\r\nNOISE 12 34\r" + std::string("~20024642E00202FD33\r") + "xyz\r\n" +
         "~20024642E00202FD33\r");
  EXPECT_EQ(c.frames.size(), 2u);
  EXPECT_EQ(c.decoder.rejected_total(), 0u);
  EXPECT_EQ(c.decoder.skipped_bytes(), 19u);
}

TEST(FrameCodec, AnyChunkingGivesTheSameFrames) {
  Bytes stream = Ascii("junk");
  for (uint8_t n = 0; n < 3; ++n) {
    Bytes info(n * 5u, static_cast<uint8_t>(0xA0 + n));
    Bytes f = encode_frame(0x21, 1, 0x41, n, info);
    stream.insert(stream.end(), f.begin(), f.end());
  }
  Collector whole;
  whole.Feed(stream);
  ASSERT_EQ(whole.frames.size(), 3u);
  for (size_t chunk = 1; chunk <= stream.size(); ++chunk) {
    Collector c;
    for (size_t at = 0; at < stream.size(); at += chunk) {
      c.Feed(Bytes(stream.begin() + at, stream.begin() + std::min(stream.size(), at + chunk)));
    }
    EXPECT_EQ(c.frames, whole.frames) << "chunk " << chunk;
  }
}

TEST(FrameCodec, LowerCaseHexIsAcceptedWithItsOwnChecksum) {
  // Same frame with the information byte written "ff": CHKSUM sums the codes sent.
  Bytes text = Ascii("~21014041E002ff");
  const uint16_t sum = frame_checksum(text.data() + 1, text.size() - 1);
  char tail[8];
  std::snprintf(tail, sizeof tail, "%04X\r", sum);
  Collector c;
  c.Feed("~21014041E002ff" + std::string(tail));
  ASSERT_EQ(c.frames.size(), 1u);
  EXPECT_EQ(c.frames[0][6], 0xFF);
}

}  // namespace
}  // namespace qmx::wire
