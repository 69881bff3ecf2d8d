// A line session over an in-memory line, with the test playing the power
// system and holding the clock: exchanges, time-outs, late and echoed frames,
// several controllers on one bus, control commands.
#include "line/line_session.h"

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <thread>

#include "controller/k417t.h"
#include "support/power_system.h"
#include "support/recording_services.h"
#include "support/test_host.h"
#include "wire/frame_codec.h"

extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

using namespace std::chrono_literals;
using k417t_test::PowerSystem;
using qmx::line::LineSession;

// Host services of one controller: the line calls go to the session, the rest
// is recorded.
class SessionServices : public qmx::RecordingServices {
 public:
  LineSession* line = nullptr;
  PMBusProtocol* ctrl = nullptr;
  bool Publish(QMXVDevice& dev, int type, const unsigned char* data, int len, bool flag,
               bool changed) override {
    line->Published(*ctrl);
    return RecordingServices::Publish(dev, type, data, len, flag, changed);
  }
  int RefreshStatus(QMXSPDevice&) override { return line->RefreshStatus(*ctrl); }
  void Reset(QMXSPDevice&) override { line->Reset(*ctrl); }
  bool OpenPort(QMXSPDevice&) override { return line->OpenPort(); }
  bool SendRequest(PMBusProtocol& dev, uint8_t cid1, uint8_t cid2, const unsigned char* info,
                   int len) override {
    return line->Send(dev, cid1, cid2, info, len);
  }
};

struct Bus {
  LineSession::TimePoint now = std::chrono::steady_clock::time_point() + 1h;
  std::vector<std::string> log;
  std::unique_ptr<LineSession> line;
  std::unique_ptr<PowerSystem> power;
  qmx::wire::MemoryTransport* port = nullptr;  // the line's end, owned by the line
  struct Ctrl {
    std::shared_ptr<SessionServices> services = std::make_shared<SessionServices>();
    std::shared_ptr<QMXController> host = std::make_shared<QMXController>(services);
    std::shared_ptr<K417T> k = std::make_shared<K417T>();
  };
  std::vector<Ctrl> ctrls;

  // Controllers at `addresses` (50 ms answer time-out); the power system
  // answers at `answering`.
  Bus(std::vector<int> addresses, std::vector<int> answering) {
    auto pair = qmx::wire::MemoryTransport::make_pair("bus");
    port = pair.first.get();
    line = std::make_unique<LineSession>(
        std::move(pair.first), LineSession::Options{},
        [this](const std::string&, const std::string& l) { log.push_back(l); },
        [this] { return now; }, [](std::chrono::milliseconds) {});
    power = std::make_unique<PowerSystem>(std::move(pair.second), answering);
    ctrls.resize(addresses.size());
    for (size_t i = 0; i < addresses.size(); ++i) {
      Ctrl& c = ctrls[i];
      c.services->line = line.get();
      c.services->ctrl = c.k.get();
      c.services->run_jobs_inline = true;
      c.k->Init(c.host, 100 * static_cast<unsigned>(i + 1));
      EXPECT_TRUE(c.k->InitSetting(k417t_test::SmallSetting(addresses[i], 50, c.k->DataId())));
      EXPECT_TRUE(line->Add(c.k));
    }
  }

  // One pass of the line with the power system answering in between.
  void Pass() {
    line->Service();
    power->Answer();
    line->Receive(0);
  }
  uint64_t Rounds(size_t i) const { return line->rounds(*ctrls[i].k); }
};

// The address of a request frame as sent ("~21" ADR ...).
int AddressOf(const std::string& frame) {
  return frame.size() < 5 ? -1 : std::stoi(frame.substr(3, 2), nullptr, 16);
}

}  // namespace

TEST(LineSession, OneControllerCompletesItsRoundAndTimesIt) {
  Bus bus({1}, {1});
  testing::internal::CaptureStdout();
  for (int i = 0; i < 30 && bus.Rounds(0) == 0; ++i) bus.Pass();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(1u, bus.Rounds(0));
  EXPECT_EQ(1, bus.ctrls[0].k->data_valid);
  const auto s = bus.line->stats();
  EXPECT_EQ(s.requests, s.answers);
  EXPECT_EQ(0u, s.timeouts + s.late + s.echoes + s.dropped);
  EXPECT_TRUE(bus.line->answering(*bus.ctrls[0].k));
}

TEST(LineSession, TimeOutCountsFromTheLastByteAndALateAnswerIsDropped) {
  Bus bus({1}, {1});
  bus.line->Service();  // the model query goes out
  const std::string request = bus.power->Read();
  ASSERT_NE(std::string::npos, request.find("4051"));
  // Half the answer, 40 ms after the request; 40 ms later the exchange is
  // still alive because bytes came 40 ms ago.
  auto outs = bus.power->controllers[0]->Feed(reinterpret_cast<const uint8_t*>(request.data()),
                                              request.size());
  ASSERT_EQ(1u, outs.size());
  const auto& answer = outs[0].bytes;
  const size_t half = answer.size() / 2;
  bus.now += 40ms;
  bus.power->end->write(answer.data(), half);
  bus.line->Receive(0);
  bus.now += 40ms;
  bus.line->Service();
  EXPECT_EQ(0u, bus.line->stats().timeouts);
  EXPECT_TRUE(bus.power->Read().empty()) << "a request went out while an answer was arriving";
  // Silence for the whole time-out: the exchange ends; the rest is late.
  bus.now += 51ms;
  bus.line->Service();
  EXPECT_EQ(1u, bus.line->stats().timeouts);
  bus.power->end->write(answer.data() + half, answer.size() - half);
  bus.line->Receive(0);
  EXPECT_EQ(1u, bus.line->stats().late);
  EXPECT_EQ(1, bus.ctrls[0].k->check_model);  // not taken as the answer
}

TEST(LineSession, ThreeMissedAnswersInARowMakeTheNextRoundFetchEverything) {
  Bus bus({1}, {1});
  testing::internal::CaptureStdout();
  for (int i = 0; i < 30 && bus.Rounds(0) == 0; ++i) bus.Pass();
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(1, bus.ctrls[0].k->data_valid);
  bus.power->silent = true;
  for (int missed = 0; missed < 3; ++missed) {
    // the controller waits 2 s (its own clock) between rounds
    bus.ctrls[0].k->last_update -= boost::posix_time::seconds(3);
    bus.now += 150ms;  // the line's next poll of it is due
    bus.Pass();
    bus.now += 60ms;
    bus.line->Service();
  }
  EXPECT_EQ(3u, bus.line->stats().timeouts);
  EXPECT_EQ(0, bus.ctrls[0].k->data_valid);
  EXPECT_FALSE(bus.line->answering(*bus.ctrls[0].k));
}

// An adapter pulled out: no request goes out, so none is missed, but after
// the time three missed answers take the controller is lost all the same
// (once), its values stale; the first round after the port is back ends it.
TEST(LineSession, PortThatGoesAwayLosesItsControllersUntilARoundCompletes) {
  Bus bus({1}, {1});
  std::vector<std::pair<bool, int>> links;
  bus.line->SetLinkSink([&](PMBusProtocol&, bool answering, int missed) {
    links.push_back({answering, missed});
  });
  testing::internal::CaptureStdout();
  for (int i = 0; i < 30 && bus.Rounds(0) == 0; ++i) bus.Pass();
  ASSERT_EQ(1u, bus.Rounds(0));
  bus.port->close();
  bus.port->set_open_fails(true);
  bus.line->Service();  // the port is gone from now
  bus.now += 149ms;     // three answer time-outs of 50 ms not yet over
  bus.line->Service();
  EXPECT_TRUE(links.empty());
  bus.now += 2ms;
  for (int i = 0; i < 3; ++i) bus.line->Service();
  ASSERT_EQ((std::vector<std::pair<bool, int>>{{false, 0}}), links);
  EXPECT_EQ(0, bus.ctrls[0].k->data_valid);
  EXPECT_FALSE(bus.line->answering(*bus.ctrls[0].k));
  EXPECT_EQ(0u, bus.line->stats().timeouts);

  bus.port->set_open_fails(false);
  for (int i = 0; i < 60 && bus.Rounds(0) < 2; ++i) {
    bus.ctrls[0].k->last_update -= boost::posix_time::seconds(3);
    bus.now += 200ms;
    bus.Pass();
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(2u, bus.Rounds(0));
  ASSERT_EQ(2u, links.size());
  EXPECT_TRUE(links[1].first);
  EXPECT_TRUE(bus.line->answering(*bus.ctrls[0].k));
}

// A port that never opens: the same, counted from the first try.
TEST(LineSession, PortThatNeverOpensLosesItsControllerAfterThreeAnswerTimes) {
  Bus bus({1}, {1});
  int lost = 0;
  bus.line->SetLinkSink([&](PMBusProtocol&, bool answering, int) { lost += answering ? 0 : 1; });
  bus.port->close();
  bus.port->set_open_fails(true);
  EXPECT_FALSE(bus.line->tried());
  bus.line->Service();
  EXPECT_TRUE(bus.line->tried());
  EXPECT_EQ(0, lost);
  bus.now += 151ms;
  bus.line->Service();
  bus.now += 10s;
  bus.line->Service();
  EXPECT_EQ(1, lost);
}

TEST(LineSession, EchoOfTheRequestIsDroppedAndTheRealAnswerTaken) {
  Bus bus({1}, {1});
  bus.power->echo = true;
  testing::internal::CaptureStdout();
  for (int i = 0; i < 30 && bus.Rounds(0) == 0; ++i) bus.Pass();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(1u, bus.Rounds(0));
  const auto s = bus.line->stats();
  EXPECT_EQ(s.requests, s.echoes);
  EXPECT_EQ(s.requests, s.answers);
  EXPECT_EQ(0u, s.late + s.dropped);
}

TEST(LineSession, TwoControllersOnOneBusTakeTurnsAndBothCompleteTheirRounds) {
  Bus bus({1, 2}, {1, 2});
  std::vector<int> order;
  testing::internal::CaptureStdout();
  for (int i = 0; i < 60 && (bus.Rounds(0) == 0 || bus.Rounds(1) == 0); ++i) {
    bus.line->Service();
    const std::string sent = bus.power->Answer();
    // one request at a time: never a second before the first was answered
    ASSERT_LE(std::count(sent.begin(), sent.end(), '\r'), 1) << sent;
    if (!sent.empty()) order.push_back(AddressOf(sent));
    bus.line->Receive(0);
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(1u, bus.Rounds(0));
  EXPECT_EQ(1u, bus.Rounds(1));
  ASSERT_GE(order.size(), 4u);
  // exchange by exchange while both have something to ask
  EXPECT_EQ((std::vector<int>{1, 2, 1, 2}), std::vector<int>(order.begin(), order.begin() + 4));
  EXPECT_EQ(0u, bus.line->stats().timeouts + bus.line->stats().late);
}

TEST(LineSession, SilentControllerOnTheBusCostsTheOtherOnlyItsOwnTimeOuts) {
  Bus bus({1, 2}, {1});  // nobody answers at address 2
  testing::internal::CaptureStdout();
  int passes = 0;
  for (; passes < 80 && bus.Rounds(0) == 0; ++passes) {
    bus.line->Service();
    // once nothing is asked, the silent controller's exchange runs out
    if (bus.power->Answer().empty()) bus.now += 51ms;
    bus.line->Receive(0);
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(1u, bus.Rounds(0));
  EXPECT_EQ(0u, bus.Rounds(1));
  // Each of controller 1's exchanges waited for at most one time-out of 2.
  const auto s = bus.line->stats();
  EXPECT_LE(s.timeouts, s.answers + 1);
}

TEST(LineSession, StrayBytesCutAndOverlongFramesAreDroppedAndTheLineGoesOn) {
  Bus bus({1}, {1});
  const std::string noise = "\r\n\x01zz~2001~" + std::string(5000, 'A') + "\r~20017F";
  bus.power->end->write(reinterpret_cast<const uint8_t*>(noise.data()), noise.size());
  for (int i = 0; i < 3; ++i) bus.line->Receive(0);  // a bounded amount per pass
  EXPECT_EQ(4u, bus.line->stats().dropped);          // stray run, cut frame, over-long, stray tail
  testing::internal::CaptureStdout();
  for (int i = 0; i < 30 && bus.Rounds(0) == 0; ++i) bus.Pass();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(1u, bus.Rounds(0));
}

TEST(LineSession, FrameFromAnAddressNobodyHasIsDropped) {
  Bus bus({1}, {1});
  bus.line->Service();
  bus.power->Read();
  const auto f = qmx::wire::encode_frame(0x21, 0x07, 0x40, 0x00, std::vector<uint8_t>(20, ' '));
  bus.power->end->write(f.data(), f.size());
  bus.line->Receive(0);
  EXPECT_EQ(1u, bus.line->stats().dropped);
  EXPECT_EQ(1, bus.ctrls[0].k->check_model);
}

TEST(LineSession, ControlWaitsForTheExchangeOnTheLineThenGoesFirst) {
  Bus bus({1}, {1});
  bus.line->Service();  // model query in flight
  const std::string query = bus.power->Read();
  auto ticket = bus.line->SubmitControl(*bus.ctrls[0].k, 100, {});
  bus.line->Service();
  EXPECT_TRUE(bus.power->Read().empty()) << "sent while an exchange was on the line";
  for (const auto& out : bus.power->controllers[0]->Feed(
           reinterpret_cast<const uint8_t*>(query.data()), query.size()))
    bus.power->end->write(out.bytes.data(), out.bytes.size());
  testing::internal::CaptureStdout();
  bus.line->Receive(0);  // answer taken; the command goes right after it
  const std::string command = bus.power->Answer();
  EXPECT_NE(std::string::npos, command.find("4145")) << command;
  EXPECT_EQ(1, std::count(command.begin(), command.end(), '\r'));
  bus.line->Receive(0);
  testing::internal::GetCapturedStdout();
  const auto r = ticket->Wait(0ms);
  EXPECT_EQ(0, r.result) << r.reason;
}

TEST(LineSession, ControlWithoutAnAnswerOrOnADownLineEndsWithMinusOne) {
  Bus bus({1}, {1});
  bus.power->silent = true;
  auto ticket = bus.line->SubmitControl(*bus.ctrls[0].k, 102, {});
  testing::internal::CaptureStdout();
  bus.line->Service();
  EXPECT_FALSE(ticket->Done());
  bus.now += 51ms;
  bus.line->Service();
  testing::internal::GetCapturedStdout();
  auto r = ticket->Wait(0ms);
  EXPECT_EQ(-1, r.result);
  EXPECT_NE(std::string::npos, r.reason.find("no answer")) << r.reason;

  // a command whose code needs an input byte and got none sends nothing
  r = bus.line->SubmitControl(*bus.ctrls[0].k, 106, {})->Wait(0ms);
  EXPECT_EQ(-1, r.result);  // withdrawn: the line did not run
  auto needs_byte = bus.line->SubmitControl(*bus.ctrls[0].k, 106, {});
  bus.now += 51ms;  // the poll that followed the command runs out
  bus.line->Service();
  EXPECT_EQ(-1, needs_byte->Wait(0ms).result);
  EXPECT_NE(std::string::npos, needs_byte->Wait(0ms).reason.find("sent nothing"));
}

TEST(LineSession, PortThatCannotOpenFailsControlAtOnce) {
  auto pair = qmx::wire::MemoryTransport::make_pair("gone");
  pair.first->close();
  pair.first->set_open_fails(true);
  std::vector<std::string> log;
  LineSession line(std::move(pair.first), {},
                   [&log](const std::string&, const std::string& l) { log.push_back(l); });
  auto services = std::make_shared<SessionServices>();
  auto host = std::make_shared<QMXController>(services);
  auto k = std::make_shared<K417T>();
  services->line = &line;
  services->ctrl = k.get();
  k->Init(host, 100);
  ASSERT_TRUE(k->InitSetting(k417t_test::SmallSetting(1, 50, 100)));
  ASSERT_TRUE(line.Add(k));
  line.Service();
  EXPECT_FALSE(line.is_open());
  const auto r = line.SubmitControl(*k, 100, {})->Wait(0ms);
  EXPECT_EQ(-1, r.result);
  EXPECT_NE(std::string::npos, r.reason.find("down")) << r.reason;
  EXPECT_FALSE(log.empty());
}

TEST(LineSession, RequestMadeOnAnotherThreadIsSentByTheLine) {
  Bus bus({1}, {1});
  std::thread other([&] {
    int out = 0, len = 0;
    testing::internal::CaptureStdout();
    bus.ctrls[0].k->DeviceIoControl(104, nullptr, 0, &out, 4, len);
    testing::internal::GetCapturedStdout();
  });
  other.join();
  EXPECT_TRUE(bus.power->Read().empty());  // nothing written off the line's thread
  bus.line->Service();
  EXPECT_NE(std::string::npos, bus.power->Read().find("4145"));
}

TEST(LineSession, SecondControllerAtATakenAddressIsRefused) {
  Bus bus({1}, {1});
  auto k = std::make_shared<K417T>();
  k->address = 1;
  EXPECT_FALSE(bus.line->Add(k));
}

// ---- frames cut and checked once, then routed ----

namespace {

// A protocol layer that asks what the test tells it to and keeps every answer
// its handlers get.
class Probe : public PMBusProtocol {
 public:
  int process_payload() override { return Keep(payloads); }
  int process_error() override { return Keep(errors); }
  bool LoadFromCache(const unsigned char*, int) override { return true; }
  std::vector<std::vector<uint8_t>> payloads, errors;

 private:
  int Keep(std::vector<std::vector<uint8_t>>& into) {
    const size_t info = (recv_frame[4] | (recv_frame[5] << 8)) / 2;
    into.emplace_back(recv_frame, recv_frame + 6 + info);
    return 0;
  }
};

struct ProbeLine {
  LineSession::TimePoint now = std::chrono::steady_clock::time_point() + 1h;
  std::vector<std::string> log;
  std::unique_ptr<LineSession> line;
  std::unique_ptr<qmx::wire::MemoryTransport> device;  // the controller's end
  std::shared_ptr<SessionServices> services = std::make_shared<SessionServices>();
  std::shared_ptr<QMXController> host = std::make_shared<QMXController>(services);
  std::shared_ptr<Probe> probe = std::make_shared<Probe>();
  struct Answer {
    uint8_t cid1, cid2;
    std::vector<uint8_t> frame;
  };
  std::vector<Answer> answers;  // what the answer sink saw

  ProbeLine() {
    auto pair = qmx::wire::MemoryTransport::make_pair("probe");
    line = std::make_unique<LineSession>(
        std::move(pair.first), LineSession::Options{},
        [this](const std::string&, const std::string& l) { log.push_back(l); },
        [this] { return now; }, [](std::chrono::milliseconds) {});
    device = std::move(pair.second);
    line->SetAnswerSink(
        [this](PMBusProtocol& ctrl, uint8_t cid1, uint8_t cid2, const uint8_t* f, size_t n) {
          EXPECT_EQ(probe.get(), &ctrl);
          answers.push_back({cid1, cid2, std::vector<uint8_t>(f, f + n)});
        });
    services->line = line.get();
    services->ctrl = probe.get();
    probe->Init(host, 100);
    probe->protocol_ver = 0x21;
    probe->response_timeout_ms = 50;
    EXPECT_TRUE(line->Add(probe));
  }
  // The probe asks; the line sends it.
  void Ask(uint8_t cid1, uint8_t cid2) {
    ASSERT_TRUE(probe->write_pmbus_cmd(cid1, cid2));
    line->Service();
    uint8_t buf[256];
    ASSERT_GT(device->read(buf, sizeof buf, 0), 0);
  }
  void Write(const std::string& bytes) {
    device->write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    line->Receive(0);
  }
  void Write(const std::vector<uint8_t>& bytes) { Write(std::string(bytes.begin(), bytes.end())); }
  bool Logged(const std::string& part) const {
    for (const auto& l : log)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
};

}  // namespace

TEST(LineSessionFrames, EachAnswerReachesOneHandlerOnceByItsReturnCode) {
  ProbeLine p;
  p.Ask(0x40, 0x51);
  // In two pieces with noise before: cut out once, whole.
  const auto model = qmx::wire::encode_frame(0x21, 0x01, 0x40, 0x00, {'K', '4', 0x00, 0x14});
  const std::string first(model.begin(), model.begin() + 9);
  p.Write("\r\n" + first);
  EXPECT_TRUE(p.probe->payloads.empty());
  p.Write(std::vector<uint8_t>(model.begin() + 9, model.end()));
  ASSERT_EQ(1u, p.probe->payloads.size());
  EXPECT_EQ(k417t_test::DecodedFrame(0x40, 0x00, {'K', '4', 0x00, 0x14}), p.probe->payloads[0]);

  p.Ask(0x41, 0x44);
  p.Write(qmx::wire::encode_frame(0x21, 0x01, 0x41, 0x04, {}));
  ASSERT_EQ(1u, p.probe->errors.size());
  EXPECT_EQ(k417t_test::DecodedFrame(0x41, 0x04, {}), p.probe->errors[0]);
  EXPECT_EQ(1u, p.probe->payloads.size());

  // The answer sink saw each answer with the request it answers.
  ASSERT_EQ(2u, p.answers.size());
  EXPECT_EQ(0x40, p.answers[0].cid1);
  EXPECT_EQ(0x51, p.answers[0].cid2);
  EXPECT_EQ(p.probe->payloads[0], p.answers[0].frame);
  EXPECT_EQ(0x41, p.answers[1].cid1);
  EXPECT_EQ(0x44, p.answers[1].cid2);

  const auto s = p.line->stats();
  EXPECT_EQ(2u, s.requests);
  EXPECT_EQ(2u, s.answers);
  EXPECT_EQ(1u, s.dropped);  // the noise
  EXPECT_FALSE(p.line->busy());
}

TEST(LineSessionFrames, CorruptAnswerIsDroppedOnceAndTheExchangeWaitsForAGoodOne) {
  ProbeLine p;
  p.Ask(0x40, 0x51);
  const auto good = qmx::wire::encode_frame(0x21, 0x01, 0x40, 0x00, {1, 2, 3});
  const std::string text(good.begin(), good.end());
  std::string checksum = text, lchksum = text, nonhex = text, no_cr = text;
  checksum[text.size() - 2] = checksum[text.size() - 2] == '0' ? '1' : '0';
  lchksum[9] = lchksum[9] == '0' ? '1' : '0';
  nonhex[14] = 'x';
  no_cr.back() = '\n';
  uint64_t dropped = 0;
  for (const std::string& bad : {checksum, lchksum, nonhex, no_cr}) {
    p.Write(bad);
    p.now += 40ms;  // each within the time-out of the bytes before
    p.line->Service();
    EXPECT_EQ(++dropped, p.line->stats().dropped) << bad;  // the frame with its rest, once
  }
  EXPECT_TRUE(p.probe->payloads.empty() && p.probe->errors.empty());
  EXPECT_TRUE(p.answers.empty());
  EXPECT_EQ(0u, p.line->stats().answers);
  EXPECT_EQ(0u, p.line->stats().timeouts);
  EXPECT_TRUE(p.Logged("frame from device 100 dropped: wrong CHKSUM"));
  EXPECT_TRUE(p.Logged("wrong LCHKSUM"));
  EXPECT_TRUE(p.Logged("non-hex character"));

  p.Write(text);
  EXPECT_EQ(1u, p.probe->payloads.size());
  EXPECT_EQ(1u, p.line->stats().answers);
  EXPECT_EQ(dropped, p.line->stats().dropped);
}
