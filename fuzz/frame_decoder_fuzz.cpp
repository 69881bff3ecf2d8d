// The streaming frame decoder, fed one stream in arbitrary chunks: it must
// never read or write outside its buffer, and it must find the same frames
// and refusals however the stream is cut.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "wire/frame_codec.h"

using qmx::wire::FrameDecoder;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const size_t max_info = fdp.ConsumeBool() ? qmx::wire::kMaxInfoBytes
                                            : fdp.ConsumeIntegralInRange<size_t>(0, 64);
  const std::vector<uint8_t> cuts = fdp.ConsumeBytes<uint8_t>(16);
  const std::vector<uint8_t> stream = fdp.ConsumeRemainingBytes<uint8_t>();

  std::vector<std::vector<uint8_t>> whole_frames;
  size_t whole_rejects = 0;
  FrameDecoder whole(max_info);
  whole.feed(
      stream.data(), stream.size(),
      [&](const uint8_t* f, size_t n) { whole_frames.emplace_back(f, f + n); },
      [&](const qmx::wire::Rejection&) { ++whole_rejects; });

  std::vector<std::vector<uint8_t>> chunked_frames;
  size_t chunked_rejects = 0;
  FrameDecoder chunked(max_info);
  size_t pos = 0, k = 0;
  while (pos < stream.size()) {
    size_t n = cuts.empty() ? 1 : 1 + cuts[k++ % cuts.size()] % 97;
    if (n > stream.size() - pos) n = stream.size() - pos;
    // A copy of exactly the chunk: ASan sees a read past it.
    std::vector<uint8_t> chunk(stream.begin() + pos, stream.begin() + pos + n);
    chunked.feed(
        chunk.data(), chunk.size(),
        [&](const uint8_t* f, size_t len) { chunked_frames.emplace_back(f, f + len); },
        [&](const qmx::wire::Rejection&) { ++chunked_rejects; });
    pos += n;
  }
  if (whole_frames != chunked_frames || whole_rejects != chunked_rejects) std::abort();

  // Every frame found decodes to what encoding it again gives back.
  for (const auto& f : whole_frames) {
    if (f.size() < 6) std::abort();
    const size_t info = f.size() - 6;
    if (info > max_info) std::abort();
    const std::vector<uint8_t> again =
        qmx::wire::encode_frame(f[0], f[1], f[2], f[3], f.data() + 6, info);
    FrameDecoder d(max_info);
    size_t found = 0;
    d.feed(again.data(), again.size(), [&](const uint8_t* g, size_t n) {
      if (n != f.size() || !std::equal(g, g + n, f.begin())) std::abort();
      ++found;
    });
    if (found != 1) std::abort();
  }
  return 0;
}
