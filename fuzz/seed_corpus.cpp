// Writes the fuzz targets' seed inputs from the simulator's well-formed
// answers: seed_corpus <examples folder> <corpus folder>. Run by hand (or by
// scripts/fuzz.sh --seeds) when the answers or the input formats change; the
// seeds are kept in fuzz/corpus/<target>/.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "fuzz/fuzz_host.h"
#include "input/checked_json.h"
#include "sim/answers.h"
#include "sim/scenario.h"
#include "wire/frame_codec.h"

using k417t::sim::Bytes;
using k417t::sim::Scenario;
using namespace k417t_fuzz;

namespace {

std::string g_out;

void Save(const std::string& target, const std::string& name, const Bytes& data) {
  const std::string dir = g_out + "/" + target;
  mkdir(dir.c_str(), 0755);
  std::ofstream(dir + "/" + name, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

void Answer(Bytes& out, uint8_t cid1, const Bytes& info, uint8_t rtn = 0) {
  Append(out, {op::kAnswer, cid1, rtn, static_cast<uint8_t>(info.size() & 0xFF),
               static_cast<uint8_t>(info.size() >> 8)});
  Append(out, info);
}

void Read(Bytes& out, uint8_t unit, const std::string& key) {
  Append(out, {op::kRead, unit, static_cast<uint8_t>(key.size())});
  Append(out, Bytes(key.begin(), key.end()));
}

// Two rounds of the controller: the first fetches everything, the second
// follows the data flags; then a control command, its answer and a query.
Bytes ControllerSeed(const Scenario& s) {
  using namespace k417t::sim;
  Bytes out{static_cast<uint8_t>(s.ac.size() | (s.dc.size() << 4)), 0};
  for (int round = 0; round < 2; ++round) {
    out.push_back(op::kPoll);
    if (round == 0) Answer(out, 0x40, ModelInfo(s));
    if (!s.ac.empty()) {
      Answer(out, 0x40, AcAnalogInfo(s));
      Answer(out, 0x40, AcSwitchInfo(s));
      Answer(out, 0x40, AcAlarmInfo(s));
    }
    Answer(out, 0x41, RcAnalogInfo(s));
    Answer(out, 0x41, RcStateInfo(s));
    Answer(out, 0x41, RcAlarmInfo(s));
    if (!s.dc.empty()) {
      Answer(out, 0x42, DcAnalogInfo(s));
      Answer(out, 0x42, DcStateInfo(s));
      if (!s.ac.empty()) Answer(out, 0x40, AcParamInfo(s));
      Answer(out, 0x42, DcParamInfo(s));
    }
    Append(out, {op::kAge, 3});
  }
  Read(out, 0, "channel_0_a");
  Read(out, 0, "ia");
  Read(out, 1, "v");
  Append(out, {op::kControl, 106 - 98, 3, 4 << 1});
  Answer(out, 0x41, {});
  Append(out, {op::kControl, 0, 0, 4 << 1});
  return out;
}

void UnitSeeds(const Scenario& s, const std::string& name) {
  using namespace k417t::sim;
  auto tail = [](const Bytes& b, size_t from) { return Bytes(b.begin() + std::min(from, b.size()), b.end()); };
  auto parse = [](Bytes& out, uint8_t parser, const Bytes& slice) {
    Append(out, {op::kParse, parser, static_cast<uint8_t>(slice.size() & 0xFF),
                 static_cast<uint8_t>(slice.size() >> 8)});
    Append(out, slice);
  };
  auto finish = [](Bytes& out, const char* key) {
    Append(out, {op::kRoundDone, op::kUnitRead, static_cast<uint8_t>(std::string(key).size())});
    for (const char* k = key; *k; ++k) out.push_back(static_cast<uint8_t>(*k));
  };
  if (!s.ac.empty()) {
    Bytes ac{0};
    parse(ac, 0, tail(AcAnalogInfo(s), 2));
    parse(ac, 1, tail(AcSwitchInfo(s), 2));
    parse(ac, 2, tail(AcAlarmInfo(s), 2));
    finish(ac, "channel_0_b");
    Save("units_fuzz", name + "-ac", ac);
  }
  Bytes rc{1};
  parse(rc, 0, RcAnalogInfo(s));
  parse(rc, 1, RcStateInfo(s));
  parse(rc, 2, RcAlarmInfo(s));
  parse(rc, 3, AcParamInfo(s));
  parse(rc, 4, DcParamInfo(s));
  finish(rc, "v");
  Save("units_fuzz", name + "-rc", rc);
  if (!s.dc.empty()) {
    Bytes dc{2};
    parse(dc, 0, tail(DcAnalogInfo(s), s.dc.size() <= 3 ? 2 : 1));
    parse(dc, 1, tail(DcStateInfo(s), 2));
    finish(dc, "i");
    Save("units_fuzz", name + "-dc", dc);
  }
}

// The answers of one round as they come off the line, cut in chunks of 1 to
// 16 bytes; the last byte asks for the full information field.
Bytes DecoderSeed(const Scenario& s) {
  using namespace k417t::sim;
  Bytes out;
  for (int i = 0; i < 16; ++i) out.push_back(static_cast<uint8_t>(i * 7));
  const std::pair<uint8_t, Bytes> answers[] = {
      {0x40, ModelInfo(s)}, {0x40, AcAnalogInfo(s)}, {0x41, RcAnalogInfo(s)},
      {0x42, DcAnalogInfo(s)}, {0x42, DcParamInfo(s)}};
  for (const auto& a : answers) {
    Append(out, qmx::wire::encode_frame(s.ver, s.address, a.first, 0, a.second));
  }
  out.push_back(1);
  return out;
}

Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: seed_corpus EXAMPLES_DIR CORPUS_DIR\n";
    return 2;
  }
  const std::string examples = argv[1];
  g_out = argv[2];
  mkdir(g_out.c_str(), 0755);
  const std::vector<std::string> scenarios = {"scenario.json", "scenarios/alarm_storm.json",
                                              "scenarios/no_values.json",
                                              "scenarios/wrong_unit_count.json"};
  for (const std::string& file : scenarios) {
    Json::Value root;
    std::string error;
    Scenario s;
    if (!qmx::json::ReadFile(examples + "/" + file, root, error) ||
        !k417t::sim::ParseScenario(root, &s, &error)) {
      std::cerr << error << "\n";
      return 1;
    }
    std::string name = file.substr(file.rfind('/') + 1);
    name = name.substr(0, name.size() - 5);
    Save("controller_fuzz", name, ControllerSeed(s));
    UnitSeeds(s, name);
    Save("frame_decoder_fuzz", name, DecoderSeed(s));
    Save("scenario_fuzz", name, FileBytes(examples + "/" + file));
    // Four DC units: the first analog block starts at the count byte.
    if (file == "scenario.json") {
      Scenario four = s;
      while (four.dc.size() < 4) four.dc.push_back(s.dc.front());
      Save("controller_fuzz", "four-dc", ControllerSeed(four));
      UnitSeeds(four, "four-dc");
    }
  }
  Save("site_fuzz", "site", FileBytes(examples + "/site.json"));
  const std::string setting =
      R"({"port": "/dev/ttyUSB0", "address": 2, "timeout_ms": 500, "baud_rate": 9600,
 "acSetting": [{"data_id": 11, "appSetting": {"diff_v": "0.5", "diff_i": 2}}],
 "dcSetting": [{"data_id": 21}, {"data_id": 22}, {"data_id": 23}, {"data_id": 24}],
 "rcSetting": {}})";
  Save("site_fuzz", "setting", Bytes(setting.begin(), setting.end()));
  return 0;
}
