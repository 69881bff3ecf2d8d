#include "sim/scenario.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "input/checked_json.h"

namespace k417t::sim {
namespace {

// Thrown inside the parser only; ParseScenario turns it into a message.
struct BadField : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void bad(const std::string& path, const std::string& what) {
  throw BadField(path + ": " + what);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A byte: a number 0-255 or a string "0x1F" / "1F".
uint8_t to_byte(const Json::Value& v, const std::string& path) {
  if (v.isNumeric()) {
    int64_t n = 0;
    if (!qmx::json::ToIntIn(v, 0, 255, n)) bad(path, "byte out of range");
    return static_cast<uint8_t>(n);
  }
  if (v.isString()) {
    std::string s = v.asString();
    if (s.rfind("0x", 0) == 0 || s.rfind("0X", 0) == 0) s = s.substr(2);
    if (s.empty() || s.size() > 2) bad(path, "not a hex byte");
    unsigned n = 0;
    for (char c : s) {
      const int d = hex_digit(c);
      if (d < 0) bad(path, "not a hex byte");
      n = n * 16 + static_cast<unsigned>(d);
    }
    return static_cast<uint8_t>(n);
  }
  bad(path, "not a byte");
}

// "MAJOR.MINOR", each a decimal number 0-255.
bool to_version(const std::string& text, std::array<uint8_t, 2>* out) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos) return false;
  const std::string parts[2] = {text.substr(0, dot), text.substr(dot + 1)};
  for (size_t i = 0; i < 2; ++i) {
    const std::string& p = parts[i];
    if (p.empty() || p.size() > 3) return false;
    unsigned n = 0;
    for (char c : p) {
      if (c < '0' || c > '9') return false;
      n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n > 255) return false;
    (*out)[i] = static_cast<uint8_t>(n);
  }
  return true;
}

WireFloat to_float(const Json::Value& v, const std::string& path) {
  double d = 0;
  if (qmx::json::ToDouble(v, d)) return WireFloat::of(static_cast<float>(d));
  if (v.isString() && v.asString().size() == 8) {
    const std::string s = v.asString();
    WireFloat f;
    for (size_t i = 0; i < 4; ++i) {
      const int h = hex_digit(s[2 * i]);
      const int l = hex_digit(s[2 * i + 1]);
      if (h < 0 || l < 0) bad(path, "not 8 hex digits");
      f.bytes[i] = static_cast<uint8_t>(h * 16 + l);
    }
    return f;
  }
  bad(path, "not a number or 8 hex digits");
}

unsigned to_uint(const Json::Value& v, const std::string& path) {
  int64_t n = 0;
  if (!qmx::json::ToIntIn(v, 0, 1000000000, n)) bad(path, "not a count (an integer 0-1000000000)");
  return static_cast<unsigned>(n);
}

const Json::Value& array_at(const Json::Value& obj, const char* key, const std::string& path) {
  const Json::Value& v = obj[key];
  if (!v.isArray()) bad(path + "." + key, "not an array");
  if (v.size() > 255) bad(path + "." + key, "more than 255 entries (count is one byte)");
  return v;
}

// Optional list member: left as it is when absent.
void bytes_of(const Json::Value& obj, const char* key, const std::string& path,
              std::vector<uint8_t>* out) {
  if (!obj.isMember(key)) return;
  const Json::Value& a = array_at(obj, key, path);
  out->clear();
  for (Json::ArrayIndex i = 0; i < a.size(); ++i) {
    out->push_back(to_byte(a[i], path + "." + key + "[" + std::to_string(i) + "]"));
  }
}

template <size_t N>
void fixed_bytes_of(const Json::Value& obj, const char* key, const std::string& path,
                    std::array<uint8_t, N>* out) {
  if (!obj.isMember(key)) return;
  std::vector<uint8_t> v;
  bytes_of(obj, key, path, &v);
  if (v.size() != N) bad(path + "." + key, "needs exactly " + std::to_string(N) + " bytes");
  std::memcpy(out->data(), v.data(), N);
}

void floats_of(const Json::Value& obj, const char* key, const std::string& path,
               std::vector<WireFloat>* out) {
  if (!obj.isMember(key)) return;
  const Json::Value& a = array_at(obj, key, path);
  out->clear();
  for (Json::ArrayIndex i = 0; i < a.size(); ++i) {
    out->push_back(to_float(a[i], path + "." + key + "[" + std::to_string(i) + "]"));
  }
}

void float_of(const Json::Value& obj, const char* key, const std::string& path, WireFloat* out) {
  if (obj.isMember(key)) *out = to_float(obj[key], path + "." + key);
}

void byte_of(const Json::Value& obj, const char* key, const std::string& path, uint8_t* out) {
  if (obj.isMember(key)) *out = to_byte(obj[key], path + "." + key);
}

void uint_of(const Json::Value& obj, const char* key, const std::string& path, unsigned* out) {
  if (obj.isMember(key)) *out = to_uint(obj[key], path + "." + key);
}

void check_object(const Json::Value& v, const std::string& path) {
  if (!v.isObject()) bad(path, "not an object");
}

AcInput parse_ac_input(const Json::Value& o, const std::string& p) {
  check_object(o, p);
  AcInput in;
  float_of(o, "a", p, &in.a);
  float_of(o, "b", p, &in.b);
  float_of(o, "c", p, &in.c);
  float_of(o, "f", p, &in.f);
  floats_of(o, "user", p, &in.user);
  fixed_bytes_of(o, "alerts", p, &in.alerts);
  bytes_of(o, "other_states", p, &in.other_states);
  bytes_of(o, "user_alarms", p, &in.user_alarms);
  return in;
}

AcScreen parse_ac_screen(const Json::Value& o, const std::string& p) {
  check_object(o, p);
  AcScreen s;
  if (o.isMember("inputs")) {
    const Json::Value& a = array_at(o, "inputs", p);
    for (Json::ArrayIndex i = 0; i < a.size(); ++i) {
      s.inputs.push_back(parse_ac_input(a[i], p + ".inputs[" + std::to_string(i) + "]"));
    }
  }
  float_of(o, "ia", p, &s.ia);
  float_of(o, "ib", p, &s.ib);
  float_of(o, "ic", p, &s.ic);
  bytes_of(o, "air_switches", p, &s.air_switches);
  bytes_of(o, "user_switches", p, &s.user_switches);
  fixed_bytes_of(o, "current_alerts", p, &s.current_alerts);
  return s;
}

RcModule parse_module(const Json::Value& o, const std::string& p) {
  check_object(o, p);
  RcModule m;
  float_of(o, "value", p, &m.value);
  floats_of(o, "user", p, &m.user);
  fixed_bytes_of(o, "states", p, &m.states);
  bytes_of(o, "user_states", p, &m.user_states);
  byte_of(o, "fault", p, &m.fault);
  bytes_of(o, "user_alarms", p, &m.user_alarms);
  return m;
}

DcUnit parse_dc(const Json::Value& o, const std::string& p) {
  check_object(o, p);
  DcUnit d;
  float_of(o, "v", p, &d.v);
  float_of(o, "i", p, &d.i);
  floats_of(o, "m", p, &d.m);
  floats_of(o, "n", p, &d.n);
  floats_of(o, "user", p, &d.user);
  byte_of(o, "v_state", p, &d.v_state);
  bytes_of(o, "fuses", p, &d.fuses);
  bytes_of(o, "user_states", p, &d.user_states);
  return d;
}

void parse_faults(const Json::Value& o, Faults* f) {
  const std::string p = "faults";
  check_object(o, p);
  uint_of(o, "drop_every", p, &f->drop_every);
  uint_of(o, "corrupt_checksum_every", p, &f->corrupt_checksum_every);
  uint_of(o, "wrong_unit_count_every", p, &f->wrong_unit_count_every);
  unsigned ms = static_cast<unsigned>(f->delay_ms);
  uint_of(o, "delay_ms", p, &ms);
  f->delay_ms = static_cast<int>(ms);
  if (o.isMember("byte_by_byte")) {
    if (!o["byte_by_byte"].isBool()) bad(p + ".byte_by_byte", "not true/false");
    f->byte_by_byte = o["byte_by_byte"].asBool();
  }
  unsigned gap = static_cast<unsigned>(f->byte_gap_ms);
  uint_of(o, "byte_gap_ms", p, &gap);
  f->byte_gap_ms = static_cast<int>(gap);
  if (o.isMember("garbage")) {
    if (!o["garbage"].isString()) bad(p + ".garbage", "not a string");
    f->garbage = o["garbage"].asString();
  }
  uint_of(o, "garbage_every", p, &f->garbage_every);
}

void parse_root(const Json::Value& root, Scenario* s) {
  check_object(root, "scenario");
  const std::string p = "scenario";
  byte_of(root, "address", p, &s->address);
  byte_of(root, "ver", p, &s->ver);
  if (root.isMember("model")) {
    if (!root["model"].isString() || root["model"].asString().size() > 20) {
      bad("model", "not a text of at most 20 bytes");
    }
    s->model = root["model"].asString();
  }
  if (root.isMember("model_padding")) {
    std::string pad;
    if (!qmx::json::ToString(root["model_padding"], pad)) bad("model_padding", "not a string");
    if (pad != "space" && pad != "nul") bad("model_padding", "neither \"space\" nor \"nul\"");
    s->model_nul_padded = pad == "nul";
  }
  if (root.isMember("version")) {
    std::string text;
    std::array<uint8_t, 2> v{};
    if (!qmx::json::ToString(root["version"], text) || !to_version(text, &v))
      bad("version", "not \"MAJOR.MINOR\" with two numbers 0-255");
    s->version = v;
  }
  if (root.isMember("baud")) s->baud = static_cast<int>(to_uint(root["baud"], "baud"));
  if (root.isMember("data_flags")) {
    const Json::Value& f = root["data_flags"];
    check_object(f, "data_flags");
    byte_of(f, "ac", "data_flags", &s->ac_flag);
    byte_of(f, "rc", "data_flags", &s->rc_flag);
    byte_of(f, "dc", "data_flags", &s->dc_flag);
  }
  if (root.isMember("ac")) {
    const Json::Value& a = array_at(root, "ac", "");
    s->ac.clear();
    for (Json::ArrayIndex i = 0; i < a.size(); ++i) {
      s->ac.push_back(parse_ac_screen(a[i], "ac[" + std::to_string(i) + "]"));
    }
  }
  if (root.isMember("rectifier")) {
    const Json::Value& r = root["rectifier"];
    check_object(r, "rectifier");
    float_of(r, "value", "rectifier", &s->rectifier.value);
    if (r.isMember("modules")) {
      const Json::Value& a = array_at(r, "modules", "rectifier");
      s->rectifier.modules.clear();
      for (Json::ArrayIndex i = 0; i < a.size(); ++i) {
        s->rectifier.modules.push_back(
            parse_module(a[i], "rectifier.modules[" + std::to_string(i) + "]"));
      }
    }
  }
  if (root.isMember("dc")) {
    const Json::Value& a = array_at(root, "dc", "");
    s->dc.clear();
    for (Json::ArrayIndex i = 0; i < a.size(); ++i) {
      s->dc.push_back(parse_dc(a[i], "dc[" + std::to_string(i) + "]"));
    }
  }
  floats_of(root, "ac_params", p, &s->ac_params);
  floats_of(root, "ac_params_user", p, &s->ac_params_user);
  floats_of(root, "dc_params", p, &s->dc_params);
  floats_of(root, "dc_params_user", p, &s->dc_params_user);
  if (s->ac_params.size() != 5) bad("ac_params", "needs exactly 5 values");
  if (s->dc_params.size() != 2) bad("dc_params", "needs exactly 2 values");
  if (root.isMember("control_rtn")) {
    const Json::Value& c = root["control_rtn"];
    check_object(c, "control_rtn");
    s->control_rtn.clear();
    for (const std::string& key : c.getMemberNames()) {
      s->control_rtn[to_byte(Json::Value(key), "control_rtn key " + key)] =
          to_byte(c[key], "control_rtn." + key);
    }
  }
  if (root.isMember("faults")) parse_faults(root["faults"], &s->faults);
}

}  // namespace

WireFloat WireFloat::of(float v) {
  WireFloat f;
  std::memcpy(f.bytes.data(), &v, 4);
  return f;
}

bool ParseScenario(const Json::Value& root, Scenario* out, std::string* error) {
  Scenario s;
  try {
    parse_root(root, &s);
  } catch (const BadField& e) {
    if (error != nullptr) *error = e.what();
    return false;
  } catch (const std::exception& e) {
    // A value jsoncpp could not convert that no check above caught.
    if (error != nullptr) *error = std::string("scenario: unusable value: ") + e.what();
    return false;
  }
  *out = std::move(s);
  return true;
}

bool ParseChanges(const Json::Value& root, std::vector<Change>* out, std::string* error) {
  out->clear();
  if (!qmx::json::Has(root, "changes")) return true;
  const Json::Value& a = root["changes"];
  try {
    if (!a.isArray()) bad("changes", "not an array");
    for (Json::ArrayIndex i = 0; i < a.size(); ++i) {
      const std::string p = "changes[" + std::to_string(i) + "]";
      check_object(a[i], p);
      Change c;
      uint_of(a[i], "after_rounds", p, &c.after_rounds);
      c.set = a[i]["set"];
      check_object(c.set, p + ".set");
      out->push_back(std::move(c));
    }
  } catch (const BadField& e) {
    if (error != nullptr) *error = e.what();
    return false;
  } catch (const std::exception& e) {
    if (error != nullptr) *error = std::string("changes: unusable value: ") + e.what();
    return false;
  }
  return true;
}

bool LoadScenarioFile(const std::string& path, Json::Value* root, std::string* error) {
  std::string err;
  if (qmx::json::ReadFile(path, *root, err)) return true;
  if (error != nullptr) *error = err;
  return false;
}

void MergeJson(Json::Value& base, const Json::Value& patch) {
  if (patch.isObject() && base.isObject()) {
    for (const std::string& key : patch.getMemberNames()) MergeJson(base[key], patch[key]);
    return;
  }
  if (patch.isArray() && base.isArray() && patch.size() > 0 && patch[0].isObject()) {
    for (Json::ArrayIndex i = 0; i < patch.size(); ++i) {
      if (i < base.size()) {
        MergeJson(base[i], patch[i]);
      } else {
        base.append(patch[i]);
      }
    }
    return;
  }
  base = patch;
}

bool ParseMotion(const Json::Value& root, Motion* out, std::string* error) {
  auto fail = [error](const std::string& what) {
    if (error != nullptr) *error = what;
    return false;
  };
  auto number = [&](const Json::Value& obj, const std::string& at, const char* name, double hi,
                    double& to) {
    const Json::Value& v = obj[name];
    if (v.isNull()) return true;
    if (!v.isNumeric() || v.asDouble() < 0 || v.asDouble() > hi)
      return fail(at + "." + name + ": must be a number from 0 to " +
                  std::to_string(static_cast<long long>(hi)));
    to = v.asDouble();
    return true;
  };
  auto count = [&](const Json::Value& obj, const std::string& at, const char* name, unsigned& to) {
    const Json::Value& v = obj[name];
    if (v.isNull()) return true;
    if (!v.isUInt() || v.asUInt() > 100000000u)
      return fail(at + "." + name + ": must be a whole number from 0 to 100000000");
    to = v.asUInt();
    return true;
  };
  for (const char* member : {"noise", "steps", "alarms"}) {
    if (root.isMember(member) && !root[member].isObject())
      return fail(std::string(member) + ": must be an object");
  }
  const Json::Value& noise = root["noise"];
  const Json::Value& steps = root["steps"];
  const Json::Value& alarms = root["alarms"];
  unsigned seed = out->seed;
  if (!number(noise, "noise", "voltage", 1000, out->noise_v) ||
      !number(noise, "noise", "current", 10000, out->noise_i) ||
      !count(noise, "noise", "seed", seed) ||
      !count(steps, "steps", "every_rounds", out->step_every) ||
      !number(steps, "steps", "voltage", 1000, out->step_v) ||
      !number(steps, "steps", "current", 10000, out->step_i) ||
      !count(alarms, "alarms", "every_rounds", out->alarm_every) ||
      !count(alarms, "alarms", "rounds", out->alarm_rounds)) {
    return false;
  }
  out->seed = seed;
  if (out->alarm_every > 0 && out->alarm_rounds >= out->alarm_every)
    return fail("alarms.rounds: must be fewer than alarms.every_rounds");
  return true;
}

void ForEachAnalog(Json::Value& root, const std::function<void(Json::Value&, bool)>& f) {
  // Never creates a member: a scenario without one keeps its defaults.
  auto has = [](const Json::Value& obj, const char* name, bool array) {
    return obj.isObject() && obj.isMember(name) && (array ? obj[name].isArray() : true);
  };
  auto one = [&](Json::Value& obj, const char* name, bool voltage) {
    if (has(obj, name, false) && obj[name].isNumeric()) f(obj[name], voltage);
  };
  if (has(root, "ac", true)) {
    for (Json::Value& screen : root["ac"]) {
      if (has(screen, "inputs", true))
        for (Json::Value& in : screen["inputs"])
          for (const char* p : {"a", "b", "c"}) one(in, p, true);
      for (const char* p : {"ia", "ib", "ic"}) one(screen, p, false);
    }
  }
  if (has(root, "rectifier", false) && root["rectifier"].isObject()) {
    Json::Value& rc = root["rectifier"];
    one(rc, "value", true);
    if (has(rc, "modules", true))
      for (Json::Value& m : rc["modules"]) one(m, "value", false);
  }
  if (has(root, "dc", true)) {
    for (Json::Value& dc : root["dc"]) {
      one(dc, "v", true);
      one(dc, "i", false);
      if (has(dc, "m", true))
        for (Json::Value& x : dc["m"])
          if (x.isNumeric()) f(x, false);
    }
  }
}

namespace {
std::string Short(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}
}  // namespace

bool ParseBatteryPlant(const Json::Value& root, BatteryPlant* out, std::string* error) {
  const Json::Value& b = root["battery"];
  if (b.isNull()) return true;
  auto fail = [error](const std::string& what) {
    if (error != nullptr) *error = "battery." + what;
    return false;
  };
  if (!b.isObject()) {
    if (error != nullptr) *error = "battery: must be an object";
    return false;
  }
  auto number = [&](const char* name, double lo, double hi, double& to) {
    const Json::Value& v = b[name];
    if (v.isNull()) return true;
    if (!v.isNumeric() || !(v.asDouble() >= lo && v.asDouble() <= hi))
      return fail(std::string(name) + ": must be a number from " + Short(lo) + " to " + Short(hi));
    to = v.asDouble();
    return true;
  };
  auto count = [&](const char* name, unsigned hi, unsigned& to) {
    const Json::Value& v = b[name];
    if (v.isNull()) return true;
    if (!v.isUInt() || v.asUInt() > hi)
      return fail(std::string(name) + ": must be a whole number from 0 to " + std::to_string(hi));
    to = v.asUInt();
    return true;
  };
  auto command = [&](const char* name, int& to) {
    const Json::Value& v = b[name];
    if (v.isNull()) return true;
    try {
      to = to_byte(v, std::string("battery.") + name);
    } catch (const BadField& e) {
      if (error != nullptr) *error = e.what();
      return false;
    }
    return true;
  };
  static const char* const kKnown[] = {"capacity_ah",
                                       "rate_h",
                                       "peukert",
                                       "cells",
                                       "temp_c",
                                       "dc",
                                       "m",
                                       "temp_user",
                                       "load_a",
                                       "mains_lost_after_rounds",
                                       "mains_back_after_rounds",
                                       "test_command",
                                       "float_command",
                                       "charge_a",
                                       "time_scale"};
  for (const std::string& name : b.getMemberNames()) {
    bool known = false;
    for (const char* k : kKnown) known = known || name == k;
    if (!known) return fail(name + ": not a member of battery");
  }
  BatteryPlant p;
  p.on = true;
  double temp_user = -1;
  if (!number("capacity_ah", 0.001, 100000, p.capacity_ah) ||
      !number("rate_h", 0.1, 1000, p.rate_h) || !number("peukert", 1.0, 1.6, p.peukert) ||
      !count("cells", 60, p.cells) || !number("temp_c", -40, 80, p.temp_c) ||
      !count("dc", 15, p.dc) || !count("m", 255, p.m) || !number("temp_user", -1, 255, temp_user) ||
      !number("load_a", 0, 100000, p.load_a) ||
      !count("mains_lost_after_rounds", 100000000u, p.lost_after) ||
      !count("mains_back_after_rounds", 100000000u, p.back_after) ||
      !command("test_command", p.test_command) || !command("float_command", p.float_command) ||
      !number("charge_a", 0, 100000, p.charge_a) ||
      !number("time_scale", 0.001, 100000, p.time_scale))
    return false;
  if (p.cells == 0) return fail("cells: must be a whole number from 1 to 60");
  p.temp_user = static_cast<int>(temp_user);
  if (b.isMember("load_a") == false) p.load_a = -1;
  *out = p;
  return true;
}

}  // namespace k417t::sim
