#pragma once

// What the simulated power system reports: parsed from a scenario JSON file.
//
// Every member is optional. Bytes are numbers 0-255 or hex strings ("0x1F",
// "1F"); floats are numbers or 8 hex digits giving the four bytes as sent.
//   "address" 1, "ver" 0x21, "model" "K417T" (20 bytes on the wire),
//   "model_padding" "space"|"nul", "version" "1.20" (MAJOR.MINOR, each 0-255:
//   two bytes after the model text), "baud" 0 (answer pacing),
//   "data_flags" {"ac", "rc", "dc"}      flag byte of the three analog answers
//   "ac" [ {"inputs": [ {"a","b","c","f", "user": [floats],
//                        "alerts": [a, b, c, f], "other_states": [],
//                        "user_alarms": [8 bytes]} ],
//           "ia","ib","ic", "air_switches": [], "user_switches": [3 bytes],
//           "current_alerts": [ia, ib, ic]} ]
//   "rectifier" {"value", "modules": [ {"value", "user": [7 floats],
//                "states": [3 bytes], "user_states": [6], "fault",
//                "user_alarms": [8]} ]}
//   "dc" [ {"v","i", "m": [2 floats], "n": [], "user": [27 floats], "v_state",
//           "fuses": [10 bytes], "user_states": [87 bytes]} ]   (with 4 or more units
//           the 0x42/0x41 count byte is the low byte of the first unit's "v")
//   "ac_params" [5 floats], "ac_params_user" [], "dc_params" [2], "dc_params_user" []
//   "control_rtn" {"E4": 4}   return code per command byte (hex key), default 0
//   "faults" {"drop_every", "corrupt_checksum_every", "wrong_unit_count_every",
//             "delay_ms", "byte_by_byte", "byte_gap_ms", "garbage", "garbage_every"}
//   "changes" [ {"after_rounds": N, "set": {same shape, merged in}} ]
//   "noise" {"voltage": V, "current": A, "seed": N}   every round each voltage
//           (AC a/b/c, rectifier value, DC v) and current (AC ia/ib/ic, module
//           values, DC i and m) given as a number moves by up to ± that much
//           around its scenario value
//   "steps" {"every_rounds": N, "voltage": V, "current": A}   every N rounds one
//           of those values (in turn) steps up or down by that much and stays
//   "alarms" {"every_rounds": N, "rounds": M}   every N rounds the first DC
//           unit reports low voltage for M rounds
//   "battery" {"capacity_ah", "rate_h", "peukert", "cells", "temp_c",
//              "dc": 0, "m": 0, "temp_user": -1, "load_a",
//              "mains_lost_after_rounds", "mains_back_after_rounds",
//              "test_command": "11", "float_command": "10", "charge_a", "time_scale"}
//           a battery string on the DC unit `dc`: its current is that unit's
//           m value `m` (negative while it discharges), its temperature the
//           user value `temp_user` (-1: none). While mains is lost (AC inputs
//           at 0 V, phase missing) or a test runs (the control command whose
//           first byte is `test_command` starts one, `float_command` ends it:
//           the modules' charge mode reads "test" and they deliver nothing),
//           the string carries `load_a` (default the unit's i) and the bus
//           follows the string's voltage; otherwise the rectifiers float the
//           bus and recharge the string at up to `charge_a`. Time is the
//           real time between rounds × `time_scale`.
// Lists given replace the defaults; their lengths become the counts sent.
#include <json/json.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace k417t::sim {

// A float as it travels: four bytes, least significant first. A scenario gives
// a number, or a string of 8 hex digits for exact bytes ("20202020" sends the
// device's "no value" pattern).
struct WireFloat {
  std::array<uint8_t, 4> bytes{};
  static WireFloat of(float v);
};

struct AcInput {
  WireFloat a, b, c, f;
  std::vector<WireFloat> user;        // user-defined analog values
  std::array<uint8_t, 4> alerts{};    // a, b, c, f state bytes
  std::vector<uint8_t> other_states;  // further states of the alarm block (normally none)
  std::vector<uint8_t> user_alarms = std::vector<uint8_t>(8, 0);
};

struct AcScreen {
  std::vector<AcInput> inputs;
  WireFloat ia, ib, ic;
  std::vector<uint8_t> air_switches;
  std::vector<uint8_t> user_switches = std::vector<uint8_t>(3, 0);
  std::array<uint8_t, 3> current_alerts{};  // ia, ib, ic state bytes
};

struct RcModule {
  WireFloat value;
  std::vector<WireFloat> user = std::vector<WireFloat>(7);
  std::array<uint8_t, 3> states{};
  std::vector<uint8_t> user_states = std::vector<uint8_t>(6, 0);
  uint8_t fault = 0;
  std::vector<uint8_t> user_alarms = std::vector<uint8_t>(8, 0);
};

struct Rectifier {
  WireFloat value;
  std::vector<RcModule> modules;
};

struct DcUnit {
  WireFloat v, i;
  std::vector<WireFloat> m = std::vector<WireFloat>(2);
  std::vector<WireFloat> n;
  std::vector<WireFloat> user = std::vector<WireFloat>(27);
  uint8_t v_state = 0;
  std::vector<uint8_t> fuses = std::vector<uint8_t>(10, 0);
  std::vector<uint8_t> user_states = std::vector<uint8_t>(87, 0);
};

// Misbehaviour on request. "every" counts start at 1; 0 switches a fault off.
struct Faults {
  unsigned drop_every = 0;              // the Nth, 2Nth ... answer is not sent
  unsigned corrupt_checksum_every = 0;  // ... is sent with a wrong CHKSUM
  unsigned wrong_unit_count_every = 0;  // ... answer with a unit count reports one too many
  int delay_ms = 0;                     // every answer leaves this late
  bool byte_by_byte = false;            // every answer is written one byte at a time
  int byte_gap_ms = 1;                  // pause between those bytes
  std::string garbage;                  // sent before an answer ...
  unsigned garbage_every = 1;           // ... every Nth answer
};

struct Scenario {
  uint8_t address = 1;
  uint8_t ver = 0x21;
  std::string model = "K417T";
  bool model_nul_padded = false;          // pad the 20-byte model text with NUL instead of blanks
  std::array<uint8_t, 2> version{1, 20};  // major, minor: sent after the model text
  int baud = 0;                           // answer pacing, bytes/s = baud / 10; 0: none
  uint8_t ac_flag = 0, rc_flag = 0, dc_flag = 0;  // data flags of the analog answers
  std::vector<AcScreen> ac;
  Rectifier rectifier;
  std::vector<DcUnit> dc;
  std::vector<WireFloat> ac_params = std::vector<WireFloat>(5);
  std::vector<WireFloat> ac_params_user;
  std::vector<WireFloat> dc_params = std::vector<WireFloat>(2);
  std::vector<WireFloat> dc_params_user;
  std::map<uint8_t, uint8_t> control_rtn;  // command byte -> return code (default 0)
  Faults faults;
};

// One step of the timeline: after that many completed rounds, merge `set`
// into the scenario.
struct Change {
  unsigned after_rounds = 0;
  Json::Value set;
};

// Values that move the way a plant's do (see "noise", "steps", "alarms").
struct Motion {
  double noise_v = 0, noise_i = 0;
  uint32_t seed = 1;
  unsigned step_every = 0;
  double step_v = 0, step_i = 0;
  unsigned alarm_every = 0, alarm_rounds = 0;
  bool any() const { return noise_v > 0 || noise_i > 0 || step_every > 0 || alarm_every > 0; }
};

bool ParseMotion(const Json::Value& root, Motion* out, std::string* error);

// A battery string behind the DC bus (see "battery").
struct BatteryPlant {
  bool on = false;
  double capacity_ah = 100, rate_h = 10, peukert = 1.15, temp_c = 25;
  unsigned cells = 24;
  unsigned dc = 0, m = 0;
  int temp_user = -1;
  double load_a = -1;                       // -1: the DC unit's i
  unsigned lost_after = 0, back_after = 0;  // 0: never
  int test_command = -1, float_command = -1;
  double charge_a = 10;
  double time_scale = 1;
};
bool ParseBatteryPlant(const Json::Value& root, BatteryPlant* out, std::string* error);

// Calls f(value, is_voltage) for every voltage and current of a scenario
// object given as a number, in a fixed order.
void ForEachAnalog(Json::Value& root, const std::function<void(Json::Value&, bool)>& f);

// Fills *out from a scenario object (fields not given keep their defaults).
// On a bad field returns false with a message naming it.
bool ParseScenario(const Json::Value& root, Scenario* out, std::string* error);
bool ParseChanges(const Json::Value& root, std::vector<Change>* out, std::string* error);
bool LoadScenarioFile(const std::string& path, Json::Value* root, std::string* error);

// Deep merge: objects member by member; an array of objects element by
// element (by index, extra elements appended); anything else replaced.
void MergeJson(Json::Value& base, const Json::Value& patch);

}  // namespace k417t::sim
