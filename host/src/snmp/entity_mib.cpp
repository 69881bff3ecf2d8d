#include "snmp/entity_mib.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>

namespace qmx::snmp {
namespace {

Oid Arcs(std::initializer_list<uint32_t> arcs) { return Oid(arcs); }

// entPhysicalEntry, entPhysicalContainsEntry, entLastChangeTime and
// entPhySensorEntry.
const Oid kPhysicalEntry = Arcs({1, 3, 6, 1, 2, 1, 47, 1, 1, 1, 1});
const Oid kContainsEntry = Arcs({1, 3, 6, 1, 2, 1, 47, 1, 3, 3, 1});
const Oid kLastChangeTime = Arcs({1, 3, 6, 1, 2, 1, 47, 1, 4, 1, 0});
const Oid kSensorEntry = Arcs({1, 3, 6, 1, 2, 1, 99, 1, 1, 1});

constexpr uint32_t kDeviceStride = 10000000;
constexpr uint32_t kUnitStride = 100000;
constexpr uint32_t kRowStride = 1000;

Var Int(int64_t v) { return Var{Var::Type::kInteger, v, {}, {}}; }
Var Text(const std::string& s) { return Var{Var::Type::kOctets, 0, Utf8Cut(s), {}}; }
Var Ticks(uint32_t t) { return Var{Var::Type::kTimeTicks, t, {}, {}}; }
Var Uns(uint32_t v) { return Var{Var::Type::kUnsigned, v, {}, {}}; }

void Put(std::map<Oid, Var>& vars, const Oid& entry, uint32_t column,
         std::initializer_list<uint32_t> index, Var v) {
  Oid o = entry;
  o.push_back(column);
  o.insert(o.end(), index.begin(), index.end());
  vars[std::move(o)] = std::move(v);
}

// A readable place of a unit on its device, as the alarms' places say it.
std::string UnitWord(const view::UnitValues& u, int ordinal) {
  if (u.type == view::kAcType) return "AC screen " + std::to_string(ordinal);
  if (u.type == view::kRectifierType) return "rectifier group";
  if (u.type == view::kDcType) return "DC distribution " + std::to_string(ordinal);
  return "unit " + std::to_string(u.data_id);
}

bool Measurement(const view::Value& v) {
  return v.field.row != nullptr && !v.is_state() && !v.field.diagnostic;
}

// The position (from 1) of a value's row among its unit type's rows.
unsigned RowNumber(const view::Value& v, int type) {
  const std::vector<view::Row>& rows = view::RowsOf(type);
  for (size_t k = 0; k < rows.size(); ++k)
    if (&rows[k] == v.field.row) return static_cast<unsigned>(k + 1);
  return 0;
}

bool IsModule(const view::Value& v) {
  return v.field.row->section != nullptr && std::string(v.field.row->section->name) == "module";
}

// Each unit's place (from 0) on its device: the configured units by data
// identifier, then any other unit the view holds, by data identifier.
std::map<unsigned int, size_t> UnitRanks(const view::DeviceView& d) {
  std::set<unsigned int> configured(d.unit_ids.begin(), d.unit_ids.end());
  std::set<unsigned int> others;
  for (const view::UnitValues& u : d.units)
    if (configured.count(u.data_id) == 0) others.insert(u.data_id);
  std::map<unsigned int, size_t> rank;
  for (const std::set<unsigned int>* ids : {&configured, &others})
    for (unsigned int id : *ids) rank.emplace(id, rank.size());
  return rank;
}

}  // namespace

uint32_t EntityIndex(size_t device, size_t unit, unsigned row, unsigned instance) {
  if (device < 1 || device > kMaxEntityDevices || unit > kMaxEntityUnits || row > kMaxEntityRows ||
      instance > kMaxEntityInstance)
    return 0;
  return static_cast<uint32_t>(device) * kDeviceStride + static_cast<uint32_t>(unit) * kUnitStride +
         row * kRowStride + instance;
}

SensorType SensorTypeOf(int unit_type, const view::Field& f, int* scale) {
  int s = kScaleUnits;
  SensorType t = SensorType::kOther;
  const std::string& u = f.unit;
  if (!u.empty() && (u[0] == 'm' || u[0] == 'k') && u.size() > 1)
    s = u[0] == 'm' ? kScaleMilli : kScaleKilo;
  const std::string base = s == kScaleUnits ? u : u.substr(1);
  switch (f.quantity) {
    case view::Quantity::kVoltage:
      t = unit_type == view::kAcType ? SensorType::kVoltsAc : SensorType::kVoltsDc;
      break;
    case view::Quantity::kCurrent:
      t = SensorType::kAmperes;
      break;
    case view::Quantity::kFrequency:
      t = SensorType::kHertz;
      break;
    case view::Quantity::kPower:
      t = SensorType::kWatts;
      break;
    case view::Quantity::kTemperature:
      // Kelvin and Fahrenheit have no type of their own.
      t = u == "°C" || u == "C" ? SensorType::kCelsius : SensorType::kOther;
      break;
    default:
      t = u == "%RH" ? SensorType::kPercentRh : SensorType::kOther;
      break;
  }
  // A prefix means a scale only on a unit the type names; "mm" stays as it is.
  const bool prefixed = (t == SensorType::kVoltsAc || t == SensorType::kVoltsDc) ? base == "V"
                        : t == SensorType::kAmperes                              ? base == "A"
                        : t == SensorType::kWatts                                ? base == "W"
                        : t == SensorType::kHertz                                ? base == "Hz"
                                                                                 : false;
  if (!prefixed) s = kScaleUnits;
  if (scale != nullptr) *scale = s;
  return t;
}

SensorReading SensorOf(const view::Value& v, int unit_type, bool lost) {
  SensorReading r;
  r.type = SensorTypeOf(unit_type, v.field, &r.scale);
  // Not stated: hundredths, as K417T-MIB gives readings.
  r.precision = v.field.precision < 0 ? 2 : std::min(v.field.precision, 9);
  r.units = v.field.unit;
  if (r.type == SensorType::kVoltsDc) r.units += " DC";
  if (r.type == SensorType::kVoltsAc) r.units += " AC";
  r.status = SensorStatus::kUnavailable;
  if (lost || !v.number || !std::isfinite(*v.number)) return r;
  const double scaled = std::round(*v.number * std::pow(10.0, r.precision));
  if (!(scaled >= -1e9 && scaled <= 1e9)) return r;
  r.value = static_cast<int32_t>(scaled);
  r.status = SensorStatus::kOk;
  return r;
}

std::string EntityTables::Shape() const {
  std::string s;
  for (const PhysicalEntity& e : entities) {
    for (const std::string* t : {&e.descr, &e.name, &e.hardware_rev, &e.firmware_rev,
                                 &e.software_rev, &e.serial, &e.mfg_name, &e.model_name}) {
      s += std::to_string(t->size());
      s += ':';
      s += *t;
    }
    s += ' ' + std::to_string(e.index) + ' ' + std::to_string(e.contained_in) + ' ' +
         std::to_string(static_cast<int>(e.cls)) + ' ' + std::to_string(e.parent_rel_pos) +
         (e.fru ? " 1\n" : " 0\n");
  }
  return s;
}

EntityTables EntityTablesOf(const std::vector<view::DeviceView>& devices, const EntityContext& c) {
  EntityTables t;
  PhysicalEntity gateway;
  gateway.index = kGatewayIndex;
  gateway.descr = "K417T gateway (k417t-run)";
  gateway.name = "gateway";
  gateway.cls = PhysicalClass::kChassis;
  gateway.software_rev = c.software;
  t.entities.push_back(gateway);

  for (size_t dk = 0; dk < devices.size() && dk < kMaxEntityDevices; ++dk) {
    const view::DeviceView& d = devices[dk];
    const bool lost = !view::ValuesLive(d) || d.health == view::Health::kLost;
    const uint32_t controller = EntityIndex(dk + 1, 0, 0, 0);
    PhysicalEntity ce;
    ce.index = controller;
    ce.descr = "K417T controller " + d.name + (d.line.empty() ? "" : " on " + d.line);
    ce.contained_in = kGatewayIndex;
    ce.cls = PhysicalClass::kModule;
    ce.parent_rel_pos = static_cast<int>(dk + 1);
    ce.name = d.name;
    ce.firmware_rev = d.version;
    ce.model_name = d.model;
    ce.fru = true;
    t.entities.push_back(ce);

    // The DC load's power (bus voltage x load current, as the view counts
    // energy with it): a computed reading of the controller's own, row 1 of
    // its unit place 0, so the NMS graphs watts beside volts and amperes.
    PhysicalEntity pe;
    pe.index = EntityIndex(dk + 1, 0, 1, 0);
    pe.descr = d.name + ", DC load power (bus voltage x load current)";
    pe.contained_in = controller;
    pe.cls = PhysicalClass::kSensor;
    pe.parent_rel_pos = 1;
    pe.name = "DC load power";
    t.entities.push_back(pe);
    SensorReading power;
    power.index = pe.index;
    power.type = SensorType::kWatts;
    power.units = "W";
    const std::optional<double> w = d.battery.power_w;
    if (!lost && w && std::isfinite(*w) && std::fabs(*w) <= 1e9) {
      power.value = static_cast<int32_t>(std::lround(*w));
      power.status = SensorStatus::kOk;
    }

    const view::DeviceInfo* info = nullptr;
    if (c.site != nullptr) {
      auto it = c.site->find(d.id);
      if (it != c.site->end()) info = &it->second;
    }
    uint32_t timestamp = 0;
    if (d.last_round > 0 && c.now >= d.last_round) {
      const int64_t age = (c.now - d.last_round) * 100;
      if (age <= static_cast<int64_t>(c.uptime_ticks)) timestamp = c.uptime_ticks - age;
    }
    power.timestamp = timestamp;
    t.sensors.push_back(power);

    // Ranks by data identifier among the units the controller was set up
    // with, whether they have answered or not: a unit whose first answer
    // comes late moves no other. A unit outside that list ranks after them.
    // Ordinals in the view's order, as the alarms' places count them.
    const std::map<unsigned int, size_t> rank = UnitRanks(d);
    std::vector<const view::UnitValues*> by_id;
    for (const view::UnitValues& u : d.units) by_id.push_back(&u);
    std::stable_sort(by_id.begin(), by_id.end(), [&](const auto* a, const auto* b) {
      return rank.at(a->data_id) < rank.at(b->data_id);
    });
    std::map<const view::UnitValues*, int> ordinal;
    std::map<int, int> counted;
    for (const view::UnitValues& u : d.units) ordinal[&u] = ++counted[u.type];

    std::vector<PhysicalEntity> entities;
    for (size_t k = 0; k < by_id.size(); ++k) {
      const view::UnitValues& u = *by_id[k];
      const size_t uk = rank.at(u.data_id);
      if (uk >= kMaxEntityUnits) break;
      // The same data identifier twice: the first keeps the place.
      if (k > 0 && by_id[k - 1]->data_id == u.data_id) continue;
      std::string place = UnitWord(u, ordinal[&u]);
      std::string site_name;
      if (info != nullptr) {
        auto n = info->unit_names.find(u.data_id);
        if (n != info->unit_names.end()) site_name = n->second;
      }
      const std::string unit_name = site_name.empty() ? place : site_name;
      const uint32_t unit_index = EntityIndex(dk + 1, uk + 1, 0, 0);
      PhysicalEntity ue;
      ue.index = unit_index;
      ue.descr = d.name + ", " + place + " (data id " + std::to_string(u.data_id) + ")";
      ue.contained_in = controller;
      ue.cls = u.type == view::kRectifierType ? PhysicalClass::kContainer : PhysicalClass::kModule;
      ue.parent_rel_pos = static_cast<int>(uk + 1);
      ue.name = unit_name;
      entities.push_back(ue);

      std::map<unsigned, bool> modules;
      int sensors_here = 0;
      std::map<unsigned, int> sensors_in_module;
      for (const view::Value& v : u.values) {
        if (!Measurement(v)) continue;
        const unsigned row = RowNumber(v, u.type);
        const uint32_t index = EntityIndex(dk + 1, uk + 1, row, v.field.instance);
        if (row == 0 || index == 0) continue;
        uint32_t parent = unit_index;
        int rel = 0;
        if (IsModule(v) && v.field.instance >= 1) {
          parent = EntityIndex(dk + 1, uk + 1, 0, v.field.instance);
          if (!modules[v.field.instance]) {
            modules[v.field.instance] = true;
            PhysicalEntity me;
            me.index = parent;
            me.descr =
                d.name + ", " + place + ", rectifier module " + std::to_string(v.field.instance);
            me.contained_in = unit_index;
            me.cls = PhysicalClass::kPowerSupply;
            me.parent_rel_pos = static_cast<int>(v.field.instance);
            me.name = "Rectifier module " + std::to_string(v.field.instance);
            me.fru = true;
            entities.push_back(me);
          }
          rel = ++sensors_in_module[v.field.instance];
        } else {
          rel = ++sensors_here;
        }
        PhysicalEntity se;
        se.index = index;
        se.descr = d.name + ", " + unit_name + ", " + v.field.label;
        se.contained_in = parent;
        se.cls = PhysicalClass::kSensor;
        se.parent_rel_pos = rel;
        se.name = v.field.label;
        entities.push_back(se);
        SensorReading r = SensorOf(v, u.type, lost);
        r.index = index;
        r.timestamp = timestamp;
        t.sensors.push_back(r);
      }
    }
    std::sort(entities.begin(), entities.end(),
              [](const PhysicalEntity& a, const PhysicalEntity& b) { return a.index < b.index; });
    t.entities.insert(t.entities.end(), entities.begin(), entities.end());
  }
  std::sort(t.sensors.begin(), t.sensors.end(),
            [](const SensorReading& a, const SensorReading& b) { return a.index < b.index; });
  return t;
}

void PutEntityTables(const EntityTables& t, uint32_t last_change_ticks, std::map<Oid, Var>& vars) {
  // zeroDotZero: no vendor registration; the "unknown" DateAndTime.
  const Var zero_dot_zero{Var::Type::kOid, 0, {}, Oid{0, 0}};
  const Var no_date = Text(std::string(8, '\0'));
  for (const PhysicalEntity& e : t.entities) {
    const uint32_t i = e.index;
    Put(vars, kPhysicalEntry, 2, {i}, Text(e.descr));
    Put(vars, kPhysicalEntry, 3, {i}, zero_dot_zero);
    Put(vars, kPhysicalEntry, 4, {i}, Int(e.contained_in));
    Put(vars, kPhysicalEntry, 5, {i}, Int(static_cast<int>(e.cls)));
    Put(vars, kPhysicalEntry, 6, {i}, Int(e.parent_rel_pos));
    Put(vars, kPhysicalEntry, 7, {i}, Text(e.name));
    Put(vars, kPhysicalEntry, 8, {i}, Text(e.hardware_rev));
    Put(vars, kPhysicalEntry, 9, {i}, Text(e.firmware_rev));
    Put(vars, kPhysicalEntry, 10, {i}, Text(e.software_rev));
    Put(vars, kPhysicalEntry, 11, {i}, Text(e.serial));
    Put(vars, kPhysicalEntry, 12, {i}, Text(e.mfg_name));
    Put(vars, kPhysicalEntry, 13, {i}, Text(e.model_name));
    Put(vars, kPhysicalEntry, 14, {i}, Text(""));
    Put(vars, kPhysicalEntry, 15, {i}, Text(""));
    Put(vars, kPhysicalEntry, 16, {i}, Int(e.fru ? 1 : 2));
    Put(vars, kPhysicalEntry, 17, {i}, no_date);
    Put(vars, kPhysicalEntry, 18, {i}, Text(""));
    if (e.contained_in != 0) Put(vars, kContainsEntry, 1, {e.contained_in, i}, Int(i));
  }
  vars[kLastChangeTime] = Ticks(last_change_ticks);
  for (const SensorReading& r : t.sensors) {
    const uint32_t i = r.index;
    Put(vars, kSensorEntry, 1, {i}, Int(static_cast<int>(r.type)));
    Put(vars, kSensorEntry, 2, {i}, Int(r.scale));
    Put(vars, kSensorEntry, 3, {i}, Int(r.precision));
    Put(vars, kSensorEntry, 4, {i}, Int(r.value));
    Put(vars, kSensorEntry, 5, {i}, Int(static_cast<int>(r.status)));
    Put(vars, kSensorEntry, 6, {i}, Text(r.units));
    Put(vars, kSensorEntry, 7, {i}, Ticks(r.timestamp));
    // Rounds follow each other as the line allows: no fixed rate.
    Put(vars, kSensorEntry, 8, {i}, Uns(0));
  }
}

const Oid& EntityMibObjects() {
  static const Oid o = Arcs({1, 3, 6, 1, 2, 1, 47, 1});
  return o;
}

const Oid& EntitySensorMibObjects() {
  static const Oid o = Arcs({1, 3, 6, 1, 2, 1, 99, 1});
  return o;
}

}  // namespace qmx::snmp
