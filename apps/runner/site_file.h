#pragma once

#include <json/json.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qmx/pmbus_protocol.h"
#include "view/alarm_names.h"
#include "view/dead_band.h"
#include "view/site_view.h"
#include "view/unit_values.h"

namespace k417t_run {

// One entry of the site file's "devices", and once made, its controller.
struct SiteDevice {
  std::string name;
  unsigned data_id = 0;
  Json::Value setting;
  std::string entry;  // the whole entry, compact: equal text, same device
  // Names and units the site gives the entries of DC units' m and user lists.
  std::map<unsigned, qmx::view::UnitLabels> labels;
  // The names the site gives its units ("name" of an acSetting, dcSetting
  // or rcSetting element), by data identifier (the rectifier group's is the
  // controller's).
  std::map<unsigned, std::string> unit_names;
  // The DC bus band of the device's "dc_limits" {"low_v", "high_v"}.
  qmx::view::DcLimits dc_limits;
  // The device's "battery" member (qmx::view::ParseBatterySettings): battery
  // roles of its DC units' values, the discharge and autonomy settings and
  // the battery test.
  qmx::view::BatterySettings battery;
  std::shared_ptr<QMXController> host_ctrl;
  std::shared_ptr<PMBusProtocol> ctrl;
};

// A site file as the runner loaded it: its path (for messages), its document
// and its devices (their controllers not made yet).
struct SiteFile {
  std::string path;
  Json::Value json;
  std::vector<SiteDevice> devices;
};

// The devices of a site file LoadSite accepted, with their names and data
// identifiers only (nothing is created).
std::vector<SiteDevice> NamedDevices(const Json::Value& site);

// Reads the site file and its devices, before anything is created: a
// non-empty "devices" array, each with a "setting" object, data identifiers
// of devices and their units unique, speeds the serial driver can set. False
// with the first problem in `error`. A DC unit element may name its m and
// user values: "labels": {"m": [{"name": "Battery 1 current", "unit": "A"}],
// "user": [...]} (at most 2 and 27 entries, "unit" optional). Each unit
// element (and "rcSetting") may give the unit's own "name" (a non-empty
// string). A top-level "alarm_names" names the language file of the alarms'
// readable names (relative to the site file's folder); it must read as one.
bool LoadSite(const std::string& path, Json::Value& site, std::vector<SiteDevice>& devices,
              std::string& error);

// The language file the site picks for alarm names ("" when it picks none:
// the built-in English), as a path to open.
std::string AlarmNamesPath(const std::string& site_path, const Json::Value& site);
// The table the site picks (the built-in English one when it picks none);
// null with the problem in `error`.
std::shared_ptr<const qmx::view::AlarmNames> LoadAlarmNames(const std::string& site_path,
                                                            const Json::Value& site,
                                                            std::string& error);

// How the history is written: the site file's "history" object,
//   {"heartbeat_s": 300, "commit_s": 30, "max_mb": 64,
//    "rectifier": {"diff_v": 0.5, "diff_i": 2.0}}
// every member optional; the command line's --history-* options override.
struct HistorySettings {
  double heartbeat_s = 300;  // a unit's record at least this often
  double commit_s = 30;      // records committed together at most this often
  double max_mb = 64;        // database and WAL together
  qmx::view::DeadBand rectifier;
};

// The "history" object of `site` into `out` (members not given keep their
// values). False with the member named in `error` when one is not a number,
// not whole where it must be, zero, negative or beyond reason.
bool ReadHistory(const Json::Value& site, HistorySettings& out, std::string& error);
// One setting given as text (a command-line option): `what` names it.
bool HistoryValue(const std::string& what, const std::string& text, double& out,
                  std::string& error);

}  // namespace k417t_run
