#include "view/unit_values.h"

#include <fmt/format.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <ctime>

#include "units/ac/tele_c_k417t_ac.h"
#include "units/dc/tele_c_k417t_dc.h"
#include "units/rc/tele_c_k417t_rc.h"

namespace qmx::view {
namespace {

// Shortest text that reads back as the same float, as a double: 40.2f is
// shown as 40.2, not 40.200000762939453.
double Clean(float f) { return std::strtod(fmt::format("{}", f).c_str(), nullptr); }

Quantity QuantityOfUnit(const std::string& unit) {
  if (unit == "V" || unit == "mV" || unit == "kV") return Quantity::kVoltage;
  if (unit == "A" || unit == "mA") return Quantity::kCurrent;
  if (unit == "Hz") return Quantity::kFrequency;
  if (unit == "°C" || unit == "°F" || unit == "K") return Quantity::kTemperature;
  if (unit == "W" || unit == "kW") return Quantity::kPower;
  return Quantity::kValue;
}

// A row's text for instance k: {i} from 0, {n} from 1.
std::string Expand(const char* pattern, size_t k) {
  std::string out;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (p[0] == '{' && (p[1] == 'i' || p[1] == 'n') && p[2] == '}') {
      out += std::to_string(p[1] == 'i' ? k : k + 1);
      p += 2;
    } else {
      out += *p;
    }
  }
  return out;
}

// How many instances of a section the image holds; 0 when its count is
// beyond its room (the unit refused it: nothing of it is current).
size_t Instances(const Section& s, const std::vector<unsigned char>& image) {
  const size_t count = s.count_at >= 0 && static_cast<size_t>(s.count_at) < image.size()
                           ? image[static_cast<size_t>(s.count_at)]
                           : 0;
  switch (s.kind) {
    case Section::Kind::kOnce:
      return 1;
    case Section::Kind::kRecords:
      if (s.count_at >= 0) return count;
      return image.size() > s.first && s.stride > 0 ? (image.size() - s.first) / s.stride : 0;
    case Section::Kind::kList:
      if (s.count_at < 0) return s.room;
      return count <= s.room ? count : 0;
  }
  return 0;
}

size_t At(const Section& s, size_t offset, size_t k) {
  switch (s.kind) {
    case Section::Kind::kRecords:
      return s.first + s.stride * k + offset;
    case Section::Kind::kList:
      return offset + s.stride * k;
    case Section::Kind::kOnce:
      break;
  }
  return offset;
}

const StateCode* CodeOf(const States& states, unsigned code) {
  for (const StateCode& c : states.codes)
    if (c.code == code) return &c;
  return nullptr;
}

void AddValue(const Row& row, size_t k, const std::vector<unsigned char>& image,
              const UnitLabels* labels, UnitValues& u) {
  const size_t at = At(*row.section, row.offset, k);
  const size_t width = row.read == Row::Read::kState   ? row.raw_bytes
                       : row.read == Row::Read::kCount ? 1
                                                       : 4;
  if (row.read != Row::Read::kSum && (at > image.size() || image.size() - at < width)) return;
  Value v;
  Field& f = v.field;
  f.row = &row;
  f.instance = row.section->kind == Section::Kind::kOnce ? 0 : static_cast<unsigned>(k + 1);
  f.key = Expand(row.key, k);
  f.label = Expand(row.label, k);
  f.group = Expand(row.group, k);
  f.quantity = row.quantity;
  f.unit = row.unit;
  if (row.site_named) {
    const std::vector<ValueName>* names = nullptr;
    if (labels != nullptr)
      names = std::string(row.section->name) == "m" ? &labels->m : &labels->user;
    const ValueName* n = names != nullptr && k < names->size() ? &(*names)[k] : nullptr;
    if (n != nullptr && !n->name.empty()) f.label = n->name;
    f.unit = n != nullptr ? n->unit : "";
    f.quantity = QuantityOfUnit(f.unit);
  }
  f.metric = row.metric;
  for (const auto& [name, value] : row.metric_labels) {
    const std::string text = value;
    f.metric_labels.emplace_back(name, text == "{label}"  ? f.label
                                       : text == "{unit}" ? f.unit
                                                          : Expand(value, k));
  }
  f.entity = row.entity;
  f.diagnostic = row.diagnostic;
  f.precision = row.precision;
  const unsigned char* p = image.data() + at;
  switch (row.read) {
    case Row::Read::kFloat:
    case Row::Read::kFloatMarked:
      v.number = Reading(p, row.read == Row::Read::kFloatMarked);
      break;
    case Row::Read::kCount:
      v.number = p[0];
      break;
    case Row::Read::kSum: {
      std::optional<double> total;
      const size_t n = Instances(*row.sum_of, image);
      for (size_t m = 0; m < n; ++m) {
        const size_t a = At(*row.sum_of, row.offset, m);
        if (a > image.size() || image.size() - a < 4) break;
        if (auto x = Reading(image.data() + a, false)) total = total.value_or(0) + *x;
      }
      if (total) total = std::round(*total * 1000) / 1000;
      v.number = total;
      break;
    }
    case Row::Read::kState: {
      const States& st = *row.states;
      v.raw.assign(p, p + row.raw_bytes);
      v.number = p[0];
      const StateCode* c = CodeOf(st, p[0]);
      v.word = c != nullptr               ? c->word
               : st.other_word != nullptr ? st.other_word
                                          : fmt::format("state {}", p[0]);
      v.alert = c != nullptr ? c->alert : st.other_alert;
      v.state_number = c != nullptr ? c->number : st.other_number;
      if (st.enumerated)
        for (const StateCode& code : st.codes) f.options.push_back(code.word);
      break;
    }
  }
  u.values.push_back(std::move(v));
}

// Every row of `rows`, a section's rows instance by instance.
void ReadRows(const std::vector<Row>& rows, const std::vector<unsigned char>& image,
              const UnitLabels* labels, UnitValues& u) {
  for (size_t i = 0; i < rows.size();) {
    size_t j = i;
    while (j < rows.size() && rows[j].section == rows[i].section) ++j;
    const size_t n = Instances(*rows[i].section, image);
    for (size_t k = 0; k < n; ++k)
      for (size_t r = i; r < j; ++r) AddValue(rows[r], k, image, labels, u);
    i = j;
  }
}

// The image's length for its type, and its record time.
bool CheckImage(int type, const std::vector<unsigned char>& image, UnitValues& u) {
  const size_t size = image.size();
  switch (type) {
    case kAcType:
      if (size < sizeof(tele_c_k417t_ac) ||
          (size - sizeof(tele_c_k417t_ac)) % sizeof(tele_c_k417t_ac_channel) != 0) {
        u.error = fmt::format("AC image of {} bytes: not 32 + 30 per input", size);
        return false;
      }
      u.time = RecordTime(image.data() + offsetof(tele_c_k417t_ac, ttime));
      return true;
    case kRectifierType:
      if (size < sizeof(tele_c_k417t_rc) ||
          size != sizeof(tele_c_k417t_rc) + sizeof(tele_c_k417t_rc_channel) *
                                                image[offsetof(tele_c_k417t_rc, module_count)]) {
        u.error = fmt::format("rectifier image of {} bytes: not 45 + 53 per module", size);
        return false;
      }
      u.time = RecordTime(image.data() + offsetof(tele_c_k417t_rc, ttime));
      return true;
    case kDcType:
      if (size != sizeof(tele_c_k417t_dc)) {
        u.error = fmt::format("DC image of {} bytes: not 238", size);
        return false;
      }
      u.time = RecordTime(image.data() + offsetof(tele_c_k417t_dc, ttime));
      return true;
    default:
      u.error = fmt::format("unknown image type {}", type);
      return false;
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

std::optional<Field> FieldOf(int type, const std::string& key) {
  for (const Row& row : RowsOf(type)) {
    const bool once = row.section->kind == Section::Kind::kOnce;
    for (size_t k = 0; k < (once ? 1 : 256); ++k) {
      if (Expand(row.key, k) != key) continue;
      Field f;
      f.row = &row;
      f.instance = once ? 0 : static_cast<unsigned>(k + 1);
      f.key = key;
      f.label = Expand(row.label, k);
      f.group = Expand(row.group, k);
      f.quantity = row.quantity;
      f.unit = row.unit;
      f.metric = row.metric;
      f.entity = row.entity;
      f.diagnostic = row.diagnostic;
      f.precision = row.precision;
      return f;
    }
  }
  return std::nullopt;
}

UnitValues ReadUnit(unsigned int data_id, int type, const std::vector<unsigned char>& image,
                    const UnitLabels* labels) {
  UnitValues u;
  u.data_id = data_id;
  u.type = type;
  u.kind = KindOf(type);
  if (CheckImage(type, image, u)) ReadRows(RowsOf(type), image, labels, u);
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
