#include "modbus_map_command.h"

#include <iostream>

#include "modbus/modbus_config.h"
#include "modbus/modbus_map.h"
#include "site_file.h"

namespace k417t_run {

CLI::App* ModbusMapCommand::Add(CLI::App& app) {
  command_ = app.add_subcommand("modbus-map", "print the Modbus register map as CSV");
  command_->add_option("--site", site_, "site file: one block per device with its unit id");
  return command_;
}

int ModbusMapCommand::Run() const {
  std::vector<std::pair<int, std::string>> units;
  if (!site_.empty()) {
    Json::Value json;
    std::vector<SiteDevice> devices;
    std::string error;
    qmx::modbus::ModbusConfig cfg;
    std::vector<std::pair<unsigned int, std::string>> named;
    std::map<uint8_t, unsigned int> ids;
    if (!LoadSite(site_, json, devices, error) || !qmx::modbus::LoadModbus(json, "", cfg, error)) {
      std::cerr << "k417t-run modbus-map: " << error << "\n";
      return 2;
    }
    for (const SiteDevice& d : devices) named.push_back({d.data_id, d.name});
    if (!qmx::modbus::AssignUnits(cfg, named, ids, error)) {
      std::cerr << "k417t-run modbus-map: " << error << "\n";
      return 2;
    }
    for (const auto& [unit, id] : ids)
      for (const SiteDevice& d : devices)
        if (d.data_id == id) units.push_back({unit, d.name});
  }
  std::cout << qmx::modbus::MapCsv(qmx::modbus::TheMap(), units);
  return 0;
}

}  // namespace k417t_run
