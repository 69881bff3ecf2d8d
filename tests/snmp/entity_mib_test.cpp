// ENTITY-MIB's physical tree and ENTITY-SENSOR-MIB's sensors from the view
// of a real round (plug-in, host and simulator on an in-memory line): every
// entity hangs in the tree under one parent, every numeric reading of every
// unit is one sensor with its type, scale and precision, no value and a lost
// controller read as unavailable, indexes stay where they are when answers
// change, and the variables sit in OID order inside their two subtrees.
#include "snmp/entity_mib.h"

#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "support/one_round.h"
#include "view/site_view.h"

// The plug-in's pauses between requests: not needed on the in-memory line.
extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

using qmx::snmp::EntityTables;
using qmx::snmp::PhysicalClass;
using qmx::snmp::PhysicalEntity;
using qmx::snmp::SensorReading;
using qmx::snmp::SensorStatus;
using qmx::snmp::SensorType;

Json::Value Scenario(const std::string& name) {
  std::ifstream in(std::string(K417T_EXAMPLES) + "/" + name);
  Json::Value v;
  in >> v;
  return v;
}

constexpr const char* kTwoDc =
    R"({"address": 1, "timeout_ms": 200, "acSetting": [{"data_id": 11}],
        "dcSetting": [{"data_id": 21}, {"data_id": 22}], "rcSetting": {}})";

// The example site's names for the device and its units.
qmx::view::SiteInfo ExampleSite() {
  qmx::view::SiteInfo site;
  qmx::view::DeviceInfo& d = site[100];
  d.name = "power-1";
  d.labels[21].user = {{"Battery 1 temperature", "°C"}, {"Battery 2 temperature", "°C"}};
  d.unit_names[21] = "Battery bus";
  return site;
}

struct Plant {
  k417t_test::OneRound round;
  qmx::view::SiteView view;
  explicit Plant(const Json::Value& scenario, const char* setting = kTwoDc)
      : round(scenario, "", setting), view(*round.host) {
    round.Poll(1);
    view.SetSite(ExampleSite());
  }
  EntityTables Tables(const std::vector<qmx::view::DeviceView>* devices = nullptr) const {
    const qmx::view::SiteInfo site = view.site();
    qmx::snmp::EntityContext c;
    c.site = &site;
    c.software = "9.9.9";
    c.uptime_ticks = 100000;
    c.now = view.Now();
    return qmx::snmp::EntityTablesOf(devices != nullptr ? *devices : view.Devices(), c);
  }
};

const PhysicalEntity* Entity(const EntityTables& t, uint32_t index) {
  for (const PhysicalEntity& e : t.entities)
    if (e.index == index) return &e;
  return nullptr;
}

const SensorReading* Sensor(const EntityTables& t, uint32_t index) {
  for (const SensorReading& s : t.sensors)
    if (s.index == index) return &s;
  return nullptr;
}

// The entity whose name is `name` among the children of `parent`.
const PhysicalEntity* Child(const EntityTables& t, uint32_t parent, const std::string& name) {
  for (const PhysicalEntity& e : t.entities)
    if (e.contained_in == parent && e.name == name) return &e;
  return nullptr;
}

// The names of the sensors at or below `parent`.
std::multiset<std::string> SensorNamesUnder(const EntityTables& t, uint32_t parent) {
  std::multiset<std::string> out;
  for (const PhysicalEntity& e : t.entities) {
    if (e.cls != PhysicalClass::kSensor) continue;
    for (uint32_t up = e.contained_in; up != 0;) {
      if (up == parent) {
        out.insert(e.name);
        break;
      }
      const PhysicalEntity* p = Entity(t, up);
      up = p != nullptr ? p->contained_in : 0;
    }
  }
  return out;
}

bool IsReading(const qmx::view::Value& v) {
  return v.field.quantity != qmx::view::Quantity::kState &&
         v.field.quantity != qmx::view::Quantity::kParameter;
}

TEST(EntityMib, TreeOfTheExamplePlant) {
  Plant p(Scenario("scenario.json"));
  const EntityTables t = p.Tables();
  ASSERT_FALSE(t.entities.empty());

  // One tree: the gateway at its root, every other entity under a parent
  // that exists, at a position of its own among its siblings (entities of
  // one parent and one class).
  const PhysicalEntity& gw = t.entities.front();
  EXPECT_EQ(1u, gw.index);
  EXPECT_EQ(0u, gw.contained_in);
  EXPECT_EQ(PhysicalClass::kChassis, gw.cls);
  EXPECT_EQ("9.9.9", gw.software_rev);
  std::set<std::tuple<uint32_t, PhysicalClass, int>> positions;
  for (size_t k = 1; k < t.entities.size(); ++k) {
    const PhysicalEntity& e = t.entities[k];
    EXPECT_LT(t.entities[k - 1].index, e.index) << "in index order, each once";
    EXPECT_LE(e.index, 2147483647u);
    const PhysicalEntity* parent = Entity(t, e.contained_in);
    ASSERT_NE(nullptr, parent) << e.descr;
    EXPECT_LT(parent->index, e.index) << e.descr;
    EXPECT_NE(PhysicalClass::kSensor, parent->cls) << e.descr;
    EXPECT_GE(e.parent_rel_pos, 1) << e.descr;
    EXPECT_TRUE(positions.insert({e.contained_in, e.cls, e.parent_rel_pos}).second) << e.descr;
    EXPECT_FALSE(e.name.empty()) << e.index;
  }

  // The controller and its units, as the site names them.
  const PhysicalEntity* ctrl = Child(t, 1, "power-1");
  ASSERT_NE(nullptr, ctrl);
  EXPECT_EQ(PhysicalClass::kModule, ctrl->cls);
  EXPECT_EQ("K417T", ctrl->model_name);
  EXPECT_EQ("1.20", ctrl->firmware_rev);
  const PhysicalEntity* ac = Child(t, ctrl->index, "AC screen 1");
  const PhysicalEntity* bus = Child(t, ctrl->index, "Battery bus");
  const PhysicalEntity* dc2 = Child(t, ctrl->index, "DC distribution 2");
  const PhysicalEntity* group = Child(t, ctrl->index, "rectifier group");
  ASSERT_TRUE(ac && bus && dc2 && group);
  EXPECT_EQ(PhysicalClass::kModule, ac->cls);
  EXPECT_EQ(PhysicalClass::kContainer, group->cls);
  EXPECT_NE(std::string::npos, bus->descr.find("data id 21")) << bus->descr;
  for (int m = 1; m <= 3; ++m) {
    const PhysicalEntity* module = Child(t, group->index, "Rectifier module " + std::to_string(m));
    ASSERT_NE(nullptr, module) << m;
    EXPECT_EQ(PhysicalClass::kPowerSupply, module->cls);
    EXPECT_TRUE(module->fru);
    EXPECT_EQ(std::multiset<std::string>{"Module " + std::to_string(m) + " current"},
              SensorNamesUnder(t, module->index));
  }

  // Every reading of every unit is a sensor below its unit; states and the
  // controller's settings are not.
  const qmx::view::DeviceView d = *p.view.Device(100);
  size_t readings = 0;
  for (const qmx::view::UnitValues& u : d.units) {
    const PhysicalEntity* unit = u.data_id == 11    ? ac
                                 : u.data_id == 21  ? bus
                                 : u.data_id == 22  ? dc2
                                 : u.data_id == 100 ? group
                                                    : nullptr;
    ASSERT_NE(nullptr, unit) << u.data_id;
    std::multiset<std::string> labels;
    for (const qmx::view::Value& v : u.values)
      if (IsReading(v)) labels.insert(v.field.label);
    readings += labels.size();
    EXPECT_EQ(labels, SensorNamesUnder(t, unit->index)) << unit->name;
  }
  // ... and the controller's DC load power, in watts (the view works it out
  // once the round's report reaches it: set here, not waited for).
  EXPECT_EQ(readings + 1, t.sensors.size());
  const PhysicalEntity* power = Child(t, ctrl->index, "DC load power");
  ASSERT_NE(nullptr, power);
  std::vector<qmx::view::DeviceView> devices = p.view.Devices();
  ASSERT_EQ(1u, devices.size());
  devices[0].battery.power_w = 10721.4;
  const EntityTables with_power = p.Tables(&devices);
  const SensorReading* watts = Sensor(with_power, power->index);
  ASSERT_NE(nullptr, watts);
  EXPECT_EQ(SensorType::kWatts, watts->type);
  EXPECT_EQ(qmx::snmp::kScaleUnits, watts->scale);
  EXPECT_EQ(0, watts->precision);
  EXPECT_EQ(SensorStatus::kOk, watts->status);
  EXPECT_EQ(10721, watts->value);
  EXPECT_EQ("W", watts->units);
  devices[0].battery.power_w.reset();
  EXPECT_EQ(SensorStatus::kUnavailable, Sensor(p.Tables(&devices), power->index)->status);
  for (const SensorReading& s : t.sensors) {
    const PhysicalEntity* e = Entity(t, s.index);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(PhysicalClass::kSensor, e->cls);
  }

  // Type, scale, precision, value and units of a few readings.
  auto sensor = [&](const PhysicalEntity* unit, const std::string& name) -> const SensorReading* {
    const PhysicalEntity* e = Child(t, unit->index, name);
    return e != nullptr ? Sensor(t, e->index) : nullptr;
  };
  struct Want {
    const PhysicalEntity* unit;
    const char* name;
    SensorType type;
    int32_t value;
    const char* units;
  };
  for (const Want& w : {
           Want{bus, "Output voltage", SensorType::kVoltsDc, 5350, "V DC"},
           Want{bus, "Current", SensorType::kAmperes, 12040, "A"},
           Want{bus, "Battery 1 temperature", SensorType::kCelsius, 2500, "°C"},
           Want{bus, "Value m 1", SensorType::kOther, 6020, ""},
           Want{ac, "Input 1 voltage AB/A", SensorType::kVoltsAc, 38050, "V AC"},
           Want{ac, "Input 1 frequency", SensorType::kHertz, 5000, "Hz"},
           Want{ac, "Phase C current", SensorType::kAmperes, 3210, "A"},
           Want{group, "Output voltage", SensorType::kVoltsDc, 5350, "V DC"},
           Want{group, "Total current", SensorType::kAmperes, 8000, "A"},
       }) {
    const SensorReading* s = sensor(w.unit, w.name);
    ASSERT_NE(nullptr, s) << w.unit->name << ": " << w.name;
    EXPECT_EQ(w.type, s->type) << w.name;
    EXPECT_EQ(qmx::snmp::kScaleUnits, s->scale) << w.name;
    EXPECT_EQ(2, s->precision) << w.name;
    EXPECT_EQ(w.value, s->value) << w.name;
    EXPECT_EQ(SensorStatus::kOk, s->status) << w.name;
    EXPECT_EQ(w.units, s->units) << w.name;
  }
  const SensorReading* modules = sensor(group, "Modules");
  ASSERT_NE(nullptr, modules);
  EXPECT_EQ(0, modules->precision);
  EXPECT_EQ(3, modules->value);
}

TEST(EntityMib, NoValueAndALostControllerAreUnavailable) {
  Plant p(Scenario("scenarios/no_values.json"), k417t_test::OneRound::kSetting);
  const EntityTables t = p.Tables();
  const PhysicalEntity* ctrl = Child(t, 1, "power-1");
  ASSERT_NE(nullptr, ctrl);
  const PhysicalEntity* ac = Child(t, ctrl->index, "AC screen 1");
  ASSERT_NE(nullptr, ac);
  auto status = [&](const EntityTables& tables, const std::string& name) {
    const PhysicalEntity* e = Child(tables, ac->index, name);
    const SensorReading* s = e != nullptr ? Sensor(tables, e->index) : nullptr;
    EXPECT_NE(nullptr, s) << name;
    return s != nullptr ? std::make_pair(s->status, s->value)
                        : std::make_pair(SensorStatus::kNonoperational, -1);
  };
  // "20202020" and "FFFFFFFF": no value; 0 is a reading.
  EXPECT_EQ(std::make_pair(SensorStatus::kUnavailable, 0), status(t, "Phase A current"));
  EXPECT_EQ(std::make_pair(SensorStatus::kOk, 0), status(t, "Phase B current"));
  EXPECT_EQ(std::make_pair(SensorStatus::kUnavailable, 0), status(t, "Phase C current"));
  // Every reading of the view: unavailable exactly when it has no value.
  const qmx::view::DeviceView d = *p.view.Device(100);
  size_t none = 0;
  for (const qmx::view::UnitValues& u : d.units) {
    const std::string place = u.data_id == 11    ? "AC screen 1"
                              : u.data_id == 21  ? "Battery bus"
                              : u.data_id == 100 ? "rectifier group"
                                                 : "";
    const PhysicalEntity* unit = Child(t, ctrl->index, place);
    ASSERT_NE(nullptr, unit) << u.data_id;
    for (const qmx::view::Value& v : u.values) {
      if (!IsReading(v) || v.field.key.rfind("module_", 0) == 0) continue;
      const PhysicalEntity* e = Child(t, unit->index, v.field.label);
      const SensorReading* s = e != nullptr ? Sensor(t, e->index) : nullptr;
      ASSERT_NE(nullptr, s) << v.field.label;
      EXPECT_EQ(v.number ? SensorStatus::kOk : SensorStatus::kUnavailable, s->status)
          << place << ": " << v.field.label;
      none += v.number ? 0 : 1;
    }
  }
  EXPECT_GE(none, 4u) << "the scenario's no-value readings";

  // The controller lost: the same tree, every sensor unavailable at 0.
  std::vector<qmx::view::DeviceView> devices = p.view.Devices();
  ASSERT_EQ(1u, devices.size());
  bool some_ok = false;
  for (const SensorReading& s : t.sensors) some_ok |= s.status == SensorStatus::kOk;
  EXPECT_TRUE(some_ok);
  devices[0].stale = true;
  devices[0].health = qmx::view::Health::kLost;
  const EntityTables lost = p.Tables(&devices);
  EXPECT_EQ(t.Shape(), lost.Shape());
  ASSERT_EQ(t.sensors.size(), lost.sensors.size());
  for (const SensorReading& s : lost.sensors) {
    EXPECT_EQ(SensorStatus::kUnavailable, s.status) << s.index;
    EXPECT_EQ(0, s.value) << s.index;
  }
}

TEST(EntityMib, IndexesStayWhenAnswersChange) {
  Plant p(Scenario("scenario.json"));
  const EntityTables first = p.Tables();
  const EntityTables again = p.Tables();
  EXPECT_EQ(first.Shape(), again.Shape()) << "two builds of one view";

  // The rectifier group reports one module fewer and the first DC unit
  // one user value fewer: what remains keeps its index and name.
  Json::Value fewer = Scenario("scenario.json");
  fewer["rectifier"]["modules"].resize(2);
  fewer["dc"][0]["user"].resize(1);
  Plant q(fewer);
  const EntityTables second = q.Tables();
  EXPECT_LT(second.entities.size(), first.entities.size());
  size_t kept = 0;
  for (const PhysicalEntity& e : second.entities) {
    const PhysicalEntity* before = Entity(first, e.index);
    ASSERT_NE(nullptr, before) << e.index << " " << e.descr;
    EXPECT_EQ(before->name, e.name) << e.index;
    EXPECT_EQ(before->contained_in, e.contained_in) << e.index;
    ++kept;
  }
  EXPECT_EQ(second.entities.size(), kept);

  // A second device after the first moves nothing of the first.
  std::vector<qmx::view::DeviceView> two = p.view.Devices();
  two.push_back(two.front());
  two.back().id = 200;
  two.back().name = "power-2";
  const EntityTables both = p.Tables(&two);
  for (const PhysicalEntity& e : first.entities) {
    const PhysicalEntity* same = Entity(both, e.index);
    ASSERT_NE(nullptr, same) << e.index;
    EXPECT_EQ(e.descr, same->descr);
  }
  EXPECT_NE(nullptr, Child(both, 1, "power-2"));
  EXPECT_EQ(2 * first.sensors.size(), both.sensors.size());
}

// A unit whose first answer comes late (the AC screen, lowest data
// identifier, absent from the first snapshot) takes its own place when it
// comes and moves no other unit, module or sensor.
TEST(EntityMib, ALateUnitMovesNoOther) {
  Plant p(Scenario("scenario.json"));
  const std::vector<qmx::view::DeviceView> full = p.view.Devices();
  ASSERT_EQ(1u, full.size());
  // The view lists the units the controller is set up with, answered or not.
  EXPECT_EQ((std::vector<unsigned int>{11, 21, 22, 100}), full[0].unit_ids);

  std::vector<qmx::view::DeviceView> early = full;
  auto& units = early[0].units;
  units.erase(std::remove_if(units.begin(), units.end(),
                             [](const qmx::view::UnitValues& u) { return u.data_id == 11; }),
              units.end());
  ASSERT_EQ(full[0].units.size() - 1, units.size());
  const EntityTables before = p.Tables(&early);
  const EntityTables after = p.Tables(&full);
  ASSERT_GT(after.entities.size(), before.entities.size());
  ASSERT_GT(after.sensors.size(), before.sensors.size());
  for (const PhysicalEntity& e : before.entities) {
    const PhysicalEntity* same = Entity(after, e.index);
    ASSERT_NE(nullptr, same) << e.index << " " << e.descr;
    EXPECT_EQ(e.descr, same->descr) << e.index;
    EXPECT_EQ(e.contained_in, same->contained_in) << e.index;
    EXPECT_EQ(e.parent_rel_pos, same->parent_rel_pos) << e.index;
  }
  for (const SensorReading& s : before.sensors) {
    const SensorReading* same = Sensor(after, s.index);
    ASSERT_NE(nullptr, same) << s.index;
    EXPECT_EQ(s.type, same->type) << s.index;
    EXPECT_EQ(s.value, same->value) << s.index;
  }
  // The late unit is the device's first, as it is with every answer in.
  const PhysicalEntity* ac = Entity(after, 10100000);
  ASSERT_NE(nullptr, ac);
  EXPECT_NE(std::string::npos, ac->descr.find("data id 11")) << ac->descr;
  EXPECT_EQ(nullptr, Entity(before, 10100000));

  // A unit the controller was not set up with ranks after those it was,
  // and moves none of them.
  std::vector<qmx::view::DeviceView> stray = full;
  qmx::view::UnitValues extra = stray[0].units.front();
  extra.data_id = 5;
  stray[0].units.push_back(extra);
  const EntityTables with_stray = p.Tables(&stray);
  for (const PhysicalEntity& e : after.entities) {
    const PhysicalEntity* same = Entity(with_stray, e.index);
    ASSERT_NE(nullptr, same) << e.index;
    EXPECT_EQ(e.descr, same->descr) << e.index;
  }
  const PhysicalEntity* fifth = Entity(with_stray, 10500000);
  ASSERT_NE(nullptr, fifth);
  EXPECT_NE(std::string::npos, fifth->descr.find("data id 5")) << fifth->descr;
}

qmx::view::Value Measured(qmx::view::Quantity q, const std::string& unit, int precision,
                          std::optional<double> number) {
  qmx::view::Value v;
  v.field.quantity = q;
  v.field.unit = unit;
  v.field.precision = precision;
  v.number = number;
  return v;
}

TEST(EntityMib, SensorTypesScalesAndRange) {
  using Q = qmx::view::Quantity;
  const int dc = qmx::view::kDcType;
  struct Case {
    Q q;
    const char* unit;
    int unit_type;
    SensorType type;
    int scale;
  };
  for (const Case& c : {
           Case{Q::kVoltage, "V", qmx::view::kAcType, SensorType::kVoltsAc, 9},
           Case{Q::kVoltage, "V", dc, SensorType::kVoltsDc, 9},
           Case{Q::kVoltage, "mV", dc, SensorType::kVoltsDc, 8},
           Case{Q::kVoltage, "kV", dc, SensorType::kVoltsDc, 10},
           Case{Q::kCurrent, "mA", dc, SensorType::kAmperes, 8},
           Case{Q::kPower, "kW", dc, SensorType::kWatts, 10},
           Case{Q::kFrequency, "Hz", dc, SensorType::kHertz, 9},
           Case{Q::kTemperature, "°C", dc, SensorType::kCelsius, 9},
           Case{Q::kTemperature, "°F", dc, SensorType::kOther, 9},
           Case{Q::kTemperature, "K", dc, SensorType::kOther, 9},
           Case{Q::kValue, "%RH", dc, SensorType::kPercentRh, 9},
           Case{Q::kValue, "mm", dc, SensorType::kOther, 9},
           Case{Q::kValue, "", dc, SensorType::kOther, 9},
       }) {
    const SensorReading s = qmx::snmp::SensorOf(Measured(c.q, c.unit, 2, 1.0), c.unit_type, false);
    EXPECT_EQ(c.type, s.type) << c.unit;
    EXPECT_EQ(c.scale, s.scale) << c.unit;
  }
  auto of = [&](int precision, std::optional<double> n) {
    return qmx::snmp::SensorOf(Measured(Q::kVoltage, "V", precision, n), dc, false);
  };
  EXPECT_EQ(-5347, of(2, -53.47).value);
  EXPECT_EQ(4020, of(2, 40.2).value) << "rounded, not cut";
  EXPECT_EQ(2, of(-1, 1.0).precision) << "not stated: hundredths";
  EXPECT_EQ(100, of(-1, 1.0).value);
  EXPECT_EQ(9, of(12, 1.0).precision) << "the most the MIB allows";
  EXPECT_EQ(1000000000, of(2, 1e7).value);
  EXPECT_EQ(SensorStatus::kOk, of(2, 1e7).status);
  for (const double bad : {1e7 + 0.01, -2e7, 1e300, std::nan(""), HUGE_VAL}) {
    const SensorReading s = of(2, bad);
    EXPECT_EQ(SensorStatus::kUnavailable, s.status) << bad;
    EXPECT_EQ(0, s.value) << bad;
  }
  EXPECT_EQ(SensorStatus::kUnavailable, of(2, std::nullopt).status);
  EXPECT_EQ(SensorStatus::kUnavailable,
            qmx::snmp::SensorOf(Measured(Q::kVoltage, "V", 2, 53.5), dc, true).status)
      << "lost";
}

TEST(EntityMib, VariablesInTheirSubtreesInOrder) {
  Plant p(Scenario("scenario.json"));
  // A device name longer than a column holds, in UTF-8.
  std::vector<qmx::view::DeviceView> devices = p.view.Devices();
  std::string long_name;
  for (int k = 0; k < 120; ++k) long_name += "é";
  devices[0].name = long_name;
  const EntityTables t = p.Tables(&devices);
  std::map<qmx::snmp::Oid, qmx::snmp::Var> vars;
  qmx::snmp::PutEntityTables(t, 4242, vars);

  const qmx::snmp::Oid& ent = qmx::snmp::EntityMibObjects();
  const qmx::snmp::Oid& sen = qmx::snmp::EntitySensorMibObjects();
  auto under = [](const qmx::snmp::Oid& root, const qmx::snmp::Oid& o) {
    return o.size() > root.size() && std::equal(root.begin(), root.end(), o.begin());
  };
  size_t contains = 0, sensor_values = 0;
  for (const auto& [o, v] : vars) {
    ASSERT_TRUE(under(ent, o) || under(sen, o));
    if (v.type == qmx::snmp::Var::Type::kOctets && !v.text.empty()) {
      EXPECT_LE(v.text.size(), 255u);
      EXPECT_NE('\xc3', v.text.back()) << "no character cut in two";
    }
    const qmx::snmp::Oid contains_col = {1, 3, 6, 1, 2, 1, 47, 1, 3, 3, 1, 1};
    if (under(contains_col, o)) {
      ASSERT_EQ(contains_col.size() + 2, o.size());
      const PhysicalEntity* child = Entity(t, o.back());
      ASSERT_NE(nullptr, child);
      EXPECT_EQ(child->contained_in, o[o.size() - 2]);
      EXPECT_EQ(static_cast<int64_t>(o.back()), v.number);
      ++contains;
    }
    const qmx::snmp::Oid value_col = {1, 3, 6, 1, 2, 1, 99, 1, 1, 1, 4};
    if (under(value_col, o)) ++sensor_values;
  }
  EXPECT_EQ(t.entities.size() - 1, contains) << "every entity but the gateway";
  EXPECT_EQ(t.sensors.size(), sensor_values);
  const auto last_change = vars.find({1, 3, 6, 1, 2, 1, 47, 1, 4, 1, 0});
  ASSERT_NE(vars.end(), last_change);
  EXPECT_EQ(qmx::snmp::Var::Type::kTimeTicks, last_change->second.type);
  EXPECT_EQ(4242, last_change->second.number);
  // The controller's class column: module(9).
  ASSERT_LT(1u, t.entities.size());
  const PhysicalEntity& ctrl = t.entities[1];
  EXPECT_EQ(1u, ctrl.contained_in);
  const auto cls = vars.find({1, 3, 6, 1, 2, 1, 47, 1, 1, 1, 1, 5, ctrl.index});
  ASSERT_NE(vars.end(), cls);
  EXPECT_EQ(9, cls->second.number);
}

}  // namespace
