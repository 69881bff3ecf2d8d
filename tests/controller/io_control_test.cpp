// Rectifier control commands through DeviceIoControl and their answers.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstring>

#include "controller/k417t.h"
#include "support/test_host.h"

using namespace k417t_test;

extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

class IoControl : public ::testing::Test {
 protected:
  void SetUp() override {
    ctrl->Init(host.controller, 500);
    Json::Value s(Json::objectValue);
    s["rcSetting"] = Json::Value(Json::objectValue);
    ASSERT_TRUE(ctrl->InitSetting(s));
  }

  int Control(int code, const unsigned char* in, int in_len, int out_cap, int& out, int& out_len) {
    return ctrl->DeviceIoControl(code, in, in_len, &out, out_cap, out_len);
  }

  int Query() {
    int out = -99, out_len = -99;
    EXPECT_EQ(0, Control(1, nullptr, 0, 4, out, out_len));
    EXPECT_EQ(4, out_len);
    return out;
  }

  int Deliver(uint8_t rtn, bool as_error) {
    const Bytes f = DecodedFrame(0x41, rtn, {});
    frame.reset(new unsigned char[f.size()]);
    std::memcpy(frame.get(), f.data(), f.size());
    ctrl->recv_frame = frame.get();
    return as_error ? ctrl->process_error() : ctrl->process_payload();
  }

  TestHost host;
  std::shared_ptr<K417T> ctrl = std::make_shared<K417T>();
  std::unique_ptr<unsigned char[]> frame;
};

}  // namespace

TEST_F(IoControl, EachCommandSendsItsTwoBytes) {
  const std::pair<int, unsigned char> codes[] = {{100, 0x10}, {102, 0x1F}, {104, 0x11},
                                                {106, 0x20}, {108, 0x2F}, {110, 0xE4},
                                                {112, 0xE5}, {114, 0xE6}, {116, 0xE7}};
  const unsigned char in = 0x03;
  for (const auto& c : codes) {
    int out = 0, out_len = 0;
    EXPECT_EQ(0, Control(c.first, &in, 1, 4, out, out_len));
    EXPECT_EQ(1, out);
    EXPECT_EQ(4, out_len);
    EXPECT_EQ(c.first, ctrl->cmd_step);
    auto r = host.services->requests().back();
    EXPECT_EQ(0x41, r.cid1);
    EXPECT_EQ(0x45, r.cid2);
    EXPECT_EQ(0x21, r.ver);
    const Bytes want{c.second, static_cast<unsigned char>(c.first >= 106 ? 0x03 : 0x00)};
    EXPECT_EQ(want, r.info) << c.first;
  }
  EXPECT_EQ(9, host.services->port_opens());
}

TEST_F(IoControl, QueryReportsPendingThenTheAnswer) {
  EXPECT_EQ(-1, Query());  // never used
  int out = 0, out_len = 0;
  Control(100, nullptr, 0, 4, out, out_len);
  EXPECT_EQ(-1, Query());  // pending
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, Deliver(0, false));
  EXPECT_EQ("drova:process_payload:0\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ(0, Query());
  EXPECT_EQ(0, Query());  // reading does not change it
  Control(104, nullptr, 0, 4, out, out_len);
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, Deliver(4, true));
  EXPECT_EQ("K417T:process_error:4\n", testing::internal::GetCapturedStdout());
  testing::internal::CaptureStdout();
  EXPECT_EQ(4, Query());
  EXPECT_EQ("drova cmd_result:4\n", testing::internal::GetCapturedStdout());
  for (int code : {101, 0, 200, -5}) {
    int o = 0, ol = 0;
    EXPECT_EQ(0, Control(code, nullptr, 0, 4, o, ol));
    EXPECT_EQ(4, o);
  }
}

TEST_F(IoControl, SmallOutputOrMissingInputByte) {
  int out = 77, out_len = 77;
  EXPECT_EQ(0, Control(3, nullptr, 0, 3, out, out_len));
  EXPECT_EQ(77, out);
  EXPECT_EQ(0, out_len);
  EXPECT_EQ(0, ctrl->DeviceIoControl(2, nullptr, 0, nullptr, 4, out_len));  // no buffer at all
  EXPECT_EQ(0, out_len);
  const size_t sent = host.services->requests().size();
  ctrl->cmd_result = 5;
  for (int len : {0, -1}) {
    unsigned char in = 1;
    out_len = 9;
    EXPECT_EQ(0, Control(106, len == 0 ? nullptr : &in, len, 4, out, out_len));
    EXPECT_EQ(0, out_len);
  }
  EXPECT_EQ(sent, host.services->requests().size());
  EXPECT_EQ(-1, ctrl->cmd_result);  // no earlier answer passed off as this command's
  EXPECT_EQ(0, Control(3, nullptr, 0, 4, out, out_len));
  EXPECT_EQ(-1, out);
  EXPECT_EQ(0, ctrl->cmd_step);
}

TEST_F(IoControl, ControlAnswerTouchesNoUnitAndPollingResumes) {
  ctrl->check_model = 0;
  int out = 0, out_len = 0;
  Control(104, nullptr, 0, 4, out, out_len);
  EXPECT_EQ(0, Deliver(0, false));
  EXPECT_EQ(0, ctrl->cmd_result);
  EXPECT_EQ(104, ctrl->cmd_step);
  // the host gives the line back: a fresh round starts at step 0 (no AC units: 41/41)
  EXPECT_EQ(1, ctrl->RefreshStatus());
  EXPECT_EQ(4, ctrl->cmd_step);
  EXPECT_EQ(0x41, host.services->requests().back().cid1);
  EXPECT_EQ(0x41, host.services->requests().back().cid2);
  // a command that was never answered also gives the line back; -1 stays
  Control(100, nullptr, 0, 4, out, out_len);
  EXPECT_EQ(1, ctrl->RefreshStatus());
  EXPECT_EQ(-1, ctrl->cmd_result);
  EXPECT_EQ(4, ctrl->cmd_step);
  // polling answers are not taken as control answers
  EXPECT_EQ(0, ctrl->process_error());
  EXPECT_EQ(-1, ctrl->cmd_result);
}
