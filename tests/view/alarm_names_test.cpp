// Readable alarm names and places: every point the units and the controller
// state has a row in the English table; places follow the device's units,
// the numbers in the controller's texts and the site's unit names; another
// language comes from a file; broken files are refused with a reason.
#include "view/alarm_names.h"

#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <cstdio>
#include <set>

#include "input/checked_json.h"
#include "site/site_host.h"
#include "support/one_round.h"
#include "support/test_host.h"
#include "units/ac/k417t_ac.h"
#include "units/dc/k417t_dc.h"
#include "units/rc/k417t_rc.h"
#include "view/site_view.h"

namespace {

using qmx::view::AlarmNames;
using qmx::view::DevicePlaces;
using qmx::view::MakeDevicePlaces;

Json::Value Parse(const std::string& text) {
  Json::Value v;
  std::string err;
  EXPECT_TRUE(qmx::json::Parse(text, "test", v, err)) << err;
  return v;
}

struct TempFile {
  std::string path;
  explicit TempFile(const std::string& text) {
    char name[] = "/tmp/k417t-names-XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    path = name;
    if (fd >= 0) {
      EXPECT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
      close(fd);
    }
  }
  ~TempFile() { std::remove(path.c_str()); }
};

std::set<std::pair<std::string, std::string>> Stated(const qmx::RecordingServices& s) {
  std::set<std::pair<std::string, std::string>> out;
  for (const rule_value& r : s.points()) out.insert({r.code, r.key});
  return out;
}

// The points each unit states at a round end (every row is stated each
// round, raised or not), with inputs, modules and fuses present so that no
// row is left out.
std::set<std::pair<std::string, std::string>> EveryUnitPoint() {
  std::set<std::pair<std::string, std::string>> all;
  {
    k417t_test::TestHost host;
    auto ac = std::make_shared<K417TAC>();
    ac->Init(host.controller, 11);
    ac->channels.resize(2);
    for (auto& in : ac->channels) in.p44_count = tele_c_k417t_ac_channel::p40_44_SIZE();
    ac->RoundDone();
    const auto points = Stated(*host.services);
    EXPECT_GE(points.size(), 27u);  // 11 input rows, 9 current rows, 7 user rows
    all.insert(points.begin(), points.end());
  }
  {
    k417t_test::TestHost host;
    auto dc = std::make_shared<K417TDC>("K417T");
    dc->Init(host.controller, 21);
    dc->record.alert_m = decltype(dc->record)::ALERT_M_SIZE();
    dc->RoundDone();
    const auto points = Stated(*host.services);
    EXPECT_EQ(points.size(), 3u);  // low, high, fuses
    all.insert(points.begin(), points.end());
  }
  {
    k417t_test::TestHost host;
    auto rc = std::make_shared<K417TRC>();
    rc->Init(host.controller, 100);
    rc->channels.resize(3);
    rc->RoundDone();
    const auto points = Stated(*host.services);
    EXPECT_EQ(points.size(), 1u);
    all.insert(points.begin(), points.end());
  }
  return all;
}

// A device: rectifier group 100 (the controller's identifier), AC screens 31
// and 30 (listed in that order), DC units 21 and 22.
DevicePlaces Device(const std::map<unsigned int, std::string>& names = {}) {
  return MakeDevicePlaces(100, {100, 31, 30, 21, 22},
                          {{100, "rectifier"}, {31, "ac"}, {30, "ac"}, {21, "dc"}, {22, "dc"}},
                          names);
}

qmx::store::ActiveAlarm Point(uint32_t data_id, const std::string& key, const std::string& code,
                              const std::string& name, const std::string& text) {
  qmx::store::ActiveAlarm a;
  a.data_id = data_id;
  a.key = key;
  a.code = code;
  a.name = name;
  a.text = text;
  return a;
}

std::string Label(const AlarmNames& t, const DevicePlaces& d, const qmx::store::ActiveAlarm& a) {
  std::string name, place;
  t.Describe(d, a, name, place);
  return name + " | " + place;
}

}  // namespace

TEST(AlarmNames, EveryStatedPointHasARow) {
  const auto english = AlarmNames::English();
  ASSERT_FALSE(english->rows().empty());
  auto stated = EveryUnitPoint();

  // The controller's model check: an unsupported model raises it.
  {
    k417t_test::OneRound r(Parse(R"({"address": 1, "model": "NOT-A-K417T"})"));
    bool seen = false;
    testing::internal::CaptureStdout();  // the plug-in's traces
    for (int i = 0; i < 400 && !seen; ++i) {
      r.host->RunOnce(5);
      uint8_t buf[512];
      for (long n; (n = r.end->read(buf, sizeof buf, 0)) > 0;)
        for (const auto& out : r.sim->Feed(buf, static_cast<size_t>(n)))
          r.end->write(out.bytes.data(), out.bytes.size());
      for (const auto& a : r.host->ActiveAlarms()) {
        stated.insert({a.code, a.key});
        seen = seen || a.key == "device_model";
      }
    }
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(seen);
  }
  // The host's communication alarm.
  stated.insert({qmx::kCommAlarmCode, qmx::kCommAlarmKey});

  for (const auto& [code, key] : stated)
    EXPECT_NE(nullptr, english->Find(code, key)) << "code " << code << " key " << key;
  // The built-in table is the file the package installs.
  std::string error;
  const auto from_file = AlarmNames::Load(K417T_SOURCE_DIR "/data/alarm-names/en.json", error);
  ASSERT_NE(nullptr, from_file) << error;
  EXPECT_EQ(from_file->rows().size(), english->rows().size());
  EXPECT_EQ(english->language(), "en");
}

TEST(AlarmNames, PlacesFromUnitsTextsAndSiteNames) {
  const auto t = AlarmNames::English();
  const DevicePlaces d = Device();
  // Screens count in the controller's order (31 before 30); the number after
  // 交流屏 is the input.
  EXPECT_EQ(
      Label(*t, d, Point(31, "AC_8", "06017", "交流输入缺相告警", "交流屏1输入线/相电压AB/A")),
      "AC input phase missing | AC screen 1, input 1, voltage AB/A");
  EXPECT_EQ(
      Label(*t, d, Point(30, "AC_6", "06014", "交流输入电压过高告警", "交流屏2输入线/相电压CA/C")),
      "AC input voltage too high | AC screen 2, input 2, voltage CA/C");
  EXPECT_EQ(Label(*t, d, Point(30, "AC_3", "06019", "交流输入频率过低告警", "交流屏3频率")),
            "AC input frequency too low | AC screen 2, input 3, frequency");
  // One code, several meanings: by key.
  EXPECT_EQ(Label(*t, d, Point(31, "AC_13", "06029", "B相输入电流低于下限", "其他告警")),
            "AC input current below lower limit | AC screen 1, phase B current");
  EXPECT_EQ(Label(*t, d, Point(31, "AC_18", "06029", "A相输入电流缺项", "其他告警")),
            "AC input current missing | AC screen 1, phase A current");
  // User-defined rows: name "0"; the input from 第N路.
  EXPECT_EQ(Label(*t, d, Point(30, "p40_44_4", "401415001", "0", "第2路交流输入-交流输入2停电")),
            "AC input 2 power failure | AC screen 2, input 2");
  EXPECT_EQ(Label(*t, d, Point(100, "RC_0", "06024", "整流模块故障告警", "模块3整流模块故障告警")),
            "Rectifier module fault | rectifier group, module 3");
  EXPECT_EQ(Label(*t, d, Point(22, "DC_3", "06001", "电池熔丝故障告警", "直流10电池熔丝故障告警")),
            "Battery fuse fault | DC distribution 2, fuse 10");
  // The controller's own points share its identifier with the rectifiers.
  EXPECT_EQ(Label(*t, d, Point(100, "comm", "comm", "通信中断告警", "连续3次无应答")),
            "Communication with the controller lost | controller");
  EXPECT_EQ(
      Label(*t, d,
            Point(100, "device_model", "70319", "设备配置检测", "本驱动类型:k417t 检测型号:X9")),
      "Controller model not supported | controller");

  // Two DC units state the same text: told apart by ordinal, or by the
  // site's names where it gives them (the controller keeps its own word).
  const auto low = [](uint32_t id) {
    return Point(id, "DC_0", "06008", "输出电压过低告警", "输出电压过低告警");
  };
  EXPECT_EQ(Label(*t, d, low(21)), "DC output voltage too low | DC distribution 1");
  EXPECT_EQ(Label(*t, d, low(22)), "DC output voltage too low | DC distribution 2");
  const DevicePlaces named =
      Device({{21, "Battery room A"}, {22, "Battery room B"}, {100, "Rectifier shelf"}});
  EXPECT_EQ(Label(*t, named, low(21)), "DC output voltage too low | Battery room A");
  EXPECT_EQ(Label(*t, named, low(22)), "DC output voltage too low | Battery room B");
  EXPECT_EQ(
      Label(*t, named, Point(100, "RC_0", "06024", "整流模块故障告警", "模块1整流模块故障告警")),
      "Rectifier module fault | Rectifier shelf, module 1");
  EXPECT_EQ(Label(*t, named, Point(100, "comm", "comm", "通信中断告警", "串口不可用")),
            "Communication with the controller lost | controller");
}

TEST(AlarmNames, UnknownPointsAndUnitsNeverFail) {
  const auto t = AlarmNames::English();
  const DevicePlaces d = Device();
  // A code the table lacks: the controller's own name, the unit's place.
  EXPECT_EQ(Label(*t, d, Point(21, "DC_9", "06099", "新告警", "直流2其他")),
            "新告警 | DC distribution 1");
  EXPECT_EQ(Label(*t, d, Point(30, "p40_44_9", "401499901", "0", "第1路交流输入-新")),
            "第1路交流输入-新 | AC screen 2");
  EXPECT_EQ(Label(*t, d, Point(100, "X_1", "1", "某", "某")), "某 | controller");
  // A unit without an image yet: its kind from the key, no ordinal.
  EXPECT_EQ(
      Label(*t, d, Point(55, "AC_9", "06017", "交流输入缺相告警", "交流屏2输入线/相电压BC/B")),
      "AC input phase missing | AC screen, input 2, voltage BC/B");
  EXPECT_EQ(Label(*t, d, Point(56, "ZZ", "7", "某", "某")), "某 | unit 56");
  // A device nothing is known of; numbers too long to be one; no number.
  const DevicePlaces none = MakeDevicePlaces(9, {}, {}, {});
  EXPECT_EQ(
      Label(*t, none, Point(9, "DC_3", "06001", "电池熔丝故障告警", "直流99999999999999电池")),
      "Battery fuse fault | DC distribution, fuse 999999999");
  EXPECT_EQ(Label(*t, none, Point(9, "RC_0", "06024", "", "")),
            "Rectifier module fault | rectifier group");
}

TEST(AlarmNames, AnotherLanguageFromAFile) {
  TempFile de(R"({"language": "de",
    "words": {"separator": "; ", "controller": "Steuerung", "unit": "Einheit {}",
              "ac": "Wechselstromverteiler {}", "rectifier": "Gleichrichter", "dc": "Gleichstromverteiler {}",
              "input": "Eingang {}", "module": "Modul {}", "fuse": "Sicherung {}"},
    "alarms": [{"code": "06017", "name": "Phasenausfall", "part": "input"},
               {"code": "06017", "key": "AC_8", "name": "Phasenausfall L1", "part": "input", "detail": "L1"}]})");
  std::string error;
  const auto t = AlarmNames::Load(de.path, error);
  ASSERT_NE(nullptr, t) << error;
  EXPECT_EQ(t->language(), "de");
  const DevicePlaces d = Device({{22, "Batterieraum"}});
  EXPECT_EQ(
      Label(*t, d, Point(31, "AC_8", "06017", "交流输入缺相告警", "交流屏1输入线/相电压AB/A")),
      "Phasenausfall L1 | Wechselstromverteiler 1; Eingang 1; L1");
  // A row without a key names every key of its code.
  EXPECT_EQ(
      Label(*t, d, Point(30, "AC_9", "06017", "交流输入缺相告警", "交流屏2输入线/相电压BC/B")),
      "Phasenausfall | Wechselstromverteiler 2; Eingang 2");
  EXPECT_EQ(Label(*t, d, Point(22, "DC_0", "06008", "输出电压过低告警", "输出电压过低告警")),
            "输出电压过低告警 | Batterieraum");
}

TEST(AlarmNames, BrokenFilesAreRefusedWithTheReason) {
  const std::string words =
      R"("words": {"separator": ", ", "controller": "c", "unit": "u {}", "ac": "a {}",
                   "rectifier": "r", "dc": "d {}", "input": "i {}", "module": "m {}", "fuse": "f {}"})";
  const std::pair<std::string, std::string> bad[] = {
      {"", "x:"},
      {"{", "x:"},
      {"[]", "a language file is an object"},
      {R"({"language": "xx", )" + words + R"(, "alarms": [], "extra": 1})",
       "extra: unknown member"},
      {R"({"language": 5, )" + words + R"(, "alarms": [{"code": "1", "name": "n"}]})",
       "language must be a non-empty string"},
      {R"({"language": "xx", "words": [], "alarms": [{"code": "1", "name": "n"}]})",
       "words must be an object"},
      {R"({"language": "xx", "words": {"separator": ", "}, "alarms": [{"code": "1", "name": "n"}]})",
       "words.controller is missing"},
      {R"({"language": "xx", "words": {"separator": 1}, "alarms": []})",
       "words.separator must be a string"},
      {R"({"language": "xx", )" + words + R"(, "alarms": {}})", "alarms must be a non-empty array"},
      {R"({"language": "xx", )" + words + R"(, "alarms": [7]})", "alarms[0] must be an object"},
      {R"({"language": "xx", )" + words + R"(, "alarms": [{"code": "1"}]})",
       "alarms[0].name must be a non-empty string"},
      {R"({"language": "xx", )" + words + R"(, "alarms": [{"code": "1", "name": ["n"]}]})",
       "alarms[0].name must be a non-empty string"},
      {R"({"language": "xx", )" + words +
           R"(, "alarms": [{"code": "1", "name": "n", "part": "pin"}]})",
       "alarms[0].part: \"pin\" is not one of the words"},
      {R"({"language": "xx", )" + words +
           R"(, "alarms": [{"code": "1", "name": "n", "unit": "dc"}]})",
       "alarms[0].unit may only be \"controller\""},
      {R"({"language": "xx", )" + words +
           R"(, "alarms": [{"code": "1", "name": "n", "colour": "red"}]})",
       "alarms[0].colour: unknown member"},
      {R"({"language": "xx", )" + words +
           R"(, "alarms": [{"code": "1", "key": "K", "name": "n"}, {"code": "1", "key": "K", "name": "m"}]})",
       "alarms[1]: code 1 key K is named before, in alarms[0]"},
      {std::string(100, '[') + std::string(100, ']'), "x:"},
  };
  for (const auto& [text, says] : bad) {
    std::string error;
    EXPECT_EQ(nullptr, AlarmNames::Parse(text, "x", error)) << text;
    EXPECT_NE(std::string::npos, error.find(says)) << text << "\n" << error;
  }
  std::string error;
  EXPECT_EQ(nullptr, AlarmNames::Load("/nonexistent/names.json", error));
  EXPECT_NE(std::string::npos, error.find("/nonexistent/names.json: cannot be read")) << error;
  EXPECT_EQ(nullptr, AlarmNames::Load("/tmp", error));
  EXPECT_NE(std::string::npos, error.find("/tmp")) << error;
  // Too long to be a language file: refused before it is parsed.
  TempFile huge(std::string(5u << 20, ' '));
  EXPECT_EQ(nullptr, AlarmNames::Load(huge.path, error));
}

// The board and the view label alarms with the table, the units the
// controller has and the site's names, and again when the table changes.
TEST(AlarmNames, BoardAndViewLabelAlarms) {
  k417t_test::OneRound r(Parse(R"({"address": 1,
        "ac": [{"inputs": [{"a": 0, "b": 380, "c": 380, "f": 50, "alerts": [3, 0, 0, 0]}]}],
        "rectifier": {"modules": [{"value": 20}, {"value": 21, "fault": 1}]},
        "dc": [{"v": 40, "i": 1, "v_state": 1}, {"v": 40, "i": 1, "v_state": 1}]})"),
                         "",
                         R"({"address": 1, "timeout_ms": 200, "acSetting": [{"data_id": 11}],
          "dcSetting": [{"data_id": 21}, {"data_id": 22}], "rcSetting": {}})");
  qmx::view::SiteView view(*r.host);
  qmx::view::SiteInfo site;
  site[100] = {"power-1", 9600, {}, {{21, "Battery room A"}, {22, "Battery room B"}}};
  view.SetSite(site);
  qmx::view::FrontEnds fronts(view);
  r.host->SetReportSink([&](const qmx::RoundReport& rep) { fronts.Round(rep); });
  std::string error;
  ASSERT_TRUE(fronts.StartAll(error)) << error;
  r.Poll(1);
  // The round reaches the front ends (and the board) on the host's job
  // worker: done once the host has shut down, which waits for its jobs.
  r.host->Shutdown();

  std::map<std::string, std::string> seen;
  for (const qmx::view::AlarmState& a : view.AlarmStates(100))
    seen[std::to_string(a.point.data_id) + " " + a.point.key] = a.name_en + " | " + a.place_en;
  EXPECT_EQ(seen["11 AC_8"], "AC input phase missing | AC screen 1, input 1, voltage AB/A");
  EXPECT_EQ(seen["21 DC_0"], "DC output voltage too low | Battery room A");
  EXPECT_EQ(seen["22 DC_0"], "DC output voltage too low | Battery room B");
  EXPECT_EQ(seen["100 RC_0"], "Rectifier module fault | rectifier group, module 2");

  // History events are labelled by the same door.
  qmx::store::AlarmEvent e;
  e.data_id = 22;
  e.key = "DC_3";
  e.code = "06001";
  e.text = "直流7电池熔丝故障告警";
  const auto l = view.Label(100, e);
  EXPECT_EQ(l.name_en + " | " + l.place_en, "Battery fuse fault | Battery room B, fuse 7");

  // Another table: the listed alarms take its words.
  TempFile other(R"({"language": "xx",
    "words": {"separator": " / ", "controller": "C", "unit": "U{}", "ac": "AC{}", "rectifier": "R",
              "dc": "DC{}", "input": "in{}", "module": "mod{}", "fuse": "fu{}"},
    "alarms": [{"code": "06024", "name": "RF", "part": "module"}]})");
  const auto table = AlarmNames::Load(other.path, error);
  ASSERT_NE(nullptr, table) << error;
  view.SetAlarmNames(table);
  for (const qmx::view::AlarmState& a : view.AlarmStates(100)) {
    if (a.point.key == "RC_0") {
      EXPECT_EQ(a.name_en + " | " + a.place_en, "RF | R / mod2");
    }
  }
  fronts.StopAll();
}
