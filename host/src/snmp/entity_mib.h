#pragma once

// ENTITY-MIB (RFC 6933) and ENTITY-SENSOR-MIB (RFC 3433) as data: the
// gateway, its controllers, their units and every numeric reading as a
// physical tree with one sensor entity per reading, so an NMS that knows
// no vendor MIB (LibreNMS, Zabbix, Observium) inventories the plant and
// graphs its readings. Built from the same view as K417T-MIB; nothing here
// knows net-snmp.
//
// entPhysicalIndex numbering, stable for a given site file (it never
// depends on how many inputs, modules or list entries an answer carries):
//
//   1                          the gateway (chassis)
//   D*10^7                     controller of the site's D-th device (module)
//   D*10^7 + 1000              its DC load power (sensor, watts: bus voltage
//                              x load current, computed by the view)
//   D*10^7 + U*10^5            its U-th unit by data identifier among the
//                              units it is set up with, answered or not
//                              (AC screen and DC distribution: module;
//                              rectifier group: container)
//   D*10^7 + U*10^5 + M        rectifier module M of a group (powerSupply)
//   D*10^7 + U*10^5 + R*10^3 + I
//                              the reading of the unit's R-th declared row
//                              (from 1, in row order), instance I (0 for a
//                              value that does not repeat) (sensor)
//
// with D 1..213, U 1..99, M 1..999, R 1..99, I 0..999: every index fits
// Integer32. Devices, units, rows or instances beyond these are left out.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "snmp/snmp_mib.h"
#include "view/site_view.h"

namespace qmx::snmp {

// PhysicalClass (ENTITY-MIB).
enum class PhysicalClass {
  kOther = 1,
  kChassis = 3,
  kContainer = 5,
  kPowerSupply = 6,
  kSensor = 8,
  kModule = 9,
};

// EntitySensorDataType, EntitySensorDataScale, EntitySensorStatus.
enum class SensorType {
  kOther = 1,
  kUnknown = 2,
  kVoltsAc = 3,
  kVoltsDc = 4,
  kAmperes = 5,
  kWatts = 6,
  kHertz = 7,
  kCelsius = 8,
  kPercentRh = 9,
};
inline constexpr int kScaleMilli = 8;
inline constexpr int kScaleUnits = 9;
inline constexpr int kScaleKilo = 10;
enum class SensorStatus { kOk = 1, kUnavailable = 2, kNonoperational = 3 };

inline constexpr uint32_t kGatewayIndex = 1;
inline constexpr size_t kMaxEntityDevices = 213;
inline constexpr size_t kMaxEntityUnits = 99;
inline constexpr unsigned kMaxEntityRows = 99;
inline constexpr unsigned kMaxEntityInstance = 999;

// 0 for a place outside the numbering.
uint32_t EntityIndex(size_t device, size_t unit, unsigned row, unsigned instance);

struct PhysicalEntity {
  uint32_t index = 0;
  std::string descr;
  uint32_t contained_in = 0;
  PhysicalClass cls = PhysicalClass::kOther;
  int parent_rel_pos = -1;
  std::string name;
  std::string hardware_rev, firmware_rev, software_rev, serial, mfg_name, model_name;
  bool fru = false;
};

struct SensorReading {
  uint32_t index = 0;  // its entity's
  SensorType type = SensorType::kOther;
  int scale = kScaleUnits;
  int precision = 0;
  int32_t value = 0;  // 0 unless ok
  SensorStatus status = SensorStatus::kUnavailable;
  std::string units;
  uint32_t timestamp = 0;  // sysUpTime ticks of the reading's round; 0: not known
};

// What the tables need beyond the devices.
struct EntityContext {
  const view::SiteInfo* site = nullptr;  // the site's unit names
  std::string software;                  // the gateway's software version
  uint32_t uptime_ticks = 0;             // sysUpTime now, hundredths of a second
  int64_t now = 0;                       // epoch seconds now
};

struct EntityTables {
  std::vector<PhysicalEntity> entities;  // in index order
  std::vector<SensorReading> sensors;    // in index order
  // The physical table as one text: it differs when a row came, went or
  // changed (what entLastChangeTime marks).
  std::string Shape() const;
};

// The sensor type of a reading of a unit of `unit_type` (the view's image
// types): AC screens' voltages are AC, every other voltage DC; values named
// by the site take the type and scale of their unit ("mV", "kW", "°C", "%RH";
// "°F", "K" and the like are other, in units).
SensorType SensorTypeOf(int unit_type, const view::Field& f, int* scale = nullptr);

// A reading at `precision` decimals, ok, or unavailable (value 0) when it
// has no value, its device is lost or it does not fit -10^9..10^9.
SensorReading SensorOf(const view::Value& v, int unit_type, bool lost);

EntityTables EntityTablesOf(const std::vector<view::DeviceView>& devices,
                            const EntityContext& context);

// entPhysicalTable, entPhysicalContainsTable, entLastChangeTime and
// entPhySensorTable into `vars`.
void PutEntityTables(const EntityTables& tables, uint32_t last_change_ticks,
                     std::map<Oid, Var>& vars);

// The subtrees the agent registers for them.
const Oid& EntityMibObjects();        // .1.3.6.1.2.1.47.1
const Oid& EntitySensorMibObjects();  // .1.3.6.1.2.1.99.1

}  // namespace qmx::snmp
