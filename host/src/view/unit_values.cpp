#include "view/unit_values.h"

#include <fmt/format.h>

#include <cmath>
#include <cstring>
#include <ctime>

namespace qmx::view {
namespace {

// Image layouts, least significant byte first:
//   AC screen (32): 0 data_id u32 | 4 ia f32 | 8 ib | 12 ic | 16 channel_count u8
//           17 airlock_m u8 | 18 p43_count u8 | 19 p43_state u8[3]
//           22 ia_alert u8 | 23 ib_alert | 24 ic_alert | 25 ttime[7]
//   AC input (30): 0 a f32 | 4 b | 8 c | 12 f | 16 p41_count u8 | 17 a_alert u8
//           18 b_alert | 19 c_alert | 20 f_alert | 21 p44_count u8 | 22 p44_state u8[8]
//   rectifier group (45): 0 data_id u32 | 4 ac_param f32[5] | 24 dc_param f32[2]
//           32 dc_param_p u8 | 33 rc_value f32 | 37 module_count u8 | 38 ttime[7]
//   module (53): 0 module_value f32 | 4 analog_p u8 | 5 user_analog f32[7]
//           33 module_state u8[3] | 36 state_p u8 | 37 user_state u8[6]
//           43 fault_state u8 | 44 alarm_p u8 | 45 user_alarm u8[8]
//   DC (238): 0 data_id u32 | 4 v f32 | 8 i f32 | 12 dc_m u8 | 13 m_value f32[2]
//           21 dc_n u8 | 22 p_count u8 | 23 user_p f32[27] | 131 v_state u8
//           132 alert_m u8 | 133 fuse states u8[10] | 143 alert_p u8
//           144 alert_p_state u8[87] | 231 ttime[7]
constexpr size_t kAcScreen = 32, kAcInput = 30;
constexpr size_t kGroup = 45, kModule = 53;
constexpr size_t kDc = 238;
constexpr size_t kDcM = 2, kDcUser = 27, kFuses = 10;

// Shortest text that reads back as the same float, as a double: 40.2f is
// shown as 40.2, not 40.200000762939453.
double Clean(float f) { return std::strtod(fmt::format("{}", f).c_str(), nullptr); }

std::string WordOf(const std::vector<std::pair<unsigned, const char*>>& known, unsigned b,
                   const char* other) {
  for (const auto& [value, word] : known)
    if (value == b) return word;
  return other != nullptr ? other : fmt::format("state {}", b);
}

class Builder {
 public:
  explicit Builder(UnitValues& out) : out_(out) {}

  void Measure(Field f, const unsigned char* four, bool marker) {
    Value v;
    if (f.precision < 0) f.precision = f.quantity == Quantity::kParameter ? -1 : 2;
    v.number = Reading(four, marker);
    v.field = std::move(f);
    out_.values.push_back(std::move(v));
  }
  void Number(Field f, std::optional<double> n) {
    Value v;
    if (f.precision < 0) f.precision = f.unit.empty() ? 0 : 2;
    v.number = n;
    v.field = std::move(f);
    out_.values.push_back(std::move(v));
  }
  // A state byte: normal when `b` is not in `alerts`; words from `known`.
  void State(Field f, std::vector<unsigned> raw, const std::string& word, bool alert,
             const std::vector<std::pair<unsigned, const char*>>* words = nullptr) {
    Value v;
    if (words != nullptr)
      for (const auto& w : *words) f.options.push_back(w.second);
    v.field = std::move(f);
    v.field.quantity = Quantity::kState;
    v.number = raw.empty() ? std::nullopt : std::optional<double>(raw[0]);
    v.raw = std::move(raw);
    v.word = word;
    v.alert = alert;
    out_.values.push_back(std::move(v));
  }

 private:
  UnitValues& out_;
};

Field Make(std::string key, std::string label, std::string group, Quantity q, std::string unit,
           std::string metric = {}, std::vector<std::pair<std::string, std::string>> labels = {}) {
  Field f;
  f.key = std::move(key);
  f.label = std::move(label);
  f.group = std::move(group);
  f.quantity = q;
  f.unit = std::move(unit);
  f.metric = std::move(metric);
  f.metric_labels = std::move(labels);
  return f;
}

// AC current and voltage states: 1 low, 2 high, 3 missing (a voltage's
// "missing" is a phase missing).
const std::vector<std::pair<unsigned, const char*>> kCurrentWords = {
    {0, "normal"}, {1, "low"}, {2, "high"}, {3, "missing"}};
const std::vector<std::pair<unsigned, const char*>> kVoltageWords = {
    {0, "normal"}, {1, "low"}, {2, "high"}, {3, "phase missing"}};
const std::vector<std::pair<unsigned, const char*>> kFrequencyWords = {
    {0, "normal"}, {1, "low"}, {2, "high"}};

void ReadAc(const std::vector<unsigned char>& image, UnitValues& u) {
  if (image.size() < kAcScreen || (image.size() - kAcScreen) % kAcInput != 0) {
    u.error = fmt::format("AC image of {} bytes: not 32 + 30 per input", image.size());
    return;
  }
  const unsigned char* s = image.data();
  u.time = RecordTime(s + 25);
  Builder b(u);
  const size_t inputs = (image.size() - kAcScreen) / kAcInput;
  for (size_t k = 0; k < inputs; ++k) {
    const unsigned char* c = s + kAcScreen + kAcInput * k;
    const std::string in = std::to_string(k + 1);
    const std::string group = "Input " + in;
    const char* phases[] = {"a", "b", "c"};
    const char* names[] = {"AB/A", "BC/B", "CA/C"};
    for (int p = 0; p < 3; ++p)
      b.Measure(Make(fmt::format("channel_{}_{}", k, phases[p]),
                     fmt::format("Input {} voltage {}", in, names[p]), group, Quantity::kVoltage,
                     "V", "k417t_ac_voltage_volts", {{"input", in}, {"phase", phases[p]}}),
                c + 4 * p, false);
    b.Measure(Make(fmt::format("channel_{}_f", k), fmt::format("Input {} frequency", in), group,
                   Quantity::kFrequency, "Hz", "k417t_ac_frequency_hertz", {{"input", in}}),
              c + 12, false);
    for (int p = 0; p < 4; ++p) {
      const unsigned st = c[17 + p];
      const bool f = p == 3;
      const auto& words = f ? kFrequencyWords : kVoltageWords;
      Field state = Make(fmt::format("channel_{}_{}_alert", k, f ? "f" : phases[p]),
                         f ? fmt::format("Input {} frequency state", in)
                           : fmt::format("Input {} voltage {} state", in, names[p]),
                         group, Quantity::kState, "", "k417t_ac_input_alert",
                         {{"input", in}, {"phase", f ? "f" : phases[p]}});
      state.entity = StateEntity::kEnum;
      b.State(state, {st}, WordOf(words, st, nullptr), st != 0, &words);
    }
  }
  const char* phases[] = {"a", "b", "c"};
  for (int p = 0; p < 3; ++p) {
    const std::string P(1, static_cast<char>('A' + p));
    b.Measure(Make(fmt::format("i{}", phases[p]), "Phase " + P + " current", "Phase currents",
                   Quantity::kCurrent, "A", "k417t_ac_current_amperes", {{"phase", phases[p]}}),
              s + 4 + 4 * p, true);
  }
  for (int p = 0; p < 3; ++p) {
    const std::string P(1, static_cast<char>('A' + p));
    const unsigned st = s[22 + p];
    Field state =
        Make(fmt::format("i{}_alert", phases[p]), "Phase " + P + " current state", "Phase currents",
             Quantity::kState, "", "k417t_ac_current_alert", {{"phase", phases[p]}});
    state.entity = StateEntity::kEnum;
    b.State(state, {st}, WordOf(kCurrentWords, st, nullptr), st != 0, &kCurrentWords);
  }
}

// Rectifier module state bytes, in the order received: on/off, current
// limit, charge mode (the usual codings of this protocol family).
const std::vector<std::pair<unsigned, const char*>> kOnOff = {{0, "on"}, {1, "off"}};
const std::vector<std::pair<unsigned, const char*>> kLimit = {{0, "limiting"}, {1, "not limiting"}};
const std::vector<std::pair<unsigned, const char*>> kCharge = {
    {0, "float"}, {1, "equalize"}, {2, "test"}};

void ReadRectifier(const std::vector<unsigned char>& image, UnitValues& u) {
  if (image.size() < kGroup || image.size() != kGroup + kModule * image[37]) {
    u.error = fmt::format("rectifier image of {} bytes: not 45 + 53 per module", image.size());
    return;
  }
  const unsigned char* g = image.data();
  u.time = RecordTime(g + 38);
  const unsigned count = g[37];
  Builder b(u);
  b.Measure(Make("rc_value", "Output voltage", "Group", Quantity::kVoltage, "V",
                 "k417t_rectifier_output_voltage_volts"),
            g + 33, false);
  // The sum of the modules that have a reading; none: no value.
  std::optional<double> total;
  for (unsigned k = 0; k < count; ++k)
    if (auto v = Reading(g + kGroup + kModule * k, false)) total = total.value_or(0) + *v;
  if (total) total = std::round(*total * 1000) / 1000;
  b.Number(Make("total_current", "Total current", "Group", Quantity::kCurrent, "A",
                "k417t_rectifier_current_amperes"),
           total);
  b.Number(Make("module_count", "Modules", "Group", Quantity::kValue, ""), count);
  for (unsigned k = 0; k < count; ++k) {
    const unsigned char* m = g + kGroup + kModule * k;
    const std::string n = std::to_string(k + 1);
    const std::string group = "Module " + n;
    b.Measure(
        Make(fmt::format("module_{}_current", k), "Module " + n + " current", group,
             Quantity::kCurrent, "A", "k417t_rectifier_module_current_amperes", {{"module", n}}),
        m, false);
    const std::vector<unsigned> raw = {m[33], m[34], m[35]};
    Field st = Make(fmt::format("module_{}_state", k), "Module " + n + " state", group,
                    Quantity::kState, "");
    st.entity = StateEntity::kEnum;
    // A module switched off is not a fault (a plant runs spare modules).
    b.State(st, raw, WordOf(kOnOff, m[33], nullptr), false, &kOnOff);
    Field lim = Make(fmt::format("module_{}_limit", k), "Module " + n + " current limit", group,
                     Quantity::kState, "");
    b.State(lim, {m[34]}, WordOf(kLimit, m[34], nullptr), false, &kLimit);
    Field ch = Make(fmt::format("module_{}_charge", k), "Module " + n + " charge mode", group,
                    Quantity::kState, "");
    ch.entity = StateEntity::kEnum;
    b.State(ch, {m[35]}, WordOf(kCharge, m[35], nullptr), false, &kCharge);
    Field fault = Make(fmt::format("module_{}_fault", k), "Module " + n + " fault", group,
                       Quantity::kState, "", "k417t_rectifier_module_fault", {{"module", n}});
    fault.entity = StateEntity::kProblem;
    b.State(fault, {m[43]}, m[43] == 1 ? "fault" : "normal", m[43] == 1);
  }
  for (int k = 0; k < 5; ++k) {
    Field f = Make(fmt::format("ac_param_{}", k), fmt::format("AC parameter {}", k + 1),
                   "Parameters", Quantity::kParameter, "");
    f.diagnostic = true;
    b.Measure(f, g + 4 + 4 * k, false);
  }
  for (int k = 0; k < 2; ++k) {
    Field f = Make(fmt::format("dc_param_{}", k), fmt::format("DC parameter {}", k + 1),
                   "Parameters", Quantity::kParameter, "");
    f.diagnostic = true;
    b.Measure(f, g + 24 + 4 * k, false);
  }
}

Quantity QuantityOfUnit(const std::string& unit) {
  if (unit == "V" || unit == "mV" || unit == "kV") return Quantity::kVoltage;
  if (unit == "A" || unit == "mA") return Quantity::kCurrent;
  if (unit == "Hz") return Quantity::kFrequency;
  if (unit == "°C" || unit == "°F" || unit == "K") return Quantity::kTemperature;
  if (unit == "W" || unit == "kW") return Quantity::kPower;
  return Quantity::kValue;
}

void ReadDc(const std::vector<unsigned char>& image, UnitValues& u, const UnitLabels* labels) {
  if (image.size() != kDc) {
    u.error = fmt::format("DC image of {} bytes: not 238", image.size());
    return;
  }
  const unsigned char* d = image.data();
  u.time = RecordTime(d + 231);
  Builder b(u);
  b.Measure(
      Make("v", "Output voltage", "Output", Quantity::kVoltage, "V", "k417t_dc_voltage_volts"),
      d + 4, false);
  b.Measure(Make("i", "Current", "Output", Quantity::kCurrent, "A", "k417t_dc_current_amperes"),
            d + 8, false);
  const unsigned vs = d[131];
  Field v_state = Make("v_state", "Output voltage state", "Output", Quantity::kState, "",
                       "k417t_dc_voltage_alert");
  v_state.entity = StateEntity::kEnum;
  b.State(v_state, {vs}, WordOf(kFrequencyWords, vs, nullptr), vs != 0, &kFrequencyWords);
  // A list is shown as far as its count says; a count past the list's room
  // was refused by the unit, so nothing of it is current.
  auto list = [&](const char* key, const char* metric, const char* fallback, size_t room,
                  unsigned count, const unsigned char* first, bool marker,
                  const std::vector<ValueName>* names) {
    if (count > room) return;
    for (size_t k = 0; k < count; ++k) {
      const ValueName* n = names != nullptr && k < names->size() ? &(*names)[k] : nullptr;
      const std::string label =
          n != nullptr && !n->name.empty() ? n->name : fmt::format("{} {}", fallback, k + 1);
      const std::string unit = n != nullptr ? n->unit : "";
      b.Measure(
          Make(fmt::format("{}_{}", key, k), label, "Values", QuantityOfUnit(unit), unit, metric,
               {{"index", std::to_string(k + 1)}, {"value_name", label}, {"uom", unit}}),
          first + 4 * k, marker);
    }
  };
  list("m", "k417t_dc_list_value", "Value m", kDcM, d[12], d + 13, false,
       labels ? &labels->m : nullptr);
  list("user", "k417t_dc_user_value", "User value", kDcUser, d[22], d + 23, true,
       labels ? &labels->user : nullptr);
  const unsigned fuses = d[132];
  if (fuses <= kFuses) {
    for (unsigned k = 0; k < fuses; ++k) {
      const std::string n = std::to_string(k + 1);
      const unsigned st = d[133 + k];
      Field f = Make(fmt::format("fuse_{}", k), "Fuse " + n, "Fuses", Quantity::kState, "",
                     "k417t_dc_fuse_fault", {{"fuse", n}});
      f.entity = StateEntity::kProblem;
      b.State(f, {st}, st == 3 ? "fault" : "normal", st == 3);
    }
  }
}

}  // namespace

const char* QuantityName(Quantity q) {
  switch (q) {
    case Quantity::kVoltage:
      return "voltage";
    case Quantity::kCurrent:
      return "current";
    case Quantity::kFrequency:
      return "frequency";
    case Quantity::kTemperature:
      return "temperature";
    case Quantity::kPower:
      return "power";
    case Quantity::kState:
      return "state";
    case Quantity::kParameter:
      return "parameter";
    case Quantity::kValue:
      break;
  }
  return "value";
}

const Value* UnitValues::Find(const std::string& key) const {
  for (const Value& v : values)
    if (v.field.key == key) return &v;
  return nullptr;
}

std::optional<double> Reading(const unsigned char* b, bool marker) {
  if (b[0] != 0 && b[0] == b[1] && b[1] == b[2] && b[2] == b[3]) return std::nullopt;
  uint32_t bits;
  std::memcpy(&bits, b, 4);
  if (marker && bits == 0xBDCCCCCDu) return std::nullopt;
  float f;
  std::memcpy(&f, b, 4);
  if (!std::isfinite(f)) return std::nullopt;
  // Nothing this plant measures (volts, amperes, hertz, degrees) is read to
  // a billionth: a non-zero float that small is a field's bytes gone wrong
  // (05 05 05 04 is 6.3e-36), not a reading.
  if (f != 0.0f && std::fabs(f) < 1e-9f) return std::nullopt;
  return Clean(f);
}

int64_t RecordTime(const unsigned char* t) {
  const int year = t[0] | (t[1] << 8);
  if (year < 1970 || year > 9999 || t[2] < 1 || t[2] > 12 || t[3] < 1 || t[3] > 31 || t[4] > 23 ||
      t[5] > 59 || t[6] > 60)
    return 0;
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = t[2] - 1;
  tm.tm_mday = t[3];
  tm.tm_hour = t[4];
  tm.tm_min = t[5];
  tm.tm_sec = t[6];
  tm.tm_isdst = -1;
  const time_t e = mktime(&tm);
  return e < 0 ? 0 : static_cast<int64_t>(e);
}

const char* KindOf(int type) {
  switch (type) {
    case kAcType:
      return "ac";
    case kRectifierType:
      return "rectifier";
    case kDcType:
      return "dc";
    default:
      return "unknown";
  }
}

const char* DeviceTypeOf(int type) {
  switch (type) {
    case kAcType:
      return "k417t-ac";
    case kRectifierType:
      return "k417t-rc";
    case kDcType:
      return "k417t-dc";
    default:
      return "unknown";
  }
}

UnitValues ReadUnit(unsigned int data_id, int type, const std::vector<unsigned char>& image,
                    const UnitLabels* labels) {
  UnitValues u;
  u.data_id = data_id;
  u.type = type;
  u.kind = KindOf(type);
  switch (type) {
    case kAcType:
      ReadAc(image, u);
      break;
    case kRectifierType:
      ReadRectifier(image, u);
      break;
    case kDcType:
      ReadDc(image, u, labels);
      break;
    default:
      u.error = fmt::format("unknown image type {}", type);
  }
  if (!u.error.empty()) u.values.clear();
  return u;
}

const std::map<std::string, std::string>& MetricHelp() {
  static const std::map<std::string, std::string> help = {
      {"k417t_ac_current_amperes", "AC screen phase current."},
      {"k417t_ac_voltage_volts", "AC input line or phase voltage."},
      {"k417t_ac_frequency_hertz", "AC input frequency."},
      {"k417t_ac_input_alert",
       "AC input voltage (phase a, b, c) or frequency (phase f) state (1: not normal)."},
      {"k417t_ac_current_alert", "AC screen phase current state (1: not normal)."},
      {"k417t_rectifier_output_voltage_volts", "Rectifier group output voltage."},
      {"k417t_rectifier_current_amperes", "Sum of the rectifier modules' currents."},
      {"k417t_rectifier_module_current_amperes", "Rectifier module current."},
      {"k417t_rectifier_module_fault", "Rectifier module fault state (1: fault)."},
      {"k417t_dc_voltage_volts", "DC distribution output voltage."},
      {"k417t_dc_current_amperes", "DC distribution current."},
      {"k417t_dc_voltage_alert", "DC distribution output voltage state (1: not normal)."},
      {"k417t_dc_fuse_fault", "DC fuse state (1: fuse fault)."},
      {"k417t_dc_list_value",
       "DC distribution m list value, named (value_name) and with its unit (uom) by the site "
       "file."},
      {"k417t_dc_user_value",
       "DC distribution user-defined value, named (value_name) and with its unit (uom) by the "
       "site file."},
  };
  return help;
}

}  // namespace qmx::view
