#pragma once

// `k417t-run history`: lists or exports the stored records and alarm events
// of one unit, the control audit (--audit) or the battery discharges
// (--discharges).
#include <CLI/CLI.hpp>
#include <string>

namespace k417t_run {

class HistoryCommand {
 public:
  // Declares the subcommand and its options on `app`. Its --db and --site
  // share the runner's strings: given before the subcommand they count too.
  CLI::App* Add(CLI::App& app, std::string& db, std::string& site);
  bool parsed() const { return command_ != nullptr && command_->parsed(); }
  // 0, or 2 on bad times or a database that cannot be opened.
  int Run() const;

 private:
  CLI::App* command_ = nullptr;
  const std::string* db_ = nullptr;
  const std::string* site_ = nullptr;
  unsigned device = 0;
  std::string from, to, format = "table";
  bool events = false;
  bool audit = false;
  bool discharges = false;
  bool json = false;
  size_t limit = 100;
  CLI::Option* device_option_ = nullptr;
};

}  // namespace k417t_run
