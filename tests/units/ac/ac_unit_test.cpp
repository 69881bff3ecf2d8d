#include <gtest/gtest.h>
#include <pthread.h>

#include "ac_blocks.h"

using namespace ac_test;
using boost::posix_time::seconds;
using Lines = std::vector<std::string>;

TEST(AcBlocks, LengthsCountsAndStates) {
  Fixture fx, two;
  EXPECT_EQ(fx.Parse(kP44, Alarm({}, {}, {1, 2, 3})), 4);  // no inputs known: byte 0 + currents
  EXPECT_EQ(fx.Parse(kP41, Analog(0)), 13);                // leaves the input count open
  EXPECT_EQ(fx.Parse(kP41, Analog(1)), 30);
  EXPECT_EQ(two.Parse(kP41, Analog(2)), 47);
  const Bytes before = two.Record();
  EXPECT_EQ(two.Parse(kP41, Analog(3), 63), -1);  // a short block changes no count
  EXPECT_EQ(two.Record(), before);

  EXPECT_EQ(fx.Parse(kP43, {0x00, 0x03, 0x11, 0x22, 0x33}), 5);
  EXPECT_EQ(fx.Parse(kP43, {0x01, 0xAA, 0x03, 1, 2, 3}), -1);
  EXPECT_EQ(fx.Parse(kP43, {0x00, 0x02, 0x44, 0x55}), 4);
  EXPECT_EQ(fx.Parse(kP43, {0x00, 0x02, 0x44}), -1);  // skipped states past the end
  EXPECT_EQ(fx.unit->ac.p43_count, 2);
  EXPECT_EQ(fx.unit->ac.p43_state[2], 0x33);  // kept from the accepted block

  EXPECT_EQ(fx.Parse(kP44, Alarm({{1, 2, 3, 0}}, kUserStates, {2, 0, 0})), 18);
  EXPECT_EQ(fx.Parse(kP44, Alarm({{1, 2, 3, 0}}, Bytes(7, 9))), 17);
  EXPECT_EQ(fx.unit->channels[0].p44_state[7], 0xE2);  // kept from the p = 8 block
  // m = 2 further states, skipped.
  EXPECT_EQ(fx.Parse(kP44, Cat({{1, 1, 1, 1, 1, 2, 9, 9, 8}, kUserStates, {0, 0, 0}})), 20);
  EXPECT_EQ(fx.host.services->logs(),
            (Lines{"ProcotolError %u read 40_43 m is %d max %d",
                   "PMBusPowerAC:ProcotolError P7 read 40_43 p is 2 not 3",
                   "PMBusPowerAC:ProcotolError P7 read 40_43 p is 2 not 3",
                   "PMBusPowerAC:ProcotolError 7 read 40_43 read overflow 4 - 3",
                   "PMBusPowerAC:ProcotolError 7 read 40_44 p is 7 not 8",
                   "PMBusPowerAC:ProcotolError 7 read 40_44 m is 2"}));
}

// An input added or removed: a complete block with another count is adopted,
// after a learned and after a restored count; the image follows the count.
TEST(AcBlocks, ChangedInputCountIsAdopted) {
  Fixture fx;
  ASSERT_EQ(fx.Parse(kP41, Analog(2)), 47);
  ASSERT_EQ(fx.Parse(kP44, Alarm({{1, 1, 1, 1}, {2, 2, 2, 2}}, kUserStates)), 32);
  EXPECT_EQ(fx.Parse(kP41, Analog(3)), 64);
  ASSERT_EQ(fx.unit->channels.size(), 3u);
  EXPECT_EQ(fx.unit->ac.channel_count, 3);
  EXPECT_EQ(fx.unit->channels[1].a_alert, 2);  // the inputs that remain keep their states
  EXPECT_EQ(fx.unit->channels[2].a_alert, 0);
  EXPECT_EQ(fx.Error("channel_2_a"), "数据未就绪");
  fx.unit->RoundDone();
  EXPECT_EQ(fx.Error("channel_2_a"), "222.000000");
  EXPECT_EQ(fx.unit->image_len, 32 + 30 * 3);

  Fixture restored;
  ASSERT_TRUE(restored.unit->LoadFromCache(fx.unit->image.get(), fx.unit->image_len));
  EXPECT_EQ(restored.Parse(kP41, Analog(1)), 30);
  EXPECT_EQ(restored.unit->channels.size(), 1u);
  restored.unit->RoundDone();
  EXPECT_EQ(restored.unit->image_len, 32 + 30);
  EXPECT_EQ(fx.host.services->logs(),
            Lines{"PMBusPowerAC:ProcotolError 7 input count changed from 2 to 3"});
  EXPECT_EQ(restored.host.services->logs(),
            Lines{"PMBusPowerAC:ProcotolError 7 input count changed from 3 to 1"});
}

// Per-input keys are found in one pass however long the key: a key of a
// million digits is answered (out of range) without deep recursion, on a
// small thread stack as on the host's worker threads.
TEST(AcValues, KeysOfAnyLengthOnASmallStack) {
  Fixture fx;
  ASSERT_EQ(fx.Parse(kP41, Analog(2)), 47);
  fx.unit->RoundDone();
  std::vector<std::string> got;
  const std::vector<std::string> keys = {
      "channel_" + std::string(1000000, '0') + "_b",   // zeros: input 0
      "channel_" + std::string(1000000, '9') + "_a",   // too large: out of range
      std::string(100000, 'x') + "channel_1_c",        // text before the match
      "channel_1_\nchannel_1_f",                      // first match wins
      "channel_1_\n",                                 // a line end is no field
      "channel_channel_" + std::string(500000, '1'),   // no field at all
      "channel__a", "channel_01_cx"};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  struct Ctx {
    Fixture* fx;
    const std::vector<std::string>* keys;
    std::vector<std::string>* got;
  } ctx{&fx, &keys, &got};
  pthread_t t;
  ASSERT_EQ(pthread_create(
                &t, &attr,
                [](void* p) -> void* {
                  auto* c = static_cast<Ctx*>(p);
                  for (const std::string& k : *c->keys) c->got->push_back(c->fx->Error(k));
                  return nullptr;
                },
                &ctx),
            0);
  pthread_join(t, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(got, (std::vector<std::string>{"221.000000", "通道参数越界", "223.000000", "50.000000",
                                           "数据未提供", "数据未提供", "数据未提供", "223.000000"}));
}

TEST(AcBlocks, InvalidValueRule) {
  Fixture fx;
  const Bytes marker{0x20, 0x20, 0x20, 0x20}, zero{0, 0, 0, 0}, odd{5, 5, 5, 4};
  // a b c f, p = 1 (logged, value skipped), the value; then ia ib ic.
  EXPECT_EQ(fx.Parse(kP41, Cat({{1}, marker, zero, odd, F32(50), {1}, F32(7), marker, zero, odd})),
            34);
  const Bytes rec = fx.Record();
  EXPECT_EQ(Bytes(rec.begin() + 4, rec.begin() + 16), Cat({{0xCD, 0xCC, 0xCC, 0xBD}, zero, odd}));
  EXPECT_EQ(Bytes(rec.begin() + 32, rec.begin() + 44), Cat({zero, zero, odd}));
  EXPECT_EQ(fx.host.services->logs(),
            Lines{"PMBusPowerAC:ProcotolError 7 read 40_41 p is 1 not 0"});
}

// Every length from -1 to size + 2: a short block is refused with its overflow
// line, reads nothing past `length` and leaves the unit as it was.
TEST(AcBlocks, EveryTruncatedLength) {
  Fixture fx;
  ASSERT_EQ(fx.Parse(kP41, Analog(2)), 47);
  const struct {
    int (K417TAC::*parser)(const unsigned char*, int);
    Bytes block;
    const char* name;
  } cases[] = {
      {kP41, Cat({{2}, Bytes(16, 1), {1}, F32(5), Bytes(17, 0), Bytes(12, 2)}), "41"},
      {kP43, {0, 3, 1, 2, 3}, "43"},
      {kP43, {0, 2, 1, 2}, "43"},
      {kP44, Cat({{2, 1, 1, 1, 1, 1, 7, 3, 9, 9, 9, 2, 2, 2, 2, 0, 8}, kUserStates, {1, 2, 3}}),
       "44"}};
  for (const auto& c : cases) {
    const int size = static_cast<int>(c.block.size());
    for (int len = -1; len <= size + 2; ++len) {
      const Bytes before = fx.Record();
      EXPECT_EQ(fx.Parse(c.parser, c.block, len), len < size ? -1 : size) << size << " " << len;
      if (len >= size) continue;
      EXPECT_EQ(fx.Record(), before);
      if (len == size - 1) {
        EXPECT_EQ(fx.host.services->logs().back(),
                  fmt::format("PMBusPowerAC:ProcotolError 7 read 40_{} read overflow {} - {}",
                              c.name, size, len));
      }
    }
  }
}

TEST(AcCache, ImageLengthBoundaries) {
  Fixture src, fx;
  ASSERT_EQ(src.Parse(kP41, Analog(1)), 30);
  const Bytes image = src.Record(), fresh = fx.Record();
  for (size_t len : {0, 1, 32, 61, 63, 92}) {
    Bytes img = image;
    img.resize(len, 0);
    EXPECT_FALSE(fx.unit->LoadFromCache(std::string(img.begin(), img.end()))) << len;
    EXPECT_EQ(fx.Record(), fresh) << len;  // a refused image changes nothing
  }
  EXPECT_EQ(fx.Error("ia"), "数据未就绪");
  EXPECT_TRUE(fx.unit->LoadFromCache(image.data(), 62));
  EXPECT_EQ(fx.Record(), image);
  EXPECT_EQ(fx.Error("channel_0_b"), "221.000000");
  Bytes two = Cat({image, Bytes(30, 0)});
  two[16] = 2;  // channel_count
  EXPECT_TRUE(fx.unit->LoadFromCache(two.data(), 92));
  EXPECT_EQ(fx.unit->channels.size(), 2u);
}

TEST(AcValues, ReadinessFreshnessAndKeys) {
  Fixture fx;
  EXPECT_EQ(fx.Error("ia"), "数据未就绪");
  fx.unit->RoundDone();
  EXPECT_EQ(fx.Error("ia"), "0.000000");
  EXPECT_EQ(fx.Error("channel_0_a"), "通道参数越界");
  ASSERT_EQ(fx.Parse(kP41, Analog(1)), 30);
  ASSERT_EQ(fx.Parse(kP44, Alarm({{0, 0, 0, 0}}, kUserStates, {2, 1, 3})), 18);
  fx.unit->RoundDone();
  fx.unit->last_update -= seconds(60);
  std::string got;
  for (const char* key : {"ia", "ic", "ia_alert", "ib_alert", "ic_alert", "channel_0_f",
                          "channel_0_abc", "xchannel_00_b"})
    got += fx.Error(key) + " ";
  EXPECT_EQ(got, "10.500000 12.500000 2.000000 1.000000 3.000000 50.000000 220.000000 221.000000 ");
  for (const char* key : {"channel_1_a", "channel_99999999999999999999_a", "channel_4294967296_a"})
    EXPECT_EQ(fx.Error(key), "通道参数越界") << key;
  for (const char* key : {"channel_0_x", "channel_0_", "IA", ""})
    EXPECT_EQ(fx.Error(key), "数据未提供") << key;
  fx.unit->last_update -= seconds(1);
  EXPECT_EQ(fx.Error("ib"), "数据已超时");
}

TEST(AcRound, ImageJobsHistoryAndChangedVerdict) {
  Json::Value setting;
  setting["appSetting"]["diff_v"] = "5";
  setting["appSetting"]["diff_i"] = 1;
  Fixture fx(setting);
  auto round = [&](int n, float a, float ia) {
    const Bytes in = n == 0 ? Bytes{0} : Cat({{1}, F32(a), F32(0), F32(0), F32(50), {0}});
    fx.Parse(kP41, Cat({in, F32(ia), F32(0), F32(0)}));
    fx.unit->RoundDone();
    EXPECT_TRUE(fx.unit->pending_rules.empty());
    return fx.unit->round_changed == 1 && fx.host.services->images().back().changed;
  };
  EXPECT_TRUE(round(0, 0, 0));     // first data; image for no input
  EXPECT_TRUE(round(1, 220, 10));  // input count changed
  EXPECT_FALSE(round(1, 224, 10.5f));
  EXPECT_TRUE(round(1, 229, 10.5f));  // voltage moved by diff_v
  EXPECT_TRUE(round(1, 229, 11.5f));  // current moved by diff_i
  EXPECT_EQ(fx.unit->image_len, 62);
  EXPECT_EQ(fx.host.services->jobs_total(), 5u);
  EXPECT_EQ(fx.host.services->RunJobs(), 5u);  // jobs run after the image moved on
  const auto images = fx.host.services->images();
  const auto history = fx.host.services->history();
  ASSERT_EQ(history.size(), 5u);
  EXPECT_EQ(images[0].bytes.size(), 32u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(history[i].bytes, images[i].bytes);
  EXPECT_TRUE(images[4].type == 5091 && !images[4].flag);
  Fixture other;
  EXPECT_TRUE(other.unit->LoadFromCache(images[4].bytes.data(), 62));
}

TEST(AcAlarms, RowsAndSequenceNumbers) {
  Fixture fx, two;
  ASSERT_EQ(fx.Parse(kP41, Analog(1)), 30);
  ASSERT_EQ(fx.Parse(kP44, Alarm({{1, 2, 3, 0}}, kUserStates, {2, 0, 0})), 18);
  fx.unit->RoundDone();
  auto points = fx.host.services->points();
  ASSERT_EQ(points.size(), 27u);
  std::string on;
  for (size_t i = 0; i < points.size(); ++i) {
    EXPECT_EQ(points[i].seq, i + 1);
    if (points[i].condition) on += points[i].key + " ";
  }
  EXPECT_EQ(on, "AC_0 AC_5 AC_10 AC_15 p40_44_0 p40_44_2 p40_44_3 p40_44_6 p40_44_7 ");
  const auto row = [](const rule_value& r) {
    return fmt::format("{} {} {} {} {}", r.level, r.key, r.code, r.name, r.text);
  };
  EXPECT_EQ(row(points[0]), "3 AC_0 06015 交流输入电压过低告警 交流屏1输入线/相电压AB/A");
  EXPECT_EQ(row(points[7]), "2 AC_7 06018 交流输入频率过高告警 交流屏1频率");
  EXPECT_EQ(row(points[11]), "3 AC_12 06029 A相输入电流低于下限 其他告警");
  EXPECT_EQ(row(points[26]), "1 p40_44_7 401400201 0 第1路交流输入-交流屏通讯中断");

  ASSERT_EQ(fx.Parse(kP44, Alarm({{0, 0, 0, 0}}, Bytes(7, 0))), 17);  // p44_count 7
  fx.unit->RoundDone();
  EXPECT_EQ(fx.host.services->points().back().seq, 20u);

  ASSERT_EQ(two.Parse(kP41, Analog(2)), 47);
  ASSERT_EQ(two.Parse(kP44, Alarm({{0, 0, 0, 0}, {0, 0, 0, 0}}, kUserStates)), 32);
  two.unit->RoundDone();
  points = two.host.services->points();
  ASSERT_EQ(points.size(), 45u);
  EXPECT_EQ(points.back().seq, 45u);
  EXPECT_EQ(points[11].text, "交流屏2输入线/相电压AB/A");
  EXPECT_EQ(points[38].text, "第2路交流输入-交流输入空开跳");
}
