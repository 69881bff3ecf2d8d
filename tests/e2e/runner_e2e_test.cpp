// The runner against the simulator over a pseudo-terminal, as a user runs it:
// values, alarms, control commands, faults on the line, bad site files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "e2e_util.h"

using namespace e2e;

TEST(RunnerE2E, ValuesReadEqualTheScenario) {
  TempDir t;
  const std::string scen = Example("scenario.json");
  const std::string site = SiteFor(ParseFile(scen), t.File("site.json"));
  RunResult r = RunRunner("--site " + site + " --simulate " + scen + " --rounds 2 --json --db " +
                    t.File("h.db") + " --log " + t.File("log"));
  ASSERT_EQ(0, r.exit_code) << r.raw;
  auto rounds = Rounds(r);
  ASSERT_EQ(2u, rounds.size()) << r.raw;
  for (const auto& v : r.lines) EXPECT_TRUE(v.isObject()) << v.asString();  // output stays clean
  const Json::Value& last = rounds.back();
  const Json::Value* ac = Unit(last, 11, "k417t-ac");
  ASSERT_NE(nullptr, ac);
  EXPECT_FLOAT_EQ(380.5f, (*ac)["values"]["channel_0_a"].asFloat());
  EXPECT_FLOAT_EQ(50.0f, (*ac)["values"]["channel_0_f"].asFloat());
  EXPECT_FLOAT_EQ(31.5f, (*ac)["values"]["ia"].asFloat());
  EXPECT_FLOAT_EQ(32.1f, (*ac)["values"]["ic"].asFloat());
  const Json::Value* dc = Unit(last, 21, "k417t-dc");
  ASSERT_NE(nullptr, dc);
  EXPECT_FLOAT_EQ(53.5f, (*dc)["values"]["v"].asFloat());
  EXPECT_FLOAT_EQ(120.4f, (*dc)["values"]["i"].asFloat());
  const Json::Value* rc = Unit(last, 100, "k417t-rc");
  ASSERT_NE(nullptr, rc);
  EXPECT_EQ(3u, (*rc)["values"]["module_count"].asUInt());
  EXPECT_FLOAT_EQ(39.8f, (*rc)["values"]["module_1_current"].asFloat());
  EXPECT_EQ("off", (*rc)["values"]["module_2_state"].asString());  // state bytes 1 0 0
  EXPECT_FLOAT_EQ(57.6f, (*rc)["values"]["dc_param_0"].asFloat());
  EXPECT_EQ(last["time"].asInt64(), (*rc)["time"].asInt64());  // epoch seconds, both
}

// The controller's "no value" patterns are null in the output, never a
// number made from the pattern's bytes.
TEST(RunnerE2E, NoValuePatternsAreNullNeverReadings) {
  TempDir t;
  const std::string scen = Example("scenarios/no_values.json");
  const std::string site = SiteFor(ParseFile(scen), t.File("site.json"));
  RunResult r = RunRunner("--site " + site + " --simulate " + scen + " --rounds 1 --json --db " +
                          t.File("h.db") + " --log " + t.File("log"));
  ASSERT_EQ(0, r.exit_code) << r.raw;
  auto rounds = Rounds(r);
  ASSERT_EQ(1u, rounds.size()) << r.raw;
  const Json::Value* ac = Unit(rounds[0], 11, "k417t-ac");
  const Json::Value* rc = Unit(rounds[0], 100, "k417t-rc");
  const Json::Value* dc = Unit(rounds[0], 21, "k417t-dc");
  ASSERT_TRUE(ac && rc && dc) << r.raw;
  EXPECT_TRUE((*ac)["values"]["ia"].isNull()) << r.raw;  // 20 20 20 20, stored as -0.1
  EXPECT_TRUE((*ac)["values"]["ic"].isNull());            // FF FF FF FF
  EXPECT_EQ(0.0, (*ac)["values"]["ib"].asDouble());       // four zero bytes are a reading
  EXPECT_FALSE((*ac)["values"]["ib"].isNull());
  EXPECT_TRUE((*rc)["values"]["rc_value"].isNull());
  EXPECT_TRUE((*rc)["values"]["module_0_current"].isNull());
  EXPECT_TRUE((*rc)["values"]["total_current"].isNull());  // no module has a reading
  EXPECT_TRUE((*dc)["values"]["user_0"].isNull());
  EXPECT_TRUE((*dc)["values"]["user_1"].isNull());
  EXPECT_EQ(0.0, (*dc)["values"]["user_2"].asDouble());
  EXPECT_TRUE((*dc)["values"]["user_3"].isNull());  // 05 05 05 04: 6e-36 is no reading
  EXPECT_TRUE((*ac)["values"]["channel_0_f"].isNull());  // nor 1.6e-36 Hz
  EXPECT_EQ(std::string::npos, r.raw.find("-0.1"));
  EXPECT_EQ(std::string::npos, r.raw.find("e-19"));
  EXPECT_EQ(std::string::npos, r.raw.find("e-36"));
  EXPECT_EQ(std::string::npos, r.raw.find("NaN"));
}

// Four DC units: the controller starts the first analog block at the count
// byte, so every unit after the first is read at its true offset and the
// first one's voltage carries the count in its low byte.
TEST(RunnerE2E, FourDcUnitsCompleteTheirRounds) {
  TempDir t;
  Json::Value scen = ParseFile(Example("scenario.json"));
  const Json::Value first = scen["dc"][0];
  for (int k = 0; k < 4; ++k) {
    scen["dc"][k] = first;
    scen["dc"][k]["v"] = 50.0 + k;
    scen["dc"][k]["i"] = 10.0 + k;
  }
  const std::string scen_file =
      Write(t.File("four.json"), Json::writeString(Json::StreamWriterBuilder(), scen));
  const std::string site = SiteFor(scen, t.File("site.json"));
  RunResult r = RunRunner("--site " + site + " --simulate " + scen_file +
                          " --rounds 2 --json --db " + t.File("h.db") + " --log " + t.File("log"));
  ASSERT_EQ(0, r.exit_code) << r.raw;
  auto rounds = Rounds(r);
  ASSERT_EQ(2u, rounds.size()) << r.raw;
  for (unsigned k = 0; k < 4; ++k) {
    const Json::Value* dc = Unit(rounds.back(), 21 + k, "k417t-dc");
    ASSERT_NE(nullptr, dc) << k;
    EXPECT_FLOAT_EQ(10.0f + k, (*dc)["values"]["i"].asFloat()) << k;
    EXPECT_NEAR(50.0 + k, (*dc)["values"]["v"].asDouble(), 1e-4) << k;
  }
}

TEST(RunnerE2E, AlarmsFollowTheScenarioStateBytes) {
  TempDir t;
  const std::string scen = Write(t.File("scen.json"), R"({
    "address": 1,
    "data_flags": { "ac": 17, "rc": 17, "dc": 17 },
    "rectifier": { "value": 53.5, "modules": [ { "value": 20.0 }, { "value": 21.0 } ] },
    "dc": [ { "v": 53.5, "i": 40.0 } ],
    "changes": [
      { "after_rounds": 1, "set": { "dc": [ { "v_state": 1 } ], "rectifier": { "modules": [ {}, { "fault": 1 } ] } } },
      { "after_rounds": 2, "set": { "dc": [ { "v_state": 0 } ] } } ] })");
  // The site names its DC unit: the readable place says that name.
  Json::Value site_json = ParseFile(SiteFor(ParseFile(scen), t.File("site.json")));
  site_json["devices"][0]["setting"]["dcSetting"][0]["name"] = "Battery room A";
  const std::string site =
      Write(t.File("site.json"), Json::writeString(Json::StreamWriterBuilder(), site_json));
  RunResult r = RunRunner("--site " + site + " --simulate " + scen + " --rounds 3 --json --alarms --db " +
                    t.File("h.db") + " --log " + t.File("log"));
  ASSERT_EQ(0, r.exit_code) << r.raw;
  auto rounds = Rounds(r);
  ASSERT_EQ(3u, rounds.size()) << r.raw;
  EXPECT_EQ(0u, rounds[0]["alarms"].size());
  std::map<std::string, std::string> second, third;
  for (const auto& e : rounds[1]["alarms"]) second[e["key"].asString()] = e["state"].asString();
  for (const auto& e : rounds[2]["alarms"]) third[e["key"].asString()] = e["state"].asString();
  EXPECT_EQ((std::map<std::string, std::string>{{"DC_0", "raised"}, {"RC_0", "raised"}}), second);
  EXPECT_EQ((std::map<std::string, std::string>{{"DC_0", "cleared"}}), third);
  for (const auto& e : rounds[1]["alarms"]) {
    if (e["key"] == "RC_0") {
      EXPECT_EQ("模块2整流模块故障告警", e["text"].asString());
      EXPECT_EQ(2u, e["seq"].asUInt());
      EXPECT_EQ("Rectifier module fault", e["name_en"].asString());
      EXPECT_EQ("rectifier group, module 2", e["place_en"].asString());
    } else {
      EXPECT_EQ("DC output voltage too low", e["name_en"].asString());
      EXPECT_EQ("Battery room A", e["place_en"].asString());
    }
  }
  // the summary at exit: only the rectifier fault is still active
  const Json::Value& summary = r.lines.back();
  ASSERT_EQ("active_alarms", summary["kind"].asString());
  ASSERT_EQ(1u, summary["alarms"].size());
  EXPECT_EQ("RC_0", summary["alarms"][0]["key"].asString());
  EXPECT_EQ("rectifier group, module 2", summary["alarms"][0]["place_en"].asString());

  // As text: the controller's words as they were, the readable ones after.
  RunResult text = RunRunner("--site " + site + " --simulate " + scen +
                             " --rounds 2 --quiet --db " + t.File("h2.db") + " --log " +
                             t.File("log2"));
  ASSERT_EQ(0, text.exit_code) << text.raw;
  const auto has = [&](const std::string& part) {
    return text.raw.find(part) != std::string::npos;
  };
  EXPECT_TRUE(has("[RC_0] 06024 整流模块故障告警 模块2整流模块故障告警 (")) << text.raw;
  EXPECT_TRUE(has(") \u2014 Rectifier module fault, rectifier group, module 2\n")) << text.raw;
  EXPECT_TRUE(has(") \u2014 DC output voltage too low, Battery room A\n")) << text.raw;
}

TEST(RunnerE2E, ControlCommandReturnCodeComesBack) {
  TempDir t;
  const std::string scen = Example("scenario.json");
  const std::string site = SiteFor(ParseFile(scen), t.File("site.json"));
  for (const auto& c : std::vector<std::pair<std::string, int>>{{"110:2", 4}, {"100", 0}}) {
    RunResult r = RunRunner("--site " + site + " --simulate " + scen + " --rounds 1 --json --control " +
                      c.first + " --db " + t.File("h.db") + " --log " + t.File("log"));
    ASSERT_EQ(0, r.exit_code) << r.raw;
    bool seen = false;
    for (const auto& v : r.lines) {
      if (v.isObject() && v["kind"] == "control") {
        EXPECT_EQ(c.second, v["result"].asInt()) << c.first;
        seen = true;
      }
    }
    EXPECT_TRUE(seen) << r.raw;
  }
}

TEST(RunnerE2E, EveryInjectedFaultStillCompletesItsRounds) {
  for (const char* name : {"lossy_line.json", "slow_controller.json", "wrong_unit_count.json",
                           "no_values.json"}) {
    TempDir t;
    const std::string scen = Example(std::string("scenarios/") + name);
    const std::string site = SiteFor(ParseFile(scen), t.File("site.json"));
    RunResult r = RunRunner("--site " + site + " --simulate " + scen + " --rounds 2 --json --db " +
                      t.File("h.db") + " --log " + t.File("log"));
    EXPECT_EQ(0, r.exit_code) << name << "\n" << r.raw;
    EXPECT_EQ(2u, Rounds(r).size()) << name;
  }
}

TEST(RunnerE2E, BadSiteFilesExitWithTwoAndAMessage) {
  TempDir t;
  const std::string scen = Example("scenario.json");
  struct Case {
    const char* text;
    const char* says;
  } cases[] = {
      {"{ not json", "not valid JSON"},
      {R"({"devices": []})", "devices"},
      {R"({"devices": [{"data_id": 1}]})", "setting"},
      {R"({"devices": [{"data_id": 1, "setting": {"acSetting": []}}]})", "refused"},
      {R"({"devices": [{"data_id": 1099511627776, "setting": {}}]})", "data_id"},
      {R"({"devices": [{"setting": {"address": 18446744073709551615, "rcSetting": {}}}]})",
       "refused"},
      // Files that load but cannot work: units whose history would mix, a
      // number cut short, text after the document, a port cut at a NUL,
      // a speed no serial driver sets.
      {R"({"devices": [{"data_id": 100, "setting": {"rcSetting": {},
                  "dcSetting": [{"data_id": 21}, {"data_id": 21}]}}]})",
       "device device-100: dcSetting[1].data_id is 21, as is device device-100: "
       "dcSetting[0].data_id"},
      {R"({"devices": [{"data_id": 100, "setting": {"rcSetting": {}, "dcSetting": [{"data_id": 7}]}},
                  {"data_id": 200, "setting": {"rcSetting": {}, "acSetting": [{"data_id": 7}]}}]})",
       "acSetting[0].data_id is 7"},
      {R"({"devices": [{"data_id": 100, "setting": {"rcSetting": {}, "acSetting": [{"data_id": 100}]}}]})",
       "as is the data_id of device device-100"},
      {R"({"devices": [{"data_id": 100, "setting": {"rcSetting": {}, "acSetting": [{"data_id": 11.5}]}}]})",
       "acSetting[0].data_id must be an unsigned integer"},
      {R"({"devices": [{"data_id": 100, "setting": {"rcSetting": {}}}]} trailing)",
       "not valid JSON"},
      {R"({"devices": [{"data_id": 100, "setting": {"port": "/dev/tty\u0000USB0", "rcSetting": {}}}]})",
       "devices[0].setting.port: a NUL character"},
      {R"({"devices": [{"data_id": 100, "setting": {"baud_rate": 12345, "rcSetting": {}}}]})",
       "baud_rate 12345 is not a speed"},
      // How the history is written: zero, negative, not a number, absurd,
      // unknown members.
      {R"({"devices": [{"data_id": 100, "setting": {"rcSetting": {}}}], "history": {"heartbeat_s": 0}})",
       "history.heartbeat_s must be a whole number above 0 and at most 86400 seconds"},
      {R"({"devices": [{"data_id": 100, "setting": {"rcSetting": {}}}], "history": {"commit_s": -5}})",
       "history.commit_s must be"},
      {R"({"devices": [{"data_id": 100, "setting": {"rcSetting": {}}}], "history": {"commit_s": 2.5}})",
       "history.commit_s must be a whole number"},
      {R"({"devices": [{"data_id": 100, "setting": {"rcSetting": {}}}], "history": {"max_mb": "big"}})",
       "history.max_mb must be a number, not \"big\""},
      {R"({"devices": [{"data_id": 100, "setting": {"rcSetting": {}}}], "history": {"max_mb": 1e300}})",
       "history.max_mb must be"},
      {R"({"devices": [{"data_id": 100, "setting": {"rcSetting": {}}}],
                  "history": {"rectifier": {"diff_i": 0}}})",
       "history.rectifier.diff_i must be a number above 0"},
      {R"({"devices": [{"data_id": 100, "setting": {"rcSetting": {}}}], "history": {"heartbeat": 60}})",
       "history.heartbeat is not known"},
      {R"({"devices": [{"data_id": 100, "setting": {"rcSetting": {}}}], "history": [300]})",
       "history must be an object"}};
  for (const Case& c : cases) {
    const std::string site = Write(t.File("site.json"), c.text);
    RunResult r = RunRunner("--site " + site + " --simulate " + scen + " --rounds 1 --db " +
                      t.File("h.db") + " 2>&1");
    EXPECT_EQ(2, r.exit_code) << c.text;
    EXPECT_NE(std::string::npos, r.raw.find(c.says)) << r.raw;
  }
  EXPECT_EQ(2, RunRunner("--rounds x 2>/dev/null").exit_code);
  const std::string site = SiteFor(ParseFile(scen), t.File("good.json"));
  for (const auto& [option, says] :
       {std::pair<const char*, const char*>{"--history-heartbeat 0", "--history-heartbeat must be"},
        {"--history-commit abc", "--history-commit must be a number, not \"abc\""},
        {"--history-max-mb 1e12", "--history-max-mb must be"},
        {"--history-max-mb nan", "--history-max-mb must be"}}) {
    RunResult r = RunRunner("--site " + site + " --simulate " + scen + " --rounds 1 --db " +
                            t.File("h.db") + " " + option + " 2>&1");
    EXPECT_EQ(2, r.exit_code) << option;
    EXPECT_NE(std::string::npos, r.raw.find(says)) << r.raw;
  }

  // Documents that jsoncpp answers with an exception: nesting, and values of
  // the wrong type or range in the scenario, also in a later timeline change.
  const std::string deep = std::string(10000, '[') + std::string(10000, ']');
  const std::string nested = Write(t.File("nested.json"), R"({"devices": )" + deep + "}");
  RunResult r = RunRunner("--site " + nested + " --simulate " + scen + " --rounds 1 --db " +
                          t.File("h.db") + " 2>&1");
  EXPECT_EQ(2, r.exit_code);
  EXPECT_NE(std::string::npos, r.raw.find("nested.json: nested deeper than")) << r.raw;
  Json::Value base = ParseFile(scen);
  struct Bad {
    const char* member;
    Json::Value value;
    const char* says;
  } bad[] = {{"data_flags", Json::Value(), "data_flags.ac"},
             {"ver", Json::Value(Json::UInt64(18446744073709551615u)), "ver"},
             {"model_padding", Json::Value(Json::arrayValue), "model_padding"},
             {"changes", Json::Value(), "changes[0]"}};
  for (Bad& b : bad) {
    Json::Value s = base;
    if (std::string(b.member) == "data_flags") {
      s["data_flags"]["ac"] = 1e19;
    } else if (std::string(b.member) == "changes") {
      s["changes"][0]["after_rounds"] = 2;
      s["changes"][0]["set"]["faults"]["drop_every"] = 1e19;
    } else {
      s[b.member] = b.value;
    }
    Json::StreamWriterBuilder w;
    const std::string file = Write(t.File("bad-scenario.json"), Json::writeString(w, s));
    r = RunRunner("--site " + site + " --simulate " + file + " --rounds 1 --db " + t.File("h.db") +
                  " 2>&1");
    EXPECT_EQ(2, r.exit_code) << b.member << r.raw;
    EXPECT_NE(std::string::npos, r.raw.find(b.says)) << r.raw;
  }
  for (const char* control : {"106", "106:300", "100:", "x", "4294967396", "999", "101", "100:3",
                              "-100", "106:-1", "106:0x100"}) {
    EXPECT_EQ(2, RunRunner("--site " + site + " --simulate " + scen + " --control " + control +
                           " --rounds 1 --db " + t.File("h.db") + " 2>/dev/null")
                     .exit_code)
        << control;
  }
}

TEST(RunnerE2E, RestartRestoresEveryUnitFromItsLastImage) {
  TempDir t;
  const std::string scen = Example("scenario.json");
  const std::string site = SiteFor(ParseFile(scen), t.File("site.json"));
  const std::string common = "--site " + site + " --simulate " + scen + " --json --db " +
                             t.File("h.db") + " --log " + t.File("log");
  RunResult first = RunRunner(common + " --rounds 1");
  ASSERT_EQ(0, first.exit_code) << first.raw;
  // before any round of the second run, the units answer from history
  RunResult second = RunRunner(common + " --rounds 1");
  ASSERT_EQ(0, second.exit_code) << second.raw;
  ASSERT_FALSE(second.lines.empty());
  const Json::Value& restored = second.lines.front();
  ASSERT_EQ("restored", restored["kind"].asString()) << second.raw;
  const Json::Value* ac = Unit(restored, 11, "k417t-ac");
  ASSERT_NE(nullptr, ac);
  EXPECT_FLOAT_EQ(31.5f, (*ac)["values"]["ia"].asFloat());
  const Json::Value* dc = Unit(restored, 22, "k417t-dc");
  ASSERT_NE(nullptr, dc);
  EXPECT_FLOAT_EQ(53.4f, (*dc)["values"]["v"].asFloat());
  const Json::Value* rc = Unit(restored, 100, "k417t-rc");
  ASSERT_NE(nullptr, rc);
  EXPECT_EQ(3u, (*rc)["values"]["module_count"].asUInt());
  // --no-restore: nothing to answer yet
  RunResult fresh = RunRunner(common + " --rounds 1 --no-restore");
  ASSERT_EQ(0, fresh.exit_code);
  EXPECT_NE("restored", fresh.lines.front()["kind"].asString());
}

// Restarts keep the alarm state: an alarm still active is not raised again,
// one whose point went away while the service was down (the input removed)
// is cleared after the first round, and the history counts one raise and one
// clear per point.
TEST(RunnerE2E, RestartsNeitherRaiseAgainNorForgetAlarms) {
  TempDir t;
  Json::Value scen = ParseFile(Example("scenario.json"));
  scen.removeMember("changes");
  for (int k = 0; k < 3; ++k) scen["ac"][0]["inputs"][1]["alerts"][k] = 3;  // phase loss, input 2
  const std::string file = Write(t.File("scen.json"), Json::writeString(Json::StreamWriterBuilder(), scen));
  const std::string site = SiteFor(scen, t.File("site.json"));
  auto run = [&](const std::string& scenario) {
    return RunRunner("--site " + site + " --simulate " + scenario + " --json --rounds 1 --db " +
                     t.File("h.db") + " --log " + t.File("log"));
  };
  auto alarms = [](const RunResult& r, const char* state) {
    std::vector<std::string> keys;
    for (const Json::Value& round : Rounds(r))
      for (const Json::Value& e : round["alarms"])
        if (e["state"].asString() == state) keys.push_back(e["key"].asString());
    std::sort(keys.begin(), keys.end());
    return keys;
  };
  const std::vector<std::string> phase_loss{"AC_10", "AC_8", "AC_9"};
  RunResult first = run(file);
  ASSERT_EQ(0, first.exit_code) << first.raw;
  EXPECT_EQ(phase_loss, alarms(first, "raised"));
  for (int i = 0; i < 2; ++i) {
    RunResult again = run(file);
    ASSERT_EQ(0, again.exit_code) << again.raw;
    EXPECT_TRUE(alarms(again, "raised").empty()) << again.raw;
  }
  Json::Value one_input = scen;
  one_input["ac"][0]["inputs"].resize(1);
  const std::string smaller =
      Write(t.File("one-input.json"), Json::writeString(Json::StreamWriterBuilder(), one_input));
  RunResult removed = run(smaller);
  ASSERT_EQ(0, removed.exit_code) << removed.raw;
  EXPECT_EQ(phase_loss, alarms(removed, "cleared")) << removed.raw;
  EXPECT_TRUE(alarms(run(smaller), "cleared").empty());

  RunResult events = RunRunner("history --db " + t.File("h.db") + " --device 11 --events --format csv");
  int raised = 0, cleared = 0;
  for (size_t at = 0; (at = events.raw.find(",raised,", at)) != std::string::npos; ++at) ++raised;
  for (size_t at = 0; (at = events.raw.find(",cleared,", at)) != std::string::npos; ++at) ++cleared;
  EXPECT_EQ(3, raised) << events.raw;
  EXPECT_EQ(3, cleared) << events.raw;
}

TEST(RunnerE2E, UnwritableDatabaseIsLoggedAndPollingGoesOn) {
  TempDir t;
  const std::string scen = Example("scenario.json");
  const std::string site = SiteFor(ParseFile(scen), t.File("site.json"));
  RunResult r = RunRunner("--site " + site + " --simulate " + scen +
                          " --rounds 2 --json --db /proc/k417t-history.db --log " + t.File("log"));
  EXPECT_EQ(0, r.exit_code) << r.raw;
  EXPECT_EQ(2u, Rounds(r).size());
  std::ifstream log(t.File("log"));
  const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(std::string::npos, text.find("/proc/k417t-history.db")) << text;
}

namespace {

// Two devices of the example on one port, at addresses 1 and 2.
Json::Value SharedPortSite(int second_baud) {
  Json::Value site(Json::objectValue);
  for (int i = 0; i < 2; ++i) {
    Json::Value& d = site["devices"][i];
    d["name"] = i == 0 ? "power-a" : "power-b";
    d["data_id"] = 100 * (i + 1);
    Json::Value& s = d["setting"];
    s["port"] = "/dev/ttyRS485";
    s["address"] = i + 1;
    s["timeout_ms"] = 1500;
    s["baud_rate"] = i == 0 ? 9600 : second_baud;
    s["acSetting"][0]["data_id"] = 100 * (i + 1) + 11;
    s["dcSetting"][0]["data_id"] = 100 * (i + 1) + 21;
    s["dcSetting"][1]["data_id"] = 100 * (i + 1) + 22;
    s["rcSetting"] = Json::Value(Json::objectValue);
  }
  return site;
}

}  // namespace

TEST(RunnerE2E, TwoControllersOnOnePortBothCompleteTheirRounds) {
  TempDir t;
  const std::string site =
      Write(t.File("site.json"), Json::writeString(Json::StreamWriterBuilder(), SharedPortSite(9600)));
  RunResult r = RunRunner("--site " + site + " --simulate " + Example("scenario.json") +
                          " --rounds 2 --json --db " + t.File("h.db") + " --log " + t.File("log"));
  ASSERT_EQ(0, r.exit_code) << r.raw;
  std::map<unsigned, int> rounds;
  for (const auto& v : Rounds(r)) rounds[v["device"].asUInt()]++;
  EXPECT_GE(rounds[100], 2);
  EXPECT_GE(rounds[200], 2);
}

TEST(RunnerE2E, OnePortAtTwoSpeedsIsASiteFileErrorNamingBothDevices) {
  TempDir t;
  const std::string site = Write(t.File("site.json"),
                                 Json::writeString(Json::StreamWriterBuilder(), SharedPortSite(19200)));
  RunResult r = RunRunner("--site " + site + " --simulate " + Example("scenario.json") +
                          " --rounds 1 --db " + t.File("h.db") + " 2>&1");
  EXPECT_EQ(2, r.exit_code);
  EXPECT_NE(std::string::npos, r.raw.find("power-a")) << r.raw;
  EXPECT_NE(std::string::npos, r.raw.find("power-b")) << r.raw;
  EXPECT_NE(std::string::npos, r.raw.find("/dev/ttyRS485")) << r.raw;
}

// One runner per history database: while another process holds the lock
// beside it (as a running runner does), a second runner exits 2 naming the
// holder's PID and leaves the database alone; `history` still reads it.
TEST(RunnerE2E, SecondRunnerOnTheSameDatabaseExitsTwoNamingTheHolder) {
  TempDir t;
  const std::string scen = Example("scenario.json");
  const std::string site = SiteFor(ParseFile(scen), t.File("site.json"));
  const std::string db = t.File("h.db");
  ASSERT_EQ(0, RunRunner("--site " + site + " --simulate " + scen + " --rounds 1 --quiet --db " +
                         db + " --log " + t.File("log"))
                   .exit_code);
  const int fd = open((db + ".lock").c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << "the runner leaves its lock file beside the database";
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  ASSERT_EQ(0, fcntl(fd, F_SETLK, &whole)) << "a runner that ended holds no lock";
  const RunResult second = RunRunner("--site " + site + " --simulate " + scen +
                                     " --rounds 1 --quiet --db " + db + " 2>&1");
  EXPECT_EQ(2, second.exit_code);
  EXPECT_NE(std::string::npos, second.raw.find("PID " + std::to_string(getpid()))) << second.raw;
  const RunResult history = RunRunner("history --device 11 --db " + db);
  EXPECT_EQ(0, history.exit_code);
  EXPECT_NE(std::string::npos, history.raw.find("type")) << history.raw;
  close(fd);
}
