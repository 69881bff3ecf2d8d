#pragma once

// The Modbus register map, generated from the view's rows, and the register
// image a server answers from.
//
// Every device (one Modbus unit identifier) has the same map: fixed slots for
// the rectifier group, four AC screens and four DC units, each slot holding
// its kind's rows for a fixed number of instances, so an address never moves
// when a unit or a module appears or goes. Inside a slot of V value places
// (V: the kind's numeric values rounded up to 50):
//
//   slot + 0        float32 per value, 2 registers each (word order as set)
//   slot + 2V       int16 per value: value x 10^precision, saturated
//   slot + 3V       uint16 status per value: 0 valid, 1 no value, 2 stale
//   slot + 4V       uint16 per state value: the state code (0xFFFF: none)
//
// Discrete inputs: 0 any active alarm of the device, 1 controller lost;
// at a slot's base, any active alarm of that unit; at a state register's
// address, that state is not normal. Input registers 0..12 are the
// controller's health, 20..24 the last control command's outcome; holding
// registers 0..2 the control command block. Addresses are 0-based as on the wire.
//
// Energy and batteries (the view's counters and estimates, not rows) sit in
// a block of their own below the slots, at 200:
//
//   200 + 2i        float32 per figure i (word order as set)
//   240 + 2i        int32 per figure: figure x 10^precision, high word first,
//                   saturated; 0x80000000: none
//   280 + i         uint16 status per figure: 0 valid, 1 no value, 2 stale
//   300..303        configured, discharging, test running, autonomy low (0/1)
//
// with discrete inputs 200..202: discharging, test running, autonomy low.
// The counters keep status 0 while the controller is lost (they stay true:
// nothing was counted while it was away); the readings go stale.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "view/site_view.h"

namespace qmx::modbus {

enum class Table { kInputRegister, kDiscreteInput, kHoldingRegister };
enum class Type { kFloat32, kInt16, kUint16, kUint32, kInt32, kBit };
const char* TableName(Table t);  // "input_register", "discrete_input", "holding_register"
const char* TypeName(Type t);    // "float32", "int16", "uint16", "uint32", "int32", "bit"

// Where an entry's content comes from.
enum class Source {
  kHealth,    // `item`: one of the Health items below
  kFloat,     // a value's reading as float32
  kScaled,    // the same reading as int16 x 10^precision
  kStatus,    // the same value's status
  kState,     // a state value's code
  kAlert,     // a state value not normal (discrete input)
  kUnitAlarm,  // any active alarm of the slot's unit (discrete input)
  // The energy and battery block: `figure` indexes BatteryFigures().
  kFigureFloat,   // float32
  kFigureScaled,  // int32 x 10^precision
  kFigureStatus,  // its status
  kBatteryFlag    // `item`: one of the flags below (input register and discrete input)
};

enum class Health {
  kDataValid,     // 1: the controller answers and its values are current
  kLinkUp,        // 1: the line is open and the controller answers
  kSecondsSince,  // uint32, since the last completed round; 0xFFFFFFFF: none yet
  kRounds,        // uint32, completed rounds (wraps)
  kHealthCode,    // 0 starting, 1 healthy, 2 alarm, 3 lost
  kAlarmsActive,  // active alarms
  kCritical,      // ... of them critical
  kMajor,         // major
  kMinor,         // minor
  kWarning,       // warning
  kWorst,         // worst active severity: 0 none, 1 warning .. 4 critical
  kAnyAlarm,      // discrete input: any active alarm
  kLost,          // discrete input: the controller is lost
  // The last control command through Modbus (the server fills them).
  kCommandSeq,      // its request sequence
  kCommandCode,     // its control code
  kCommandByte,     // its byte (65535: none)
  kCommandOutcome,  // 0 none, 1 done, 2 refused, 3 pending
  kCommandResult,   // int16: the controller's result (-1: refused)
  // Holding registers: the command block (only with control on).
  kHoldCode,  // control code
  kHoldByte,  // byte, 65535: none
  kHoldSeq,  // request sequence: writing it sends the command
  // Battery flags (Source::kBatteryFlag).
  kBatteryConfigured,  // the site names battery strings
  kDischarging,        // a discharge is going on
  kTestRunning,        // a battery test is running
  kAutonomyLow         // the autonomy alarm is raised
};
inline constexpr uint16_t kCommandRegisters = 20;  // input registers 20..24

struct Entry {
  Table table = Table::kInputRegister;
  uint16_t address = 0;
  int words = 1;
  Type type = Type::kUint16;
  int precision = 0;  // kScaled: value = raw / 10^precision
  std::string key;    // "rectifier.module_0_current", "ac1.channel_0_a", "controller.rounds"
  std::string label;
  std::string unit;
  std::string kind;  // "controller", "ac", "rectifier", "dc"
  Source source = Source::kHealth;
  Health item = Health::kDataValid;
  int slot = -1;          // index into Map::slots (unit entries)
  int figure = -1;        // index into BatteryFigures() (kFigure* entries)
  std::string value_key;  // the view's key of the value ("channel_0_a")
};

// One unit place of the map.
struct Slot {
  int type = 0;          // view::kAcType, kRectifierType, kDcType
  std::string kind;      // "ac", "rectifier", "dc"
  unsigned ordinal = 0;  // 0-based among the device's units of that kind
  std::string name;      // "ac1", "rectifier", "dc2"
  uint16_t base = 0;
  uint16_t end = 0;  // one past the last address it uses
  int values = 0;    // V above
};

// Fixed places: bases and how many instances of each repeated section the
// map holds. Values beyond them are not on Modbus.
inline constexpr uint16_t kRectifierBase = 1000;
inline constexpr uint16_t kAcBase = 2000;
inline constexpr uint16_t kDcBase = 6000;
inline constexpr uint16_t kSlotStride = 1000;
inline constexpr unsigned kAcScreens = 4;
inline constexpr unsigned kDcUnits = 4;
inline constexpr unsigned kAcInputs = 8;
inline constexpr unsigned kModules = 64;

// The energy and battery block.
inline constexpr uint16_t kBatteryBase = 200;
inline constexpr uint16_t kBatteryPlaces = 20;  // figures it has room for

// One figure of the block: where it comes from in the device's BatteryView.
struct BatteryFigure {
  const char* key;  // "load_power" (the map's key is "battery.load_power")
  const char* label;
  const char* unit;
  int precision;  // of the int32 form
  // Counters stay valid while the controller is lost; readings go stale.
  bool counter;
  // Only where the site names battery strings.
  bool needs_strings;
  std::optional<double> (*read)(const view::BatteryView& b);
};
const std::vector<BatteryFigure>& BatteryFigures();

struct Map {
  std::vector<Slot> slots;
  std::vector<Entry> entries;  // by table, then address
  // Which addresses exist, per table (index: address).
  std::vector<bool> input_mapped, discrete_mapped;
};

// The map as the rows make it (built once; the same for every device).
const Map& TheMap();

// The map as CSV: a header line, then one line per entry, with the unit
// identifier column filled per device when `units` is not empty (unit id ->
// device name), otherwise left empty.
std::string MapCsv(const Map& map, const std::vector<std::pair<int, std::string>>& units = {});

// The registers of one device at one moment.
struct DeviceRegisters {
  unsigned int device = 0;
  std::vector<uint16_t> input;    // by address, TheMap().input_mapped.size() long
  std::vector<uint8_t> discrete;  // by address, 0 or 1
};

// Everything a server answers from: the devices by unit identifier. Unit
// identifier 0 and 255 address the device with the lowest identifier.
struct RegisterImage {
  std::shared_ptr<const Map> map;
  std::map<uint8_t, DeviceRegisters> units;
};

// A device's registers from its view; `big_endian_words`: float32 high word
// first. `now`: epoch seconds.
DeviceRegisters BuildRegisters(const Map& map, const view::DeviceView& device,
                               bool big_endian_words, int64_t now);

// float32 as two registers in the given word order, and back.
void PutFloat(float f, bool big_endian_words, uint16_t* two);
// value x 10^precision rounded and saturated to [-32767, 32767]; 0x8000 for none.
uint16_t Scaled(double value, int precision);
// The same to [-2147483647, 2147483647]; 0x80000000 for none.
uint32_t Scaled32(double value, int precision);

}  // namespace qmx::modbus
