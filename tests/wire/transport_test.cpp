#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "wire/memory_transport.h"
#include "wire/serial_transport.h"

namespace qmx::wire {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(MemoryTransport, CarriesBytesBothWaysAndTimesOut) {
  auto [a, b] = MemoryTransport::make_pair();
  const Bytes hello = {'~', '2', '1', '\r'};
  ASSERT_EQ(a->write(hello.data(), hello.size()), 4);
  uint8_t buf[16];
  EXPECT_EQ(b->read(buf, 2, 0), 2);  // reads at most the capacity
  EXPECT_EQ(b->read(buf + 2, sizeof buf - 2, 0), 2);
  EXPECT_EQ(Bytes(buf, buf + 4), hello);
  EXPECT_EQ(b->read(buf, sizeof buf, 10), 0);  // nothing more: time-out
  ASSERT_EQ(b->write(hello.data(), 1), 1);
  EXPECT_EQ(a->read(buf, sizeof buf, 0), 1);
  EXPECT_EQ(a->fd(), -1);
}

TEST(MemoryTransport, BrokenLineFailsUntilReopened) {
  auto [a, b] = MemoryTransport::make_pair();
  a->break_line();
  uint8_t buf[4] = {1, 2, 3, 4};
  EXPECT_EQ(a->read(buf, 4, 0), -1);
  EXPECT_EQ(b->write(buf, 4), -1);
  a->close();
  a->set_open_fails(true);
  EXPECT_FALSE(a->open());
  EXPECT_FALSE(a->is_open());
  a->set_open_fails(false);
  EXPECT_TRUE(a->open());
  EXPECT_EQ(b->write(buf, 4), 4);
  EXPECT_EQ(a->read(buf, 4, 0), 4);
  EXPECT_EQ(a->open_calls(), 2);
}

// A pseudo-terminal stands in for a serial port: the test holds the master,
// SerialTransport opens the slave as it would open /dev/ttyUSB0.
struct Pty {
  int master = -1;
  std::string slave;
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128];
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
        ptsname_r(master, name, sizeof name) == 0) {
      slave = name;
    }
  }
  ~Pty() {
    if (master >= 0) close(master);
  }
};

TEST(SerialTransport, RawLineOverPseudoTerminalAndHangUpIsAnError) {
  Pty pty;
  ASSERT_FALSE(pty.slave.empty());
  SerialTransport line(pty.slave, 9600);
  ASSERT_TRUE(line.open()) << line.last_error();
  EXPECT_GE(line.fd(), 0);
  // Raw mode: CR and '~' pass untouched, nothing is echoed.
  const std::string frame = "~20024642E00202FD33\r";
  ASSERT_EQ(::write(pty.master, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  std::string got;
  uint8_t buf[64];
  for (int i = 0; i < 50 && got.size() < frame.size(); ++i) {
    const long n = line.read(buf, sizeof buf, 20);
    ASSERT_GE(n, 0);
    got.append(buf, buf + n);
  }
  EXPECT_EQ(got, frame);
  const Bytes answer = {'~', '0', '\r'};
  ASSERT_EQ(line.write(answer.data(), answer.size()), 3);
  char echo[8];
  EXPECT_EQ(::read(pty.master, echo, sizeof echo), 3);
  EXPECT_EQ(line.read(buf, sizeof buf, 0), 0) << "no echo of our own bytes";

  ::close(pty.master);  // the adapter goes away
  pty.master = -1;
  EXPECT_EQ(line.read(buf, sizeof buf, 100), -1);
  EXPECT_FALSE(line.last_error().empty());
}

TEST(SerialTransport, OpenFailuresSayWhy) {
  SerialTransport missing("/dev/no-such-tty-k417t", 9600);
  EXPECT_FALSE(missing.open());
  EXPECT_NE(missing.last_error().find("/dev/no-such-tty-k417t"), std::string::npos);
  EXPECT_EQ(missing.fd(), -1);
  uint8_t b = 0;
  EXPECT_EQ(missing.read(&b, 1, 0), -1);
  SerialTransport odd("/dev/null", 9601);
  EXPECT_FALSE(odd.open());
  EXPECT_EQ(odd.last_error(), "unsupported baud rate 9601");
}

}  // namespace
}  // namespace qmx::wire
