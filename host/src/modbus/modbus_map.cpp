#include "modbus/modbus_map.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <set>

namespace qmx::modbus {
namespace {

// A row's text for instance k: {i} from 0, {n} from 1 (as the view expands it).
std::string Expand(const char* pattern, size_t k) {
  std::string out = pattern;
  for (const auto& [tag, value] : {std::make_pair(std::string("{i}"), std::to_string(k)),
                                   std::make_pair(std::string("{n}"), std::to_string(k + 1))}) {
    for (size_t at = out.find(tag); at != std::string::npos; at = out.find(tag, at))
      out.replace(at, tag.size(), value);
  }
  return out;
}

size_t InstancesOf(const view::Section& s) {
  switch (s.kind) {
    case view::Section::Kind::kOnce:
      return 1;
    case view::Section::Kind::kRecords:
      return std::string(s.name) == "module" ? kModules : kAcInputs;
    case view::Section::Kind::kList:
      return s.room;
  }
  return 1;
}

struct Expanded {
  const view::Row* row;
  size_t k;
};

// A kind's values in map order: the rows that do not repeat, then each
// repeated section instance by instance with its rows together.
std::vector<Expanded> ExpandRows(int type, bool states) {
  const auto& rows = view::RowsOf(type);
  std::vector<Expanded> out;
  auto wanted = [&](const view::Row& r) {
    return (r.quantity == view::Quantity::kState) == states;
  };
  for (const view::Row& r : rows)
    if (wanted(r) && r.section->kind == view::Section::Kind::kOnce) out.push_back({&r, 0});
  std::vector<const view::Section*> sections;
  for (const view::Row& r : rows)
    if (r.section->kind != view::Section::Kind::kOnce &&
        std::find(sections.begin(), sections.end(), r.section) == sections.end())
      sections.push_back(r.section);
  for (const view::Section* s : sections) {
    const size_t n = InstancesOf(*s);
    for (size_t k = 0; k < n; ++k)
      for (const view::Row& r : rows)
        if (r.section == s && wanted(r)) out.push_back({&r, k});
  }
  return out;
}

std::string Key(const Expanded& e) {
  return e.row->section->kind == view::Section::Kind::kOnce ? e.row->key : Expand(e.row->key, e.k);
}
std::string Label(const Expanded& e) {
  return e.row->section->kind == view::Section::Kind::kOnce ? e.row->label
                                                            : Expand(e.row->label, e.k);
}

int PrecisionOf(const view::Row& r) {
  if (r.read == view::Row::Read::kCount) return 0;
  return r.precision < 0 ? 2 : std::min(r.precision, 4);
}

void AddSlot(Map& m, int type, const char* kind, unsigned ordinal, uint16_t base,
             const std::string& title) {
  Slot s;
  s.type = type;
  s.kind = kind;
  s.ordinal = ordinal;
  s.name = std::string(kind) + (type == view::kRectifierType ? "" : std::to_string(ordinal + 1));
  s.base = base;
  const int slot = static_cast<int>(m.slots.size());
  const std::vector<Expanded> values = ExpandRows(type, false), states = ExpandRows(type, true);
  s.values = static_cast<int>((values.size() + 49) / 50 * 50);
  const uint16_t v = static_cast<uint16_t>(s.values);
  auto entry = [&](Table t, uint16_t at, int words, Type ty, Source src, const Expanded& e,
                   const std::string& suffix, const std::string& label_suffix) {
    Entry en;
    en.table = t;
    en.address = at;
    en.words = words;
    en.type = ty;
    en.source = src;
    en.slot = slot;
    en.value_key = Key(e);
    en.key = s.name + "." + en.value_key + suffix;
    en.label = title + ": " + Label(e) + label_suffix;
    en.unit = src == Source::kFloat || src == Source::kScaled ? e.row->unit : "";
    en.kind = kind;
    en.precision = src == Source::kScaled ? PrecisionOf(*e.row) : 0;
    m.entries.push_back(std::move(en));
  };
  Entry alarm;
  alarm.table = Table::kDiscreteInput;
  alarm.address = base;
  alarm.type = Type::kBit;
  alarm.source = Source::kUnitAlarm;
  alarm.slot = slot;
  alarm.key = s.name + ".alarm";
  alarm.label = title + ": any active alarm";
  alarm.kind = kind;
  m.entries.push_back(alarm);
  for (size_t j = 0; j < values.size(); ++j) {
    const uint16_t i = static_cast<uint16_t>(j);
    entry(Table::kInputRegister, base + 2 * i, 2, Type::kFloat32, Source::kFloat, values[j], "",
          "");
    entry(Table::kInputRegister, base + 2 * v + i, 1, Type::kInt16, Source::kScaled, values[j], "",
          "");
    entry(Table::kInputRegister, base + 3 * v + i, 1, Type::kUint16, Source::kStatus, values[j],
          ".status", " status (0 valid, 1 no value, 2 stale)");
  }
  for (size_t j = 0; j < states.size(); ++j) {
    const uint16_t at = static_cast<uint16_t>(base + 4 * v + j);
    entry(Table::kInputRegister, at, 1, Type::kUint16, Source::kState, states[j], "",
          " (code; 65535: none)");
    entry(Table::kDiscreteInput, at, 1, Type::kBit, Source::kAlert, states[j], ".alert",
          " not normal");
  }
  s.end = static_cast<uint16_t>(base + 4 * v + states.size());
  m.slots.push_back(s);
}

void AddHealth(Map& m, Table t, uint16_t at, int words, Type ty, Health item, const char* key,
               const char* label) {
  Entry e;
  e.table = t;
  e.address = at;
  e.words = words;
  e.type = ty;
  e.source = Source::kHealth;
  e.item = item;
  e.key = std::string("controller.") + key;
  e.label = label;
  e.kind = "controller";
  m.entries.push_back(std::move(e));
}

std::optional<double> Some(double v) { return v; }

void AddBattery(Map& m) {
  const Table IR = Table::kInputRegister, DI = Table::kDiscreteInput;
  const std::vector<BatteryFigure>& figures = BatteryFigures();
  for (size_t j = 0; j < figures.size(); ++j) {
    const BatteryFigure& f = figures[j];
    const uint16_t i = static_cast<uint16_t>(j);
    auto add = [&](uint16_t at, int words, Type ty, Source src, const char* suffix,
                   const std::string& label_suffix) {
      Entry e;
      e.table = IR;
      e.address = at;
      e.words = words;
      e.type = ty;
      e.source = src;
      e.figure = static_cast<int>(j);
      e.key = std::string("battery.") + f.key + suffix;
      e.label = std::string("Energy and battery: ") + f.label + label_suffix;
      e.unit = src == Source::kFigureStatus ? "" : f.unit;
      e.kind = "battery";
      e.precision = src == Source::kFigureScaled ? f.precision : 0;
      m.entries.push_back(std::move(e));
    };
    add(kBatteryBase + 2 * i, 2, Type::kFloat32, Source::kFigureFloat, "", "");
    add(kBatteryBase + 2 * kBatteryPlaces + 2 * i, 2, Type::kInt32, Source::kFigureScaled, "",
        "");
    add(kBatteryBase + 4 * kBatteryPlaces + i, 1, Type::kUint16, Source::kFigureStatus, ".status",
        " status (0 valid, 1 no value, 2 stale)");
  }
  struct Flag {
    Health item;
    const char* key;
    const char* label;
    int bit;  // discrete input offset, -1: none
  };
  const Flag flags[] = {
      {Health::kBatteryConfigured, "configured", "Battery strings named by the site (1)", -1},
      {Health::kDischarging, "discharging", "A discharge going on (1)", 0},
      {Health::kTestRunning, "test_running", "A battery test running (1)", 1},
      {Health::kAutonomyLow, "autonomy_alarm", "Autonomy alarm raised (1)", 2},
  };
  const uint16_t flags_at = kBatteryBase + 5 * kBatteryPlaces;
  for (size_t k = 0; k < std::size(flags); ++k) {
    const Flag& f = flags[k];
    for (Table t : {IR, DI}) {
      if (t == DI && f.bit < 0) continue;
      Entry e;
      e.table = t;
      e.address = t == IR ? static_cast<uint16_t>(flags_at + k)
                          : static_cast<uint16_t>(kBatteryBase + f.bit);
      e.type = t == IR ? Type::kUint16 : Type::kBit;
      e.source = Source::kBatteryFlag;
      e.item = f.item;
      e.key = std::string("battery.") + f.key;
      e.label = std::string("Energy and battery: ") + f.label;
      e.kind = "battery";
      m.entries.push_back(std::move(e));
    }
  }
}

Map MakeMap() {
  Map m;
  const Table IR = Table::kInputRegister, DI = Table::kDiscreteInput;
  AddHealth(m, IR, 0, 1, Type::kUint16, Health::kDataValid, "data_valid",
            "Data valid (1: the controller answers, values current)");
  AddHealth(m, IR, 1, 1, Type::kUint16, Health::kLinkUp, "link_up",
            "Link up (1: line open and the controller answers)");
  AddHealth(m, IR, 2, 2, Type::kUint32, Health::kSecondsSince, "seconds_since_round",
            "Seconds since the last completed round (4294967295: none yet)");
  AddHealth(m, IR, 4, 2, Type::kUint32, Health::kRounds, "rounds", "Completed rounds");
  AddHealth(m, IR, 6, 1, Type::kUint16, Health::kHealthCode, "health",
            "Health (0 starting, 1 healthy, 2 alarm, 3 lost)");
  AddHealth(m, IR, 7, 1, Type::kUint16, Health::kAlarmsActive, "alarms_active", "Active alarms");
  AddHealth(m, IR, 8, 1, Type::kUint16, Health::kCritical, "alarms_critical",
            "Active critical alarms");
  AddHealth(m, IR, 9, 1, Type::kUint16, Health::kMajor, "alarms_major", "Active major alarms");
  AddHealth(m, IR, 10, 1, Type::kUint16, Health::kMinor, "alarms_minor", "Active minor alarms");
  AddHealth(m, IR, 11, 1, Type::kUint16, Health::kWarning, "alarms_warning",
            "Active warning alarms");
  AddHealth(m, IR, 12, 1, Type::kUint16, Health::kWorst, "worst_severity",
            "Worst active severity (0 none, 1 warning, 2 minor, 3 major, 4 critical)");
  AddHealth(m, IR, 20, 1, Type::kUint16, Health::kCommandSeq, "command_seq",
            "Last control command: its request sequence");
  AddHealth(m, IR, 21, 1, Type::kUint16, Health::kCommandCode, "command_code",
            "Last control command: its code");
  AddHealth(m, IR, 22, 1, Type::kUint16, Health::kCommandByte, "command_byte",
            "Last control command: its byte (65535: none)");
  AddHealth(m, IR, 23, 1, Type::kUint16, Health::kCommandOutcome, "command_outcome",
            "Last control command: 0 none, 1 done, 2 refused, 3 pending");
  AddHealth(m, IR, 24, 1, Type::kInt16, Health::kCommandResult, "command_result",
            "Last control command: the controller's result (-1: refused)");
  AddHealth(m, Table::kHoldingRegister, 0, 1, Type::kUint16, Health::kHoldCode, "control_code",
            "Control code to send (writes only with control on)");
  AddHealth(m, Table::kHoldingRegister, 1, 1, Type::kUint16, Health::kHoldByte, "control_byte",
            "Control byte (65535: none)");
  AddHealth(m, Table::kHoldingRegister, 2, 1, Type::kUint16, Health::kHoldSeq, "control_seq",
            "Request sequence: writing it sends code and byte (FC 16 of all three at once)");
  AddHealth(m, DI, 0, 1, Type::kBit, Health::kAnyAlarm, "alarm", "Any active alarm");
  AddHealth(m, DI, 1, 1, Type::kBit, Health::kLost, "lost", "Controller lost");

  AddBattery(m);
  AddSlot(m, view::kRectifierType, "rectifier", 0, kRectifierBase, "Rectifier group");
  for (unsigned n = 0; n < kAcScreens; ++n)
    AddSlot(m, view::kAcType, "ac", n, static_cast<uint16_t>(kAcBase + n * kSlotStride),
            "AC screen " + std::to_string(n + 1));
  for (unsigned n = 0; n < kDcUnits; ++n)
    AddSlot(m, view::kDcType, "dc", n, static_cast<uint16_t>(kDcBase + n * kSlotStride),
            "DC unit " + std::to_string(n + 1));

  std::stable_sort(m.entries.begin(), m.entries.end(), [](const Entry& a, const Entry& b) {
    return a.table != b.table ? a.table < b.table : a.address < b.address;
  });
  size_t in_end = 0, di_end = 0;
  for (const Entry& e : m.entries) {
    if (e.table == IR) in_end = std::max<size_t>(in_end, e.address + e.words);
    if (e.table == DI) di_end = std::max<size_t>(di_end, e.address + 1u);
  }
  m.input_mapped.assign(in_end, false);
  m.discrete_mapped.assign(di_end, false);
  for (const Entry& e : m.entries) {
    if (e.table == Table::kHoldingRegister) continue;
    auto& mapped = e.table == IR ? m.input_mapped : m.discrete_mapped;
    for (int w = 0; w < e.words; ++w) mapped[e.address + w] = true;
  }
  return m;
}

std::string Csv(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

unsigned RegisterBase(Table t) {
  switch (t) {
    case Table::kInputRegister:
      return 30001;
    case Table::kDiscreteInput:
      return 10001;
    case Table::kHoldingRegister:
      return 40001;
  }
  return 0;
}

std::string ScaleText(const Entry& e) {
  if (e.type == Type::kBit) return "";
  if ((e.source != Source::kScaled && e.source != Source::kFigureScaled) || e.precision == 0)
    return "1";
  return "0." + std::string(static_cast<size_t>(e.precision - 1), '0') + "1";
}

}  // namespace

const char* TableName(Table t) {
  switch (t) {
    case Table::kInputRegister:
      return "input_register";
    case Table::kDiscreteInput:
      return "discrete_input";
    case Table::kHoldingRegister:
      return "holding_register";
  }
  return "";
}

const char* TypeName(Type t) {
  switch (t) {
    case Type::kFloat32:
      return "float32";
    case Type::kInt16:
      return "int16";
    case Type::kUint16:
      return "uint16";
    case Type::kUint32:
      return "uint32";
    case Type::kInt32:
      return "int32";
    case Type::kBit:
      return "bit";
  }
  return "";
}

const std::vector<BatteryFigure>& BatteryFigures() {
  using B = const view::BatteryView&;
  // Appended only: a figure's place is its index.
  static const std::vector<BatteryFigure> figures = {
      {"load_power", "DC load power (bus voltage x load current)", "W", 0, false, false,
       [](B b) { return b.power_w; }},
      {"load_energy", "DC load energy, total", "kWh", 3, true, false,
       [](B b) { return Some(b.total.load_kwh); }},
      {"load_energy_today", "DC load energy, today", "kWh", 3, true, false,
       [](B b) { return Some(b.today.load_kwh); }},
      {"load_energy_month", "DC load energy, this month", "kWh", 3, true, false,
       [](B b) { return Some(b.month.load_kwh); }},
      {"rectifier_energy", "Rectifier energy, total", "kWh", 3, true, false,
       [](B b) { return Some(b.total.rectifier_kwh); }},
      {"charge_ah", "Battery charge taken in, total", "Ah", 3, true, true,
       [](B b) { return Some(b.total.charge_ah); }},
      {"discharge_ah", "Battery charge delivered, total", "Ah", 3, true, true,
       [](B b) { return Some(b.total.discharge_ah); }},
      {"charge_energy", "Battery energy taken in, total", "kWh", 3, true, true,
       [](B b) { return Some(b.total.charge_kwh); }},
      {"discharge_energy", "Battery energy delivered, total", "kWh", 3, true, true,
       [](B b) { return Some(b.total.discharge_kwh); }},
      {"state_of_charge", "Battery state of charge", "%", 1, false, true,
       [](B b) { return Some(b.soc * 100); }},
      {"autonomy", "Autonomy estimate", "min", 1, false, true,
       [](B b) { return b.autonomy.valid ? Some(b.autonomy.minutes) : std::nullopt; }},
      {"autonomy_low", "Autonomy estimate, low bound", "min", 1, false, true,
       [](B b) { return b.autonomy.valid ? Some(b.autonomy.low_min) : std::nullopt; }},
      {"autonomy_high", "Autonomy estimate, high bound", "min", 1, false, true,
       [](B b) { return b.autonomy.valid ? Some(b.autonomy.high_min) : std::nullopt; }},
  };
  return figures;
}

const Map& TheMap() {
  static const Map map = MakeMap();
  return map;
}

std::string MapCsv(const Map& map, const std::vector<std::pair<int, std::string>>& units) {
  std::string out = "unit_id,device,table,address,register,words,type,scale,key,label,unit,kind\n";
  std::vector<std::pair<int, std::string>> list = units;
  if (list.empty()) list.push_back({-1, ""});
  for (const auto& [id, name] : list) {
    for (const Entry& e : map.entries) {
      out += (id < 0 ? std::string() : std::to_string(id)) + "," + Csv(name) + "," +
             TableName(e.table) + "," + std::to_string(e.address) + "," +
             std::to_string(RegisterBase(e.table) + e.address) + "," + std::to_string(e.words) +
             "," + TypeName(e.type) + "," + ScaleText(e) + "," + Csv(e.key) + "," + Csv(e.label) +
             "," + Csv(e.unit) + "," + e.kind + "\n";
    }
  }
  return out;
}

void PutFloat(float f, bool big_endian_words, uint16_t* two) {
  uint32_t bits = 0;
  std::memcpy(&bits, &f, sizeof bits);
  const uint16_t hi = static_cast<uint16_t>(bits >> 16), lo = static_cast<uint16_t>(bits);
  two[0] = big_endian_words ? hi : lo;
  two[1] = big_endian_words ? lo : hi;
}

uint16_t Scaled(double value, int precision) {
  if (!std::isfinite(value)) return 0x8000;
  const double x = std::round(value * std::pow(10.0, precision));
  const double clamped = std::max(-32767.0, std::min(32767.0, x));
  return static_cast<uint16_t>(static_cast<int16_t>(clamped));
}

uint32_t Scaled32(double value, int precision) {
  if (!std::isfinite(value)) return 0x80000000u;
  const double x = std::round(value * std::pow(10.0, precision));
  const double clamped = std::max(-2147483647.0, std::min(2147483647.0, x));
  return static_cast<uint32_t>(static_cast<int32_t>(clamped));
}

DeviceRegisters BuildRegisters(const Map& map, const view::DeviceView& device,
                               bool big_endian_words, int64_t now) {
  DeviceRegisters r;
  r.device = device.id;
  r.input.assign(map.input_mapped.size(), 0);
  r.discrete.assign(map.discrete_mapped.size(), 0);
  // Restored images before the first answer and the last values of a lost
  // controller alike: stale, never read as current.
  const bool lost = !view::ValuesLive(device) || device.health == view::Health::kLost;
  const bool valid = device.answering && !lost && device.rounds > 0;

  // The device's units by slot: the n-th unit of a type goes to its n-th slot.
  std::vector<const view::UnitValues*> unit_of(map.slots.size(), nullptr);
  std::map<int, unsigned> seen;
  for (const view::UnitValues& u : device.units) {
    const unsigned ordinal = seen[u.type]++;
    for (size_t s = 0; s < map.slots.size(); ++s)
      if (map.slots[s].type == u.type && map.slots[s].ordinal == ordinal) unit_of[s] = &u;
  }
  std::vector<std::map<std::string, const view::Value*>> values(map.slots.size());
  for (size_t s = 0; s < map.slots.size(); ++s)
    if (unit_of[s] != nullptr)
      for (const view::Value& v : unit_of[s]->values) values[s][v.field.key] = &v;

  unsigned by_severity[5] = {0, 0, 0, 0, 0};
  int worst = 0;
  for (const store::ActiveAlarm& a : device.alarms) {
    const int sev = static_cast<int>(view::SeverityOf(a.level));
    by_severity[sev]++;
    worst = std::max(worst, sev);
  }
  auto clip16 = [](uint64_t n) { return static_cast<uint16_t>(std::min<uint64_t>(n, 0xFFFF)); };
  auto put32 = [&](uint16_t at, uint32_t n) {
    r.input[at] = static_cast<uint16_t>(n >> 16);
    r.input[at + 1] = static_cast<uint16_t>(n);
  };

  for (const Entry& e : map.entries) {
    if (e.table == Table::kHoldingRegister) continue;
    if (e.source == Source::kHealth) {
      switch (e.item) {
        case Health::kDataValid:
          r.input[e.address] = valid ? 1 : 0;
          break;
        case Health::kLinkUp:
          r.input[e.address] = device.line_open && device.answering ? 1 : 0;
          break;
        case Health::kSecondsSince:
          put32(e.address,
                device.last_round > 0 && now >= device.last_round
                    ? static_cast<uint32_t>(std::min<int64_t>(now - device.last_round, 0xFFFFFFFE))
                    : 0xFFFFFFFFu);
          break;
        case Health::kRounds:
          put32(e.address, static_cast<uint32_t>(device.rounds));
          break;
        case Health::kHealthCode:
          r.input[e.address] = static_cast<uint16_t>(device.health);
          break;
        case Health::kAlarmsActive:
          r.input[e.address] = clip16(device.alarms.size());
          break;
        case Health::kCritical:
          r.input[e.address] = clip16(by_severity[4]);
          break;
        case Health::kMajor:
          r.input[e.address] = clip16(by_severity[3]);
          break;
        case Health::kMinor:
          r.input[e.address] = clip16(by_severity[2]);
          break;
        case Health::kWarning:
          r.input[e.address] = clip16(by_severity[1]);
          break;
        case Health::kWorst:
          r.input[e.address] = static_cast<uint16_t>(worst);
          break;
        case Health::kAnyAlarm:
          r.discrete[e.address] = device.alarms.empty() ? 0 : 1;
          break;
        case Health::kLost:
          r.discrete[e.address] = lost ? 1 : 0;
          break;
        case Health::kCommandByte:
          r.input[e.address] = 0xFFFF;
          break;
        default:  // the command registers are the server's
          break;
      }
      continue;
    }
    if (e.source == Source::kBatteryFlag) {
      const view::BatteryView& b = device.battery;
      bool on = false;
      switch (e.item) {
        case Health::kBatteryConfigured:
          on = b.configured;
          break;
        case Health::kDischarging:
          on = b.configured && b.discharging.has_value();
          break;
        case Health::kTestRunning:
          on = b.configured && b.test.phase == view::BatteryTestState::Phase::kRunning;
          break;
        case Health::kAutonomyLow:
          on = b.configured && b.autonomy_low;
          break;
        default:
          break;
      }
      if (e.table == Table::kInputRegister)
        r.input[e.address] = on ? 1 : 0;
      else
        r.discrete[e.address] = on ? 1 : 0;
      continue;
    }
    if (e.figure >= 0) {
      const BatteryFigure& f = BatteryFigures()[static_cast<size_t>(e.figure)];
      const bool stale = lost && !f.counter;
      std::optional<double> number;
      if (!stale && (!f.needs_strings || device.battery.configured)) {
        number = f.read(device.battery);
        if (number && !std::isfinite(*number)) number.reset();
      }
      if (e.source == Source::kFigureFloat)
        PutFloat(number ? static_cast<float>(*number) : std::nanf(""), big_endian_words,
                 &r.input[e.address]);
      else if (e.source == Source::kFigureScaled)
        put32(e.address, number ? Scaled32(*number, e.precision) : 0x80000000u);
      else
        r.input[e.address] = stale ? 2 : number ? 0 : 1;
      continue;
    }
    const size_t s = static_cast<size_t>(e.slot);
    const view::UnitValues* unit = unit_of[s];
    if (e.source == Source::kUnitAlarm) {
      bool any = false;
      if (unit != nullptr)
        for (const store::ActiveAlarm& a : device.alarms) any = any || a.data_id == unit->data_id;
      r.discrete[e.address] = any ? 1 : 0;
      continue;
    }
    const auto it = values[s].find(e.value_key);
    const view::Value* v = it == values[s].end() ? nullptr : it->second;
    std::optional<double> number;
    if (!lost && v != nullptr && v->number && std::isfinite(*v->number)) number = v->number;
    switch (e.source) {
      case Source::kFloat:
        PutFloat(number ? static_cast<float>(*number) : std::nanf(""), big_endian_words,
                 &r.input[e.address]);
        break;
      case Source::kScaled:
        r.input[e.address] = number ? Scaled(*number, e.precision) : 0x8000;
        break;
      case Source::kStatus:
        r.input[e.address] = lost ? 2 : number ? 0 : 1;
        break;
      case Source::kState:
        r.input[e.address] =
            number ? static_cast<uint16_t>(v->raw.empty() ? *number : v->raw[0]) : 0xFFFF;
        break;
      case Source::kAlert:
        r.discrete[e.address] = number && v->alert ? 1 : 0;
        break;
      default:
        break;
    }
  }
  return r;
}

}  // namespace qmx::modbus
