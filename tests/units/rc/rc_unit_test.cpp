#include <gtest/gtest.h>
#include <json/json.h>

#include "tests/units/rc/rc_blocks.h"
#include "units/rc/k417t_rc.h"

using namespace rc_test;
using Logs = std::vector<std::string>;
using Parser = int (K417TRC::*)(const unsigned char*, int);

namespace {

struct RcUnit : ::testing::Test {
  TestHost host;
  std::shared_ptr<K417TRC> unit = std::make_shared<K417TRC>();
  void SetUp() override { unit->Init(host.controller, 9); }
  int P(Parser p, const Bytes& b) { return (unit.get()->*p)(b.data(), static_cast<int>(b.size())); }
  bool Load(const Bytes& b, int len) {
    testing::internal::CaptureStdout();
    const bool ok = unit->LoadFromCache(b.data(), len);
    trace += testing::internal::GetCapturedStdout();
    return ok;
  }
  std::string trace;
};

TEST_F(RcUnit, AnalogAnswersLearnTheCountAndDropEqualByteValues) {
  EXPECT_EQ(P(&K417TRC::parse41_41, Analog(3)), 105);
  EXPECT_EQ(std::make_tuple(unit->group.module_count, unit->channels.size()),
            std::make_tuple(3, size_t{3}));
  const Bytes same{0xFF, 0xFF, 0xFF, 0xFF}, sent[] = {{0x20, 0x20, 0x20, 0x20}, same, {5, 5, 5, 4}};
  const uint32_t kept[] = {0u, 0u, 0x04050505u};
  for (int k = 0; k < 3; ++k) {  // rc_value and module_value are never dropped
    ASSERT_EQ(P(&K417TRC::parse41_41,
                Cat({{0}, same, {3}, Repeat(Cat({same, {7}, Repeat(sent[k], 7)}), 3)})),
              105);
    EXPECT_EQ(BitsOf(FloatAt(&unit->channels[2].user_analog[6])), kept[k]);
    EXPECT_EQ(
        BitsOf(FloatAt(&unit->group.rc_value)) & BitsOf(FloatAt(&unit->channels[2].module_value)),
        0xFFFFFFFFu);
  }
  EXPECT_TRUE(host.services->logs().empty());
}

TEST_F(RcUnit, WrongCountsAreLoggedAndStepped) {
  P(&K417TRC::parse41_41, Analog(3));
  EXPECT_EQ(
      P(&K417TRC::parse41_41,
        Cat({{0}, F32(1), {3}, Module(1, 7, F32(5)), Module(2, 6, F32(5)), Module(3, 7, F32(5))})),
      101);
  EXPECT_EQ(std::make_tuple(unit->channels[1].analog_p, FloatAt(&unit->channels[1].user_analog[0]),
                            FloatAt(&unit->channels[2].user_analog[0])),
            std::make_tuple(6, 2.0f, 5.0f));
  EXPECT_EQ(P(&K417TRC::parse41_43, States(2)), 22);
  EXPECT_EQ(P(&K417TRC::parse41_43, States(4)), -1);
  Bytes state = States(1), alarm = Alarms({1});
  state[5] = 5;  // P
  alarm[3] = 7;  // P
  EXPECT_EQ(P(&K417TRC::parse41_43, state), 11);
  EXPECT_EQ(P(&K417TRC::parse41_44, Alarms({0, 1, 2, 0, 0})), 0);
  EXPECT_EQ(P(&K417TRC::parse41_44, alarm), 11);
  EXPECT_EQ(P(&K417TRC::parse40_46, Params(5, 2)), 29);
  EXPECT_EQ(unit->parse40_46(Params(5, 2).data(), 21), 29);
  EXPECT_EQ(unit->parse40_46(Params(5, 0).data(), 20), -1);
  EXPECT_EQ(P(&K417TRC::parse42_46, Params(2, 1)), 13);
  const std::string rc = "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 9 ";
  EXPECT_EQ(
      host.services->logs(),
      (Logs{rc + "read 41_41 p is 6 not 7", rc + "read 41_43 p is 5, not 6",
            rc + "parse p41_44 channel_count not equal 5 != 3 ", rc + "read 41_44 p is 7, not 8",
            "PMBusPowerAC:ProcotolError 9 read 40_46 read overflow 21 - 20",
            "QTR41B:ProcotolError parse42_46 9 p:1 != 0"}));
}

// Every length from -1 to size + 2 over a heap copy of exactly that many bytes.
TEST_F(RcUnit, TruncatedAnswersNeverReadPastLength) {
  P(&K417TRC::parse41_41, Analog(3));
  const struct {
    Parser parse;
    Bytes field;
    int from, full;  // lengths from `from` on answer `full`, shorter ones -1
  } cases[] = {{&K417TRC::parse41_41, Analog(3), 105, 105},
               {&K417TRC::parse41_43, States(3), 32, 32},
               {&K417TRC::parse41_44, Alarms({0, 1, 0}), 32, 32},
               {&K417TRC::parse40_46, Params(5, 2), 21, 29},  // extent not compared
               {&K417TRC::parse42_46, Params(2, 0), 9, 9},
               {&K417TRC::parse42_46, Params(2, 3), 9, 21}};  // extent not compared
  for (const auto& c : cases) {
    const int size = static_cast<int>(c.field.size());
    for (int len = -1; len <= size + 2; ++len) {
      std::unique_ptr<unsigned char[]> buf(new unsigned char[std::max(len, 0)]);
      std::copy_n(c.field.begin(), std::min(std::max(len, 0), size), buf.get());
      EXPECT_EQ((unit.get()->*c.parse)(buf.get(), len), len >= c.from ? c.full : -1)
          << size << " " << len;
    }
  }
  EXPECT_EQ(unit->group.module_count, 3);
}

// A first answer that claims more modules than it carries must not fix the
// count: the next well-formed answer is still accepted.
TEST_F(RcUnit, TruncatedFirstAnswerLearnsNoCount) {
  Bytes claims_two = Analog(1);
  claims_two[5] = 2;
  EXPECT_EQ(P(&K417TRC::parse41_41, claims_two), -1);
  EXPECT_EQ(std::make_tuple(unit->group.module_count, unit->channels.size()),
            std::make_tuple(0, size_t{0}));
  EXPECT_EQ(P(&K417TRC::parse41_41, Analog(1)), 39);
  EXPECT_EQ(unit->group.module_count, 1);
}

// A module plugged in or pulled: a complete answer with another count is
// adopted, whether the count was learned from an answer or restored from a
// cache image; an incomplete one changes no count.
TEST_F(RcUnit, ChangedModuleCountIsAdoptedFromACompleteAnswer) {
  ASSERT_EQ(P(&K417TRC::parse41_41, Analog(2)), 72);
  ASSERT_EQ(P(&K417TRC::parse41_43, States(2)), 22);
  Bytes short_three = Analog(3);
  short_three.pop_back();
  EXPECT_EQ(P(&K417TRC::parse41_41, short_three), -1);
  Bytes trailing = Cat({Analog(3), {0}});
  EXPECT_EQ(P(&K417TRC::parse41_41, trailing), -1);
  EXPECT_EQ(unit->channels.size(), 2u);
  EXPECT_EQ(P(&K417TRC::parse41_41, Analog(3)), 105);
  EXPECT_EQ(std::make_tuple(unit->group.module_count, unit->channels.size()),
            std::make_tuple(3, size_t{3}));
  // Modules that remain keep their states; the new one starts empty.
  EXPECT_EQ(unit->channels[1].module_state[2], 3);
  EXPECT_EQ(unit->channels[2].module_state[2], 0);
  EXPECT_EQ(FloatAt(&unit->channels[2].module_value), 12.0f);
  EXPECT_EQ(P(&K417TRC::parse41_43, States(3)), 32);
  unit->RoundDone();
  EXPECT_EQ(unit->image_len, 45 + 53 * 3);

  Bytes image(unit->image.get(), unit->image.get() + unit->image_len);
  auto restored = std::make_shared<K417TRC>();
  restored->Init(host.controller, 9);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(restored->LoadFromCache(image.data(), static_cast<int>(image.size())));
  testing::internal::GetCapturedStdout();
  const Bytes one = Analog(1);
  EXPECT_EQ((restored.get()->*&K417TRC::parse41_41)(one.data(), static_cast<int>(one.size())), 39);
  EXPECT_EQ(std::make_tuple(restored->group.module_count, restored->channels.size()),
            std::make_tuple(1, size_t{1}));
  restored->RoundDone();
  EXPECT_EQ(restored->image_len, 45 + 53);
  EXPECT_EQ(host.services->logs(),
            (Logs{"PMBusPowerAC:ProcotolError 9 read 41_41 in channel overflow 105 - 104",
                  "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 9 module count changed "
                  "from 2 to 3",
                  "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 9 module count changed "
                  "from 3 to 1"}));
}

TEST_F(RcUnit, CacheImageIsCheckedWholeBeforeUse) {
  Bytes image(45 + 53 * 2 + 1, 0x00);
  image[0] = 0x42;  // data_id
  image[37] = 2;    // module_count
  EXPECT_FALSE(Load(image, 44));
  EXPECT_FALSE(Load(image, 152));
  EXPECT_EQ(trace,
            "rc data_len:44 vs 45\nrc data_len:152 vs 45\nrc channelLen 53 and 2 left:107\n");
  EXPECT_EQ(std::make_tuple(unit->channels.size(), unit->group.data_id, unit->data_valid),
            std::make_tuple(size_t{0}, 0u, uint8_t{0}));  // a refused image changes nothing
  EXPECT_TRUE(Load(image, 151));
  EXPECT_EQ(std::make_tuple(unit->channels.size(), unit->group.data_id),
            std::make_tuple(size_t{2}, 0x42u));
  image[37] = 0;
  EXPECT_TRUE(Load(image, 45));
  EXPECT_TRUE(unit->channels.empty());
}

TEST_F(RcUnit, RoundDoneRowsImagesJobsAndFreshness) {
  EXPECT_EQ(Refusal(*unit), "数据未就绪");
  unit->InitV(unit.get(), 0x01020304, Json::Value());
  unit->RoundDone();  // no modules yet: 45 bytes, no rows
  P(&K417TRC::parse41_41, Analog(3));
  P(&K417TRC::parse41_44, Alarms({0, 1, 2}));
  unit->RoundDone();
  const auto points = host.services->points();
  ASSERT_EQ(points.size(), 3u);
  for (unsigned k = 0; k < 3; ++k) {
    const rule_value& r = points[k];
    EXPECT_EQ(std::tie(r.level, r.key, r.code, r.name, r.text, r.condition, r.seq),
              std::make_tuple(
                  2u, std::string("RC_0"), std::string("06024"), std::string("整流模块故障告警"),
                  "模块" + std::to_string(k + 1) + "整流模块故障告警", uint8_t{k == 1}, k + 1));
  }
  EXPECT_TRUE(unit->pending_rules.empty());
  EXPECT_EQ(host.services->jobs_total(), 2u);
  const auto images = host.services->images();
  EXPECT_EQ(std::make_tuple(images.at(0).bytes.size(), images.at(1).bytes.size(), unit->image_len,
                            images[1].type),
            std::make_tuple(size_t{45}, size_t{204}, 204, 5092));
  EXPECT_TRUE(std::equal(unit->group.ttime, unit->group.ttime + 7, images[1].bytes.begin() + 38));
  EXPECT_EQ(Bytes(images[1].bytes.begin(), images[1].bytes.begin() + 4), (Bytes{4, 3, 2, 1}));
  host.services->batch_result = true;
  EXPECT_EQ(host.services->RunJobs(), 2u);
  EXPECT_EQ(host.services->history().at(0).bytes, images[0].bytes);
  EXPECT_EQ(host.services->history().at(1).bytes, images[1].bytes);
  EXPECT_EQ(unit->threshold_flag, 1);
  EXPECT_TRUE(Load(images[1].bytes, 204));
  unit->last_update -= boost::posix_time::seconds(60);
  EXPECT_EQ(Refusal(*unit), "数据未就绪");
  unit->last_update -= boost::posix_time::seconds(1);
  EXPECT_EQ(Refusal(*unit), "数据已超时");
}

TEST_F(RcUnit, TwelveModules) {
  P(&K417TRC::parse41_41, Analog(12));
  unit->RoundDone();
  const auto points = host.services->points();
  EXPECT_EQ(std::make_tuple(points.size(), points.at(9).text, points.at(9).seq, unit->image_len),
            std::make_tuple(size_t{12}, std::string("模块10整流模块故障告警"), 10u, 45 + 53 * 12));
}

}  // namespace
