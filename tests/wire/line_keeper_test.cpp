#include "wire/line_keeper.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <string>
#include <vector>

#include "wire/memory_transport.h"

namespace qmx::wire {
namespace {

using std::chrono::milliseconds;

// A keeper over one end of a memory line, with a clock that only moves when
// the test (or the keeper's sleep) moves it.
struct KeeperFixture : ::testing::Test {
  std::chrono::steady_clock::time_point now{};
  std::vector<std::string> logs;
  std::vector<milliseconds> sleeps;
  MemoryTransport* line = nullptr;
  std::unique_ptr<MemoryTransport> peer;
  std::unique_ptr<LineKeeper> keeper;

  void SetUp() override {
    auto pair = MemoryTransport::make_pair("ttyUSB0");
    line = pair.first.get();
    peer = std::move(pair.second);
    keeper = std::make_unique<LineKeeper>(
        std::move(pair.first), [this](const std::string& s) { logs.push_back(s); },
        LineKeeper::Backoff{}, [this] { return now; },
        [this](milliseconds d) {
          sleeps.push_back(d);
          now += d;
        });
  }
  void Advance(milliseconds d) { now += d; }
};

TEST_F(KeeperFixture, RetriesWithDoublingBackoffAndLogsOnlyGoingAndComingBack) {
  line->close();
  line->set_open_fails(true);
  EXPECT_FALSE(keeper->ensure_open());  // first attempt at once
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_NE(logs[0].find("cannot open (no such device)"), std::string::npos);

  // Attempts follow after 0.5, 1, 2, 4, 8, 16, 30, 30 s.
  const int expected_gaps_ms[] = {500, 1000, 2000, 4000, 8000, 16000, 30000, 30000};
  for (int gap : expected_gaps_ms) {
    const int before = line->open_calls();
    Advance(milliseconds(gap - 1));
    EXPECT_FALSE(keeper->ensure_open());
    EXPECT_EQ(line->open_calls(), before) << "too early before a " << gap << " ms gap";
    EXPECT_EQ(keeper->retry_in_ms(), 1);
    Advance(milliseconds(1));
    EXPECT_FALSE(keeper->ensure_open());
    EXPECT_EQ(line->open_calls(), before + 1);
  }
  EXPECT_EQ(logs.size(), 1u) << "failed retries are silent";

  line->set_open_fails(false);
  Advance(milliseconds(30000));
  EXPECT_TRUE(keeper->ensure_open());
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[1], "ttyUSB0:a: line is back");
  EXPECT_EQ(keeper->next_delay(), milliseconds(500)) << "back-off starts afresh";
}

TEST_F(KeeperFixture, ReadErrorTakesTheLineDownAndItComesBack) {
  uint8_t buf[8];
  line->break_line();  // adapter unplugged
  EXPECT_EQ(keeper->read(buf, sizeof buf, 0), -1);
  EXPECT_FALSE(keeper->is_open());
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0], "ttyUSB0:a: line lost (line broken); reopening");

  // While down, a read waits (no spinning) until the retry is due, then reopens.
  const uint8_t msg[] = {'~', '\r'};
  EXPECT_EQ(peer->write(msg, 2), -1) << "peer sees the broken line too";
  EXPECT_EQ(keeper->read(buf, sizeof buf, 100), 0);
  EXPECT_EQ(sleeps.back(), milliseconds(100));
  EXPECT_EQ(keeper->read(buf, sizeof buf, 450), 0);
  EXPECT_EQ(sleeps.back(), milliseconds(400)) << "only until the retry";
  EXPECT_TRUE(keeper->is_open());
  EXPECT_EQ(peer->write(msg, 2), 2);
  EXPECT_EQ(keeper->read(buf, sizeof buf, 0), 2);
  EXPECT_EQ(logs.size(), 2u);
}

TEST_F(KeeperFixture, PollHangUpOrWriteErrorMarksTheLineLost) {
  keeper->on_poll_events(POLLIN | POLLHUP);  // data first: read() decides
  EXPECT_TRUE(keeper->is_open());
  keeper->on_poll_events(POLLHUP);
  EXPECT_FALSE(keeper->is_open());
  EXPECT_EQ(logs.back(), "ttyUSB0:a: line lost (hang-up); reopening");
  const uint8_t b = 0x7E;
  EXPECT_EQ(keeper->write(&b, 1), -1) << "not due for a retry yet";
  Advance(milliseconds(500));
  EXPECT_EQ(keeper->write(&b, 1), 1);
  line->break_line();
  EXPECT_EQ(keeper->write(&b, 1), -1);
  EXPECT_FALSE(keeper->is_open());
  EXPECT_EQ(logs.size(), 3u);
}

}  // namespace
}  // namespace qmx::wire
