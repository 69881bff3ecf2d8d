#include "sim/pty_server.h"

#include <gtest/gtest.h>

#include <chrono>

#include "sim_test_util.h"
#include "wire/serial_transport.h"

namespace k417t::sim::test {
namespace {

using Clock = std::chrono::steady_clock;

struct Client {
  qmx::wire::SerialTransport line;
  qmx::wire::FrameDecoder decoder;
  int reads = 0;
  explicit Client(const std::string& path) : line(path, 9600) {}

  // Sends a request and waits up to 3 s for one answer frame.
  Bytes Exchange(const Bytes& request) {
    EXPECT_EQ(line.write(request.data(), request.size()), static_cast<long>(request.size()));
    Bytes frame;
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    uint8_t buf[256];
    while (frame.empty() && Clock::now() < deadline) {
      const long n = line.read(buf, sizeof buf, 50);
      if (n <= 0) continue;
      ++reads;
      decoder.feed(buf, static_cast<size_t>(n),
                   [&](const uint8_t* f, size_t len) { frame.assign(f, f + len); });
    }
    return frame;
  }
};

std::unique_ptr<PtyServer> Serve(const std::string& json, ServerOptions options = {}) {
  auto server = std::make_unique<PtyServer>(Make(json), std::move(options));
  EXPECT_FALSE(server->Start().empty()) << server->error();
  return server;
}

TEST(PtyServer, AnswersOverThePseudoTerminal) {
  auto server = Serve(R"({"dc": [{"v": 53.5}]})");
  Client client(server->Start());  // a second Start returns the same path
  ASSERT_TRUE(client.line.open()) << client.line.last_error();
  const Bytes model = client.Exchange(Request(0x40, 0x51));
  ASSERT_EQ(model.size(), 28u);  // 20 bytes of model text, then version 1.20
  EXPECT_EQ(Bytes(model.begin() + 6, model.begin() + 11), (Bytes{'K', '4', '1', '7', 'T'}));
  EXPECT_EQ(Bytes(model.begin() + 26, model.end()), (Bytes{1, 20}));
  const Bytes dc = client.Exchange(Request(0x42, 0x41, {0xFF}));
  ASSERT_GE(dc.size(), 12u);
  EXPECT_EQ(Bytes(dc.begin() + 8, dc.begin() + 12), (Bytes{0x00, 0x00, 0x56, 0x42}));
  server->Stop();
  server->Stop();
  EXPECT_EQ(server->stats().requests, 2u);
}

TEST(PtyServer, ByteByByteWithGarbageStillDecodes) {
  auto server =
      Serve(R"({"faults": {"byte_by_byte": true, "byte_gap_ms": 2, "garbage": "xx\r\n"}})");
  Client client(server->Start());
  ASSERT_TRUE(client.line.open());
  const Bytes model = client.Exchange(Request(0x40, 0x51));
  EXPECT_EQ(model.size(), 28u);
  EXPECT_GT(client.reads, 5) << "the answer trickled in";
  EXPECT_EQ(client.decoder.skipped_bytes(), 4u);
  EXPECT_EQ(client.decoder.rejected_total(), 0u);
}

TEST(PtyServer, PacingFollowsTheBaudRate) {
  ServerOptions options;
  options.baud = 9600;  // 960 bytes/s
  auto server = Serve("{}", options);
  Client client(server->Start());
  ASSERT_TRUE(client.line.open());
  const auto t0 = Clock::now();
  const Bytes model = client.Exchange(Request(0x40, 0x51));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  EXPECT_EQ(model.size(), 28u);
  // 18 request bytes and 62 answer bytes: 80 bytes take 83 ms on the wire.
  EXPECT_GE(ms, 79);
  EXPECT_LT(ms, 1000);
}

TEST(PtyServer, StopDoesNotWaitForALateAnswer) {
  auto server = Serve(R"({"faults": {"delay_ms": 10000}})");
  Client client(server->Start());
  ASSERT_TRUE(client.line.open());
  const Bytes request = Request(0x40, 0x51);
  client.line.write(request.data(), request.size());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto t0 = Clock::now();
  server->Stop();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
  EXPECT_EQ(server->stats().answers, 1u);
}

}  // namespace
}  // namespace k417t::sim::test
