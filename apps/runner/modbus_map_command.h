#pragma once

// `k417t-run modbus-map [--site FILE]`: prints the Modbus register map as
// CSV. With a site file, one block of lines per device with its unit id
// (as the site file's "modbus" object assigns them); without, the map every
// device has, the unit id column empty.
#include <CLI/CLI.hpp>
#include <string>

namespace k417t_run {

class ModbusMapCommand {
 public:
  CLI::App* Add(CLI::App& app);
  bool parsed() const { return command_ != nullptr && command_->parsed(); }
  // 0, or 2 on a site file that cannot be read.
  int Run() const;

 private:
  CLI::App* command_ = nullptr;
  std::string site_;
};

}  // namespace k417t_run
