#pragma once

#include <json/json.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qmx/pmbus_protocol.h"
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

}  // namespace k417t_run
