#pragma once

// The one reading of a unit's record image into named values, for every
// front end (console and --json, MQTT and Home Assistant, the page and its
// API, Prometheus, SNMP). A front end never decodes an image of its own: it
// takes these values, their keys, labels, units and metric names.
//
// "No value" is a state: a value the controller marked invalid (four equal
// non-zero bytes as received, or the -0.1 marker a unit stores in its place),
// NaN, the infinities and non-zero numbers too small to be a reading have no number, and every
// front end shows that as no value (JSON null, no Prometheus sample, Home Assistant "unknown",
// "—").
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "view/unit_rows.h"

namespace qmx::view {

// Record image types the plug-in publishes.
inline constexpr int kAcType = 5091;
inline constexpr int kRectifierType = 5092;
inline constexpr int kDcType = 5093;

// One row of a unit's table of values.
struct Field {
  std::string key;    // stable name in every front end: "channel_0_a", "module_1_fault"
  std::string label;  // for people: "Input 1 voltage AB/A"
  std::string group;  // where the page shows it: "Input 1", "Module 2", "Group"
  Quantity quantity = Quantity::kValue;
  std::string unit;  // "V", "A", "Hz", "" for states and plain numbers
  // Prometheus family (empty: not exported) and its identity labels beside
  // device and unit. A state's sample is 1 while it is not normal.
  std::string metric;
  std::vector<std::pair<std::string, std::string>> metric_labels;
  StateEntity entity = StateEntity::kNone;
  bool diagnostic = false;  // a setting read from the controller, not a reading
  // States: every word the state can take, in the order of its codes (what
  // a client offers, e.g. Home Assistant's enum options). Other codes read
  // as "state N".
  std::vector<std::string> options;
  // Decimals worth showing for a measurement (-1: not stated).
  int precision = -1;
  // The declared row the value comes from, and its instance (from 1; 0 for
  // a value that does not repeat). Null for values made outside the tables.
  const Row* row = nullptr;
  unsigned instance = 0;
};

struct Value {
  Field field;
  // Measurements: the reading, or no value. States: the state byte.
  std::optional<double> number;
  std::string word;           // states: "normal", "low", "fault", ...; empty otherwise
  bool alert = false;         // a state other than normal
  std::vector<unsigned> raw;  // states: the bytes as received
  int state_number = 0;       // states: the number SNMP gives the state
  bool is_state() const { return field.quantity == Quantity::kState; }
};

// What the site file says about the entries of a DC unit's m and user lists.
struct ValueName {
  std::string name;
  std::string unit;
};
struct UnitLabels {
  std::vector<ValueName> m, user;
};

struct UnitValues {
  unsigned int data_id = 0;
  int type = 0;
  std::string kind;   // "ac", "rectifier", "dc", "unknown"
  int64_t time = 0;   // epoch seconds of the record's own time stamp; 0: none
  std::string error;  // the image could not be read (then no values)
  std::vector<Value> values;
  const Value* Find(const std::string& key) const;
};

// Reads a published image. Never throws and never reads past `image`; an
// image of the wrong length for its type gives `error` and no values.
UnitValues ReadUnit(unsigned int data_id, int type, const std::vector<unsigned char>& image,
                    const UnitLabels* labels = nullptr);

// The field of the value `key` of a unit of `type` as its row declares it
// (instance from the key; the site's names not applied); none when no row
// makes that key.
std::optional<Field> FieldOf(int type, const std::string& key);

const char* KindOf(int type);
// The device type text the plug-in gives each unit ("k417t-ac", ...).
const char* DeviceTypeOf(int type);

// The no-value rule on four bytes as stored: four equal non-zero bytes, NaN,
// the infinities and non-zero magnitudes below 1e-9 (bytes, not a reading);
// with `marker`, also the -0.1 marker (bits 0xBDCCCCCD).
std::optional<double> Reading(const unsigned char* four, bool marker);

// The 7-byte record time (year u16 LE, month, day, hour, minute, second;
// local time) as epoch seconds; 0 when it is not a date.
int64_t RecordTime(const unsigned char* seven);

// Prometheus families of unit values: name -> help.
const std::map<std::string, std::string>& MetricHelp();

}  // namespace qmx::view
