// The view: frames from a simulated controller go through the real plug-in
// and host, and come out as named values (golden cases); images that do not
// fit their type are refused without a read past their end; control rules.
#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <random>
#include <sstream>

#include "controller/k417t.h"
#include "sim/simulator.h"
#include "input/checked_json.h"
#include "view/control_rules.h"
#include "view/dead_band.h"
#include "support/one_round.h"
#include "view/site_view.h"
#include "wire/memory_transport.h"

extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

using qmx::view::UnitValues;

Json::Value Parse(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string err;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(b, in, &v, &err)) << err;
  return v;
}

// One controller polled for one round, answered with `scenario`.
struct OneRound : k417t_test::OneRound {
  explicit OneRound(const Json::Value& scenario) : k417t_test::OneRound(scenario) { Poll(1); }
};

std::optional<double> Number(const UnitValues& u, const std::string& key) {
  const qmx::view::Value* v = u.Find(key);
  EXPECT_NE(nullptr, v) << key;
  return v ? v->number : std::nullopt;
}

std::string Word(const UnitValues& u, const std::string& key) {
  const qmx::view::Value* v = u.Find(key);
  EXPECT_NE(nullptr, v) << key;
  return v ? v->word : "";
}

}  // namespace

TEST(ViewGolden, NoValuePatternsHaveNoNumberAndRealZerosStay) {
  OneRound r(Parse(R"({
    "ac": [ { "inputs": [ { "a": "20202020", "b": "FFFFFFFF", "c": 0, "f": "05050504" } ],
              "ia": "20202020", "ib": 0, "ic": "0000807F" } ],
    "rectifier": { "value": "20202020",
                   "modules": [ { "value": "FFFFFFFF" }, { "value": 12.5 } ] },
    "dc": [ { "v": "21212121", "i": 40.0, "m": ["30303030", -0.1],
              "user": ["20202020", "FFFFFFFF", 0, "05050504"] } ] })"));
  const UnitValues ac = r.Unit(11);
  // The AC unit itself stores an invalid voltage as 0.0: that 0 is all we
  // have, and it stays 0 (the README says so).
  EXPECT_EQ(0.0, Number(ac, "channel_0_a"));
  EXPECT_EQ(0.0, Number(ac, "channel_0_b"));
  EXPECT_FALSE(Number(ac, "channel_0_f"));  // 05 05 05 04: 1.6e-36 Hz is bytes, not a reading
  EXPECT_FALSE(Number(ac, "ia"));                      // stored as the -0.1 marker
  EXPECT_EQ(0.0, Number(ac, "ib"));
  EXPECT_FALSE(Number(ac, "ic"));  // +infinity, least significant byte first
  const UnitValues rc = r.Unit(100);
  ASSERT_TRUE(rc.error.empty()) << rc.error;
  EXPECT_FALSE(Number(rc, "rc_value"));
  EXPECT_FALSE(Number(rc, "module_0_current"));
  EXPECT_EQ(12.5, Number(rc, "module_1_current"));
  EXPECT_EQ(12.5, Number(rc, "total_current"));  // the modules that have a reading
  const UnitValues dc = r.Unit(21);
  EXPECT_FALSE(Number(dc, "v"));  // copied as received: the pattern itself
  EXPECT_EQ(40.0, Number(dc, "i"));
  EXPECT_FALSE(Number(dc, "m_0"));
  EXPECT_EQ(-0.1, Number(dc, "m_1"));  // the m list has no marker: -0.1 is a reading there
  EXPECT_FALSE(Number(dc, "user_0"));
  EXPECT_FALSE(Number(dc, "user_1"));
  EXPECT_EQ(0.0, Number(dc, "user_2"));
  EXPECT_FALSE(Number(dc, "user_3"));  // 05 05 05 04 again
  EXPECT_EQ(nullptr, dc.Find("user_4"));  // past the count sent
  // JSON: null, never a number made from the pattern.
  const std::string json = qmx::json::Compact(qmx::view::UnitJson(dc));
  EXPECT_NE(std::string::npos, json.find("\"user_0\":null")) << json;
  EXPECT_NE(std::string::npos, json.find("\"m_1\":-0.1")) << json;
}

TEST(ViewGolden, StatesAreWordsNamesComeFromTheSite) {
  OneRound r(Parse(R"({
    "ac": [ { "inputs": [ { "a": 230.5, "alerts": [1, 2, 3, 2] } ], "current_alerts": [0, 3, 9] } ],
    "rectifier": { "value": 53.5, "modules": [
        { "value": 40.2, "states": [0, 1, 1], "fault": 1 },
        { "value": 39.8, "states": [1, 0, 2], "fault": 2 } ] },
    "dc": [ { "v": 53.5, "i": 120.4, "m": [60.2, 59.8], "user": [25.5],
              "v_state": 1, "fuses": [0, 0, 3, 0, 0, 0, 0, 0, 0, 1] } ] })"));
  const UnitValues ac = r.Unit(11);
  EXPECT_EQ(230.5, Number(ac, "channel_0_a"));
  EXPECT_EQ("low", Word(ac, "channel_0_a_alert"));
  EXPECT_EQ("high", Word(ac, "channel_0_b_alert"));
  EXPECT_EQ("phase missing", Word(ac, "channel_0_c_alert"));
  EXPECT_EQ("high", Word(ac, "channel_0_f_alert"));
  EXPECT_EQ("normal", Word(ac, "ia_alert"));
  EXPECT_EQ("missing", Word(ac, "ib_alert"));
  EXPECT_EQ("state 9", Word(ac, "ic_alert"));  // a byte no table names, shown as it came
  const UnitValues rc = r.Unit(100);
  EXPECT_EQ("on", Word(rc, "module_0_state"));
  EXPECT_EQ("not limiting", Word(rc, "module_0_limit"));
  EXPECT_EQ("equalize", Word(rc, "module_0_charge"));
  EXPECT_EQ("fault", Word(rc, "module_0_fault"));
  EXPECT_TRUE(rc.Find("module_0_fault")->alert);
  EXPECT_EQ("off", Word(rc, "module_1_state"));
  EXPECT_EQ("test", Word(rc, "module_1_charge"));
  EXPECT_EQ("normal", Word(rc, "module_1_fault"));  // only 1 is a module fault
  EXPECT_EQ((std::vector<unsigned>{1, 0, 2}), rc.Find("module_1_state")->raw);
  EXPECT_EQ(80.0, Number(rc, "total_current"));
  EXPECT_EQ(2.0, Number(rc, "module_count"));
  qmx::view::UnitLabels labels;
  labels.m = {{"Battery 1 current", "A"}, {"Battery 2 current", "A"}};
  labels.user = {{"Battery room", "°C"}};
  const UnitValues dc = r.Unit(21, &labels);
  EXPECT_EQ("low", Word(dc, "v_state"));
  EXPECT_EQ("fault", Word(dc, "fuse_2"));
  EXPECT_EQ("normal", Word(dc, "fuse_9"));  // only 3 is a fuse fault
  const qmx::view::Value* m1 = dc.Find("m_1");
  ASSERT_NE(nullptr, m1);
  EXPECT_EQ("Battery 2 current", m1->field.label);
  EXPECT_EQ("A", m1->field.unit);
  EXPECT_EQ(qmx::view::Quantity::kCurrent, m1->field.quantity);
  EXPECT_EQ("k417t_dc_list_value", m1->field.metric);
  const qmx::view::Value* u0 = dc.Find("user_0");
  ASSERT_NE(nullptr, u0);
  EXPECT_EQ("Battery room", u0->field.label);
  EXPECT_EQ(qmx::view::Quantity::kTemperature, u0->field.quantity);
  EXPECT_EQ("Value m 1", r.Unit(21).Find("m_0")->field.label);  // without names
}

// The rectifier group's dead bands: images of the real plug-in for plants
// that differ in one thing each, against a base plant.
TEST(ViewDeadBand, RectifierMovesPastItsBandsOnlyByVoltageCurrentStateOrCount) {
  auto image = [](const char* rectifier) {
    Json::Value scen = Parse(std::string(R"({"ac": [{"inputs": [{"a": 230}]}], "dc": [{"v": 53.5}],
                                            "rectifier": )") +
                             rectifier + "}");
    OneRound r(scen);
    const auto snap = r.host->Snapshot(100);  // held: the loop reads its images
    for (const auto& img : snap->images)
      if (img.type == qmx::view::kRectifierType) return img.image;
    ADD_FAILURE() << "no rectifier image";
    return std::vector<unsigned char>{};
  };
  const auto base = image(R"({"value": 53.5, "modules": [{"value": 40}, {"value": 30}]})");
  const qmx::view::DeadBand band{0.5, 2.0};
  struct Case {
    const char* rectifier;
    std::optional<bool> moved;
  } cases[] = {
      {R"({"value": 53.9, "modules": [{"value": 40.9}, {"value": 30}]})", false},  // inside both
      {R"({"value": 54.0, "modules": [{"value": 40}, {"value": 30}]})", true},     // 0.5 V
      {R"({"value": 53.5, "modules": [{"value": 42}, {"value": 30}]})", true},     // 2 A
      // two modules each inside the band, the total past it
      {R"({"value": 53.5, "modules": [{"value": 41.5}, {"value": 31.5}]})", true},
      {R"({"value": 53.5, "modules": [{"value": 40, "states": [1, 0, 0]}, {"value": 30}]})", true},
      {R"({"value": 53.5, "modules": [{"value": 40, "fault": 1}, {"value": 30}]})", true},
      {R"({"value": 53.5, "modules": [{"value": 40}, {"value": 30}, {"value": 0}]})", true},
      {R"({"value": "20202020", "modules": [{"value": 40}, {"value": 30}]})", true},  // no value
  };
  for (const Case& c : cases)
    EXPECT_EQ(qmx::view::MovedPast(qmx::view::kRectifierType, base, image(c.rectifier), band),
              c.moved)
        << c.rectifier;
  // An image the view cannot read: no verdict, the unit's own stands.
  EXPECT_EQ(qmx::view::MovedPast(qmx::view::kRectifierType, base, {1, 2, 3}, band), std::nullopt);
}

TEST(ViewImages, WrongLengthsAndAnyBytesAreRefusedOrReadWithinTheImage) {
  // Every length around the layouts, with random bytes: no values from an
  // image that does not fit, and never a read past its end (ASan run).
  std::mt19937 rng(7);
  for (int type : {5091, 5092, 5093, 4242}) {
    for (size_t len = 0; len < 330; ++len) {
      std::vector<unsigned char> image(len);
      for (auto& b : image) b = static_cast<unsigned char>(rng());
      const UnitValues u = qmx::view::ReadUnit(1, type, image);
      if (!u.error.empty()) {
        EXPECT_TRUE(u.values.empty());
      }
      for (const auto& v : u.values) {
        if (v.number) {
          EXPECT_TRUE(std::isfinite(*v.number)) << v.field.key;
        }
      }
    }
  }
  EXPECT_FALSE(qmx::view::ReadUnit(1, 5093, std::vector<unsigned char>(237)).error.empty());
  EXPECT_TRUE(qmx::view::ReadUnit(1, 5093, std::vector<unsigned char>(238)).error.empty());
  EXPECT_EQ(2u * 8 + 6, qmx::view::ReadUnit(1, 5091, std::vector<unsigned char>(92)).values.size());
  // A module count that disagrees with the length.
  std::vector<unsigned char> rc(45 + 53, 0);
  rc[37] = 2;
  EXPECT_FALSE(qmx::view::ReadUnit(1, 5092, rc).error.empty());
  // Counts past the lists' room show none of the list (the unit refused it).
  std::vector<unsigned char> dc(238, 0);
  dc[12] = 3;    // m count
  dc[22] = 200;  // user count
  dc[132] = 11;  // fuse count
  const UnitValues u = qmx::view::ReadUnit(1, 5093, dc);
  EXPECT_EQ(nullptr, u.Find("m_0"));
  EXPECT_EQ(nullptr, u.Find("user_0"));
  EXPECT_EQ(nullptr, u.Find("fuse_0"));
}

TEST(ViewRules, ControlCodesBytesAndSeverities) {
  int code = 0, byte = 0;
  std::string why;
  EXPECT_TRUE(qmx::view::ParseControlText("100", code, byte, why)) << why;
  EXPECT_EQ(-1, byte);
  EXPECT_TRUE(qmx::view::ParseControlText("106:0x1F", code, byte, why)) << why;
  EXPECT_EQ(106, code);
  EXPECT_EQ(31, byte);
  for (const char* bad :
       {"100:1", "106", "106:256", "101", "118:1", "4294967396", "-100", "10 0", ""})
    EXPECT_FALSE(qmx::view::ParseControlText(bad, code, byte, why)) << bad;
  EXPECT_TRUE(qmx::view::ControlFromJson(Parse(R"({"code": 116, "byte": 255})"), code, byte, why));
  EXPECT_FALSE(qmx::view::ControlFromJson(Parse(R"({"code": 116})"), code, byte, why));
  EXPECT_NE(std::string::npos, why.find("needs a byte"));
  EXPECT_FALSE(qmx::view::ControlFromJson(Parse(R"({"code": 104, "byte": 0})"), code, byte, why));
  EXPECT_FALSE(qmx::view::ControlFromJson(Parse(R"({"code": "100"})"), code, byte, why));
  EXPECT_FALSE(qmx::view::ControlFromJson(Parse(R"({"code": 100.5})"), code, byte, why));
  EXPECT_EQ(9u, qmx::view::ControlRules().size());
  EXPECT_STREQ("critical", qmx::view::SeverityWord(1u));
  EXPECT_STREQ("major", qmx::view::SeverityWord(2u));
  EXPECT_STREQ("minor", qmx::view::SeverityWord(3u));
  EXPECT_STREQ("warning", qmx::view::SeverityWord(7u));
}
