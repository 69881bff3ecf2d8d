#pragma once

#include <json/json.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qmx/pmbus_protocol.h"
#include "view/dead_band.h"
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
// "user": [...]} (at most 2 and 27 entries, "unit" optional).
bool LoadSite(const std::string& path, Json::Value& site, std::vector<SiteDevice>& devices,
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
