#pragma once

// Each unit kind's values as a declared table: one row per value, saying
// where the value sits in the unit's record (offsets taken from the units'
// packed structs, so the layout exists once), how many times it repeats and
// what governs the count, its key, label, quantity and unit, its state codes
// with their words and numbers, its Prometheus family and labels, and its
// place in the SNMP tables. The image reader, the dead band, /metrics, Home
// Assistant discovery and the SNMP tables all loop over these rows.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qmx::view {

// What a value measures; front ends derive their own classes from it.
enum class Quantity {
  kVoltage,
  kCurrent,
  kFrequency,
  kTemperature,
  kPower,
  kState,
  kParameter,
  kValue
};
const char* QuantityName(Quantity q);

// How a state value is offered to Home Assistant (measurements are sensors).
enum class StateEntity { kNone, kEnum, kProblem };

// How a row's instances are laid out in the image.
struct Section {
  enum class Kind {
    kOnce,     // one value, at the row's offset in the unit's first record
    kRecords,  // one per record following the first (AC inputs, rectifier modules)
    kList,     // an array inside the first record (DC m, user and fuse lists; settings)
  };
  Kind kind = Kind::kOnce;
  const char* name = "";  // "input", "module", "m", "user", "fuse", "ac_param", ...
  size_t first = 0;       // kRecords: offset of the first of the records
  size_t stride = 0;      // bytes from one instance to the next
  // Offset of the u8 count of instances; -1: the records fill the image
  // (kRecords) or the list is always `room` long (kList).
  int count_at = -1;
  // kList: the most entries; a count beyond it was refused by the unit, so
  // none of the list is current and the section is left out.
  size_t room = 0;
};

// One code of a state byte.
struct StateCode {
  unsigned code;
  const char* word;
  int number;  // what SNMP's enumeration says for it
  bool alert;  // not normal
};

struct States {
  std::vector<StateCode> codes;
  // Codes not listed: this word (null: "state N"), number and alert.
  const char* other_word = nullptr;
  int other_number = 0;
  bool other_alert = false;
  // Offered to clients as the state's options (enum sensors); false for a
  // fault flag shown as a problem.
  bool enumerated = true;
};

// Where a value goes in the SNMP tables (K417T-MIB's k417tObjects.table).
struct SnmpPlace {
  enum class As { kNone, kReading, kState, kGauge };
  As as = As::kNone;
  uint32_t table = 0;
  uint32_t column = 0;         // the value (readings: hundredths, only when valid)
  uint32_t status_column = 0;  // readings: their K417tValueStatus
  uint32_t name_column = 0;    // the value's label as text (DC values)
  uint32_t unit_column = 0;    // the value's unit as text (DC values)
  // Index after (device, unit): `list` when not 0, then the instance number
  // for repeated rows, or `fixed` for a value of a table of its own rows
  // (the AC phase table's phase number).
  uint32_t list = 0;
  uint32_t fixed = 0;
};

struct Row {
  enum class Read {
    kFloat,        // f32, no value by the controller's patterns
    kFloatMarked,  // f32 where the unit also stores its -0.1 no-value marker
    kState,        // u8 state code (raw_bytes bytes kept as received)
    kCount,        // u8 plain number
    kSum,          // sum of the `sum_of` section's readings at `offset`
  };
  const Section* section = nullptr;
  const char* key = "";    // {i}: the instance from 0
  const char* label = "";  // {n}: the instance from 1
  const char* group = "";
  Quantity quantity{};
  const char* unit = "";
  Read read = Read::kFloat;
  size_t offset = 0;  // in its record (kRecords) or in the first record
  size_t raw_bytes = 1;
  const States* states = nullptr;
  const Section* sum_of = nullptr;
  // Named by the site file (DC m and user lists): label, unit and quantity
  // come from the site's names when it gives them.
  bool site_named = false;
  const char* metric = "";  // empty: not exported
  // Label values may say {n} (instance), {label} or {unit}.
  std::vector<std::pair<const char*, const char*>> metric_labels;
  StateEntity entity{};
  bool diagnostic = false;
  int precision = -1;
  SnmpPlace snmp;
};

// The rows of a record image type (kAcType, kRectifierType, kDcType), in the
// order the values are listed: a section's rows repeat together, instance
// by instance. Empty for other types.
const std::vector<Row>& RowsOf(int type);
// The image types that have rows.
const std::vector<int>& RowTypes();

}  // namespace qmx::view
