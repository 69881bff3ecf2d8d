#pragma once

// `k417t-run user add|passwd|del NAME --users FILE`: keeps the HTTP users
// file. The password is read from the terminal without echo, or as one line
// from standard input when that is no terminal; it is never printed or
// logged. The file is written whole, mode 0600.
#include <CLI/CLI.hpp>
#include <string>

namespace k417t_run {

class UserCommand {
 public:
  CLI::App* Add(CLI::App& app);
  bool parsed() const { return command_ != nullptr && command_->parsed(); }
  // 0, or 2 on a bad name, role, device list, password or file.
  int Run() const;

 private:
  CLI::App* command_ = nullptr;
  std::string action, name, role, devices, users;
};

}  // namespace k417t_run
