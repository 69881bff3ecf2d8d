#include <gtest/gtest.h>

#include "tests/units/dc/dc_blocks.h"
#include "units/dc/k417t_dc.h"

using namespace dc_test;
using Logs = std::vector<std::string>;

namespace {

struct DcUnit : ::testing::Test {
  TestHost host;
  std::shared_ptr<K417TDC> unit = std::make_shared<K417TDC>("K417T");
  void SetUp() override { unit->Init(host.controller, 7); }
  int A(const Bytes& b) { return unit->parse42_41(b.data(), static_cast<int>(b.size())); }
  int S(const Bytes& b) { return unit->parse42_44(b.data(), static_cast<int>(b.size())); }
};

TEST_F(DcUnit, AnalogBlocks) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(A(Analog(2, 0, 27)), 127);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "parse 42 41: 0 0 56 42\n");
  EXPECT_EQ(A(Analog(0, 0, 0)), 11);
  const Bytes sent[] = {
      {0x20, 0x20, 0x20, 0x20}, {0xFF, 0xFF, 0xFF, 0xFF}, {0, 0, 0, 0}, {5, 5, 5, 4}};
  const uint32_t kept[] = {0xBDCCCCCDu, 0xBDCCCCCDu, 0u, 0x04050505u};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(A(Analog(0, 0, 1, sent[k])), 15);
    EXPECT_EQ(BitsOf(FloatAt(&unit->record.user_p[0])), kept[k]) << k;
  }
  EXPECT_EQ(A(Analog(3, 0, 1)), 27);  // m list stepped over, the rest parsed
  EXPECT_EQ(std::make_tuple(unit->record.dc_m, FloatAt(&unit->record.m_value[0])),
            std::make_tuple(3, 2.5f));
  EXPECT_EQ(A(Analog(0, 1, 0)), 15);
  EXPECT_EQ(unit->parse42_41(Analog(0, 0, 28).data(), 40), 40);  // rest of the field given up
  const std::string dc = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 read ";
  EXPECT_EQ(host.services->logs(), (Logs{dc + "dc_m is 3, MAX_M is 2", dc + "dc_n is 1, MAX_N is 0",
                                         dc + "p_count is 28, support user_p max is 27"}));
}

TEST_F(DcUnit, StateBlocks) {
  EXPECT_EQ(S(State(1, 10, 87)), 100);
  EXPECT_EQ(S(State(2, 12, 0, 3)), 15);  // 10 fuses kept, no log
  EXPECT_EQ(std::make_tuple(unit->record.alert_m, unit->record.alert_m_state[3]),
            std::make_tuple(12, 3));
  EXPECT_EQ(S(State(0, 9, 90)), 102);
  EXPECT_EQ(unit->record.ttime[0], 0);  // 87 states kept, nothing beyond
  EXPECT_EQ(
      host.services->logs(),
      (Logs{"PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 read 42_44 p is 90,  alert_p is 87"}));
}

// Every length from -1 to size + 2 over a heap copy of exactly that many bytes.
TEST_F(DcUnit, TruncatedBlocksNeverReadPastLength) {
  const Bytes blocks[] = {Analog(2, 0, 27), Analog(3, 1, 2), Analog(0, 0, 30), State(1, 10, 87),
                          State(1, 12, 90)};
  testing::internal::CaptureStdout();
  for (int b = 0; b < 5; ++b) {
    const int size = static_cast<int>(blocks[b].size());
    for (int len = -1; len <= size + 2; ++len) {
      std::unique_ptr<unsigned char[]> buf(new unsigned char[std::max(len, 0)]);
      std::copy_n(blocks[b].begin(), std::min(std::max(len, 0), size), buf.get());
      const int got = b < 3 ? unit->parse42_41(buf.get(), len) : unit->parse42_44(buf.get(), len);
      EXPECT_EQ(got, b == 2 ? (len >= 11 ? len : -1) : (len >= size ? size : -1))
          << b << " " << len;
    }
  }
  testing::internal::GetCapturedStdout();
  const Logs logs = host.services->logs();
  for (const char* line : {"PMBusPowerAC:ProcotolError 7 read 42_41 read overflow 127 - 126",
                           "PMBusPowerAC:ProcotolError 7 read 42_44 read overflow 100 - 99"})
    EXPECT_EQ(std::count(logs.begin(), logs.end(), line), 1) << line;
}

TEST_F(DcUnit, CacheImagesAndFreshness) {
  EXPECT_EQ(Refusal(*unit, "v"), "数据未就绪");
  for (int len : {0, 237, 239}) EXPECT_FALSE(unit->LoadFromCache(std::string(len, '\x11')));
  EXPECT_EQ(unit->data_valid, 0);
  EXPECT_TRUE(unit->LoadFromCache(std::string(238, '\x11')));
  EXPECT_EQ(unit->record.data_id, 0x11111111u);
  EXPECT_EQ(Refusal(*unit, "V") + Refusal(*unit, ""), "数据未就绪数据未就绪");
  unit->last_update -= boost::posix_time::seconds(60);
  EXPECT_EQ(BitsOf(unit->Get_Value(0, "i")), 0x11111111u);
  unit->last_update -= boost::posix_time::seconds(1);
  EXPECT_EQ(Refusal(*unit, "v"), "数据已超时");
}

TEST_F(DcUnit, RoundDoneRowsImagesAndJobs) {
  S(State(1, 10, 0, 3));
  unit->RoundDone();
  const auto points = host.services->points();
  ASSERT_EQ(points.size(), 12u);
  const rule_value &low = points[0], &fuse4 = points[5];
  EXPECT_EQ(std::tie(low.level, low.key, low.code, low.name, low.text, low.condition, low.seq),
            std::make_tuple(3u, std::string("DC_0"), std::string("06008"),
                            std::string("输出电压过低告警"), std::string("输出电压过低告警"),
                            uint8_t{1}, 1u));
  EXPECT_EQ(
      std::tie(fuse4.level, fuse4.key, fuse4.code, fuse4.name, fuse4.text, fuse4.seq),
      std::make_tuple(1u, std::string("DC_3"), std::string("06001"),
                      std::string("电池熔丝故障告警"), std::string("直流4电池熔丝故障告警"), 6u));
  for (size_t k = 1; k < 12; ++k) EXPECT_EQ(points[k].condition, k == 5 ? 1 : 0) << k;
  EXPECT_TRUE(unit->pending_rules.empty());
  EXPECT_EQ(host.services->jobs_total(), 1u);
  const auto image = host.services->images().at(0);
  EXPECT_EQ(std::make_tuple(image.type, image.bytes.size(), image.flag, image.changed),
            std::make_tuple(5093, size_t{238}, false, true));
  EXPECT_TRUE(std::equal(unit->record.ttime, unit->record.ttime + 7, image.bytes.begin() + 231));
  EXPECT_TRUE(K417TDC().LoadFromCache(image.bytes.data(), 238));

  S(State(0, 9, 0));       // fewer fuses than the record holds: no fuse rows
  unit->record.v += 1.0f;  // each history record keeps its own round's image
  unit->RoundDone();
  unit->RoundDone();
  const auto images = host.services->images();
  EXPECT_EQ(std::make_tuple(host.services->points().size(), images[1].changed, images[2].changed),
            std::make_tuple(size_t{16}, true, false));  // dead bands
  host.services->batch_result = true;
  EXPECT_EQ(host.services->RunJobs(), 3u);
  EXPECT_EQ(unit->threshold_flag, 1);
  for (size_t k = 0; k < 3; ++k) EXPECT_EQ(host.services->history().at(k).bytes, images[k].bytes);
}

}  // namespace
