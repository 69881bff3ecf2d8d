// Header code every device inherits and the host operations it relies on.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "support/test_host.h"

using k417t_test::TestHost;

namespace {

// The smallest concrete device: everything else is the host's default.
class PlainDevice : public QMXSPDevice {
 public:
  using QMXSPDevice::LoadFromCache;
  bool LoadFromCache(const unsigned char* data, int length) override {
    seen_data = data;
    seen_length = length;
    return length == 3;
  }
  const unsigned char* seen_data = nullptr;
  int seen_length = -1;
};

class PlainProtocol : public PMBusProtocol {
 public:
  using PMBusProtocol::LoadFromCache;
  bool LoadFromCache(const unsigned char*, int) override { return true; }
};

// Keeps what each handler saw in recv_frame.
class RoutedProtocol : public PlainProtocol {
 public:
  int process_payload() override { return Keep(payloads, 1); }
  int process_error() override { return Keep(errors, 2); }
  std::vector<k417t_test::Bytes> payloads, errors;

 private:
  int Keep(std::vector<k417t_test::Bytes>& into, int result) {
    const size_t info = (recv_frame[4] | (recv_frame[5] << 8)) / 2;
    into.emplace_back(recv_frame, recv_frame + 6 + info);
    return result;
  }
};

}  // namespace

TEST(HostDefaults, DefaultGetValueIsNotReadyForEveryKey) {
  PlainDevice dev;
  for (const char* key : {"", "v", "ia", "channel_0_a"}) {
    try {
      dev.Get_Value(0, key);
      FAIL() << "no exception for " << key;
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ("数据未就绪", e.what());
    }
  }
}

TEST(HostDefaults, StringCacheFormForwardsBytesAndSize) {
  PlainDevice dev;
  EXPECT_FALSE(dev.LoadFromCache(std::string()));
  EXPECT_EQ(0, dev.seen_length);
  const std::string image("a\0c", 3);
  EXPECT_TRUE(dev.LoadFromCache(image));
  EXPECT_EQ(3, dev.seen_length);
  EXPECT_EQ(reinterpret_cast<const unsigned char*>(image.data()), dev.seen_data);
}

TEST(HostDefaults, InterfaceIoControlIsMinusTwoAndChildLookupsEmpty) {
  PlainDevice dev;
  int out_len = 7;
  int out = 5;
  EXPECT_EQ(-2, dev.VDeviceInterface::DeviceIoControl(100, nullptr, 0, &out, 4, out_len));
  EXPECT_EQ(7, out_len);
  EXPECT_EQ(5, out);
  EXPECT_EQ(nullptr, dev.GetChildVDevice(0));
  EXPECT_TRUE(dev.GetAllChildVDevices().empty());
  EXPECT_FALSE(dev.UseControllerDb());
}

TEST(HostLog, DeviceWithoutControllerLogsNothingAndDoesNotFail) {
  PlainDevice dev;
  unsigned id = 1;
  dev.InfoLog("PMBusPower:ProcotolError {} x {}", id, 2);
  TestHost host;
  {
    auto gone = std::make_shared<QMXController>(host.services);
    dev.Init(gone, 1);
  }
  dev.InfoLog("PMBusPower:ProcotolError {} x {}", id, 2);  // controller expired
  EXPECT_TRUE(host.services->logs().empty());
}

TEST(HostLog, ChildLogsReachTheParentsControllerFormatted) {
  TestHost host;
  PlainDevice parent, child;
  parent.Init(host.controller, 100);
  Json::Value setting;
  ASSERT_TRUE(child.InitV(&parent, 11, setting));
  EXPECT_EQ(11u, child.DataId());
  const unsigned id = child.DataId();
  const unsigned char n = 3;
  child.InfoLog("PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", id, n, 0);
  // printf markers and a placeholder without an argument must not throw
  child.InfoLog("ProcotolError %u read 40_43 m is %d max %d", id, n, 0);
  child.InfoLog("broken {} {}", id);
  auto logs = host.services->logs();
  ASSERT_EQ(3u, logs.size());
  EXPECT_EQ("PMBusPowerAC:ProcotolError 11 read 40_41 p is 3 not 0", logs[0]);
  EXPECT_EQ("ProcotolError %u read 40_43 m is %d max %d", logs[1]);
  EXPECT_EQ("broken {} {}", logs[2]);
}

TEST(HostThreshold, PointKeepsAllSevenArgumentsAndQueuesARule) {
  TestHost host;
  PlainDevice dev;
  dev.Init(host.controller, 42);
  dev.CheckThresholdBool(3, "DC_0", "06008", "输出电压过低告警", "text", true, 1);
  ASSERT_EQ(1u, dev.pending_rules.size());
  const rule_value r = host.services->points().at(0);
  EXPECT_EQ(1, r.condition);
  EXPECT_EQ("DC_0", r.key);
  EXPECT_EQ("06008", r.code);
  EXPECT_EQ(3u, r.level);
  EXPECT_EQ(1u, r.seq);
  EXPECT_EQ("输出电压过低告警", r.name);
  EXPECT_EQ("text", r.text);
  EXPECT_EQ(42u, r.data_id);
}

TEST(HostThreshold, WithoutHostAJobRunsAtOnce) {
  PlainDevice dev;
  bool ran = false;
  dev.CheckThresholdWork([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_FALSE(dev.SendSP(5093, reinterpret_cast<const unsigned char*>("x"), 1, false));
}

TEST(HostTime, SevenByteLocalTimeYearLowByteFirst) {
  using namespace boost::posix_time;
  const ptime t(boost::gregorian::date(2026, 12, 8), hours(14) + minutes(5) + seconds(33));
  const qmx_ttime b = get_ttime(t);
  const qmx_ttime want{0xEA, 0x07, 12, 8, 14, 5, 33};  // 2026 = 0x07EA
  EXPECT_EQ(want, b);
}

TEST(HostProtocol, SettingMustBeAnObjectWithSaneLineValues) {
  TestHost host;
  PlainProtocol p;
  p.Init(host.controller, 1);
  EXPECT_FALSE(p.InitSetting(Json::Value(3)));
  EXPECT_FALSE(p.InitSetting(Json::Value(Json::arrayValue)));
  Json::Value s(Json::objectValue);
  s["address"] = 300;
  EXPECT_FALSE(p.InitSetting(s));
  s["address"] = 7;
  s["port"] = "/dev/ttyS1";
  EXPECT_TRUE(p.InitSetting(s));
  EXPECT_EQ(7, p.address);
  EXPECT_EQ("/dev/ttyS1", p.port);
  EXPECT_EQ(3u, host.services->logs().size());  // one line per refusal
}

// The line hands over a decoded answer; the device keeps its own copy and
// routes it by the return code, and refuses a copy that contradicts itself.
TEST(HostProtocol, AnswerIsKeptAndRoutedByItsReturnCode) {
  using k417t_test::Bytes;
  using k417t_test::DecodedFrame;
  TestHost host;
  RoutedProtocol p;
  p.Init(host.controller, 1);

  Bytes ok = DecodedFrame(0x40, 0x00, {'K', '4', 0x00});
  EXPECT_EQ(1, p.process(ok.data(), static_cast<int>(ok.size())));
  ok.assign(ok.size(), 0xEE);  // the line's buffer is reused at once
  ASSERT_EQ(1u, p.payloads.size());
  EXPECT_EQ(DecodedFrame(0x40, 0x00, {'K', '4', 0x00}), p.payloads[0]);
  EXPECT_EQ(0x00, p.recv_frame[3]);

  for (uint8_t rtn : {0x01, 0x04, 0xE0}) {
    const Bytes bad = DecodedFrame(0x41, rtn, {});
    EXPECT_EQ(2, p.process(bad.data(), static_cast<int>(bad.size())));
  }
  ASSERT_EQ(3u, p.errors.size());
  EXPECT_EQ(0xE0, p.errors[2][3]);
  EXPECT_EQ(1u, p.payloads.size());

  // A LENID that claims more (or fewer, or half) bytes than came, and copies
  // shorter than the header, reach no handler.
  Bytes longer = DecodedFrame(0x40, 0x00, {1, 2});
  longer[4] = 6;
  Bytes shorter = DecodedFrame(0x40, 0x00, {1, 2});
  shorter[4] = 2;
  Bytes odd = DecodedFrame(0x40, 0x00, {1, 2});
  odd[4] = 5;
  for (const Bytes& b : {longer, shorter, odd})
    EXPECT_EQ(0, p.process(b.data(), static_cast<int>(b.size())));
  EXPECT_EQ(0, p.process(ok.data(), 5));
  EXPECT_EQ(0, p.process(nullptr, 6));
  EXPECT_EQ(1u, p.payloads.size());
  EXPECT_EQ(3u, p.errors.size());
  EXPECT_EQ(3u, host.services->logs().size());
}
