#pragma once

// Readable names and places of alarm points. The controller names its alarms
// in Chinese (and the AC unit's user-defined alarms not at all: name "0");
// those texts stay as they are in the record and the history. Beside them the
// front ends show a name and a place from a label table, read from a language
// file:
//
//   {"language": "en",
//    "words": {"separator": ", ", "controller": "controller", "unit": "unit {}",
//              "ac": "AC screen {}", "rectifier": "rectifier group",
//              "dc": "DC distribution {}", "input": "input {}", ...},
//    "alarms": [{"code": "06017", "key": "AC_8", "name": "AC input phase missing",
//                "part": "input", "detail": "voltage AB/A"}, ...]}
//
// A row matches a point by its code and key; a row without "key" matches
// every key of its code (a row with the key wins). "part" names the word for
// the first number in the alarm's text (交流屏1输入线/相电压AB/A: input 1;
// 模块3整流模块故障告警: module 3; 直流2电池熔丝故障告警: fuse 2); "detail"
// ends the place; "unit": "controller" places the alarm on the controller
// rather than on a unit. In a word, "{}" stands for the number (a unit's
// ordinal among its kind on the device, or the part's number).
//
// The English file is built into the program (data/alarm-names/en.json) and
// installed beside it for translators; a site picks another with its
// "alarm_names" member.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "store/alarm_service.h"

namespace qmx::view {

// Where a unit is: its kind ("ac", "rectifier", "dc", "controller",
// "unknown"), its ordinal among the units of that kind on its device (1 for
// the first; 0 when not known) and the name the site gives it ("" if none).
struct UnitPlace {
  std::string kind;
  int ordinal = 0;
  std::string site_name;
};

// The units of one device: kinds and ordinals by data identifier, in the
// order the controller lists them; the controller's own identifier is its
// rectifier group's too.
struct DevicePlaces {
  unsigned int device = 0;
  std::map<unsigned int, UnitPlace> units;
};

// `unit_ids`: the controller's and its units' data identifiers in the
// controller's order; `kinds`: each unit's kind as its images say
// (unit_values' KindOf); `names`: the site's names by data identifier.
DevicePlaces MakeDevicePlaces(unsigned int device, const std::vector<unsigned int>& unit_ids,
                              const std::map<unsigned int, std::string>& kinds,
                              const std::map<unsigned int, std::string>& names);

class AlarmNames {
 public:
  struct Row {
    std::string code, key;  // key "" : every key of the code
    std::string name, part, detail, unit;
  };

  // A language file's text; null with what is wrong (naming `source` and the
  // member) in `error`.
  static std::shared_ptr<const AlarmNames> Parse(const std::string& text, const std::string& source,
                                                 std::string& error);
  static std::shared_ptr<const AlarmNames> Load(const std::string& path, std::string& error);
  // The English table built into the program.
  static std::shared_ptr<const AlarmNames> English();

  const std::string& language() const { return language_; }
  // The row for a point, or null.
  const Row* Find(const std::string& code, const std::string& key) const;
  const std::vector<Row>& rows() const { return rows_; }

  // Name and place of a point of `places`' device. Never fails: a point the
  // table does not know keeps the controller's own name (its text when the
  // name says nothing) and is placed on its unit alone.
  void Describe(const DevicePlaces& places, const store::ActiveAlarm& point, std::string& name,
                std::string& place) const;

 private:
  std::string Word(const std::string& word, int number) const;
  std::string language_;
  std::map<std::string, std::string> words_;
  std::vector<Row> rows_;
  std::map<std::pair<std::string, std::string>, size_t> index_;  // (code, key) -> row
};

}  // namespace qmx::view
