// k417t-run: the host runner. Loads k417t.so, creates a controller per device
// of the site file, polls each over its serial line (or the built-in
// simulator), hands values and alarm changes to its front ends after every
// round, keeps history and sends control commands.
#include <CLI/CLI.hpp>
#include <iostream>

#include "args.h"
#include "check_config.h"
#include "db_lock.h"
#include "front_end_registry.h"
#include "history_command.h"
#include "input/checked_json.h"
#include "modbus_map_command.h"
#include "plugin_loader.h"
#include "service_loop.h"
#include "settings.h"
#include "site_file.h"
#include "streams.h"
#include "user_command.h"
#include "view/control_rules.h"

namespace {

using namespace k417t_run;

int Fail(const std::string& error) {
  std::cerr << "k417t-run: " << error << "\n";
  return 2;
}

// Everything is loaded and checked (exit 2 on a problem) before the plug-in's
// traces are moved off standard output and the service starts.
int Run(const Args& a, FrontEndRegistry& front_ends) {
  CatchReload();
  ServiceInputs in;
  in.site.path = a.site;
  std::string error;
  if (!LoadSite(a.site, in.site.json, in.site.devices, error)) return Fail(error);
  if (!a.control.empty() &&
      !qmx::view::ParseControlText(a.control, in.control.code, in.control.byte, error))
    return Fail("--control " + a.control + ": " + error);
  if (!LoadHistory(a, in.site.json, in.history, error) || !front_ends.Load(in.site, error))
    return Fail(error);
  if (!a.simulate.empty() && !qmx::json::ReadFile(a.simulate, in.scenario, error))
    return Fail(error);
  in.db_path = a.db.empty() ? DefaultDb(a.site) : a.db;
  // A missing folder is a setup fault (a service unit without its state
  // directory), not a passing one like a full or read-only database.
  if (!FolderOfExists(in.db_path))
    return Fail("the folder of the history database " + in.db_path +
                " does not exist (a service needs StateDirectory=k417t)");
  // Before the history is opened: one runner per database. A lock file that
  // cannot be made (a read-only folder) means this runner cannot write the
  // history either, so it cannot falsify another's: it polls on, and the
  // history store logs its failures.
  DbLock db_lock;
  pid_t holder = 0;
  if (!db_lock.Take(in.db_path, error, holder)) {
    std::cerr << "k417t-run: " << error << "\n";
    if (holder != 0) return 2;
  }
  Plugin plugin;
  if (!plugin.Load(a.plugin, error)) return Fail(error);
  Streams streams;
  if (!streams.Open(a.log, a.traces, a.json, a.quiet, error)) return Fail(error);
  return Serve(a, std::move(in), plugin.factory(), front_ends, streams);
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  a.plugin = DefaultPlugin();
  CLI::App app{"k417t-run: host runner for the K417T power-system driver"};
  app.add_option("--site", a.site, "site file (devices and their settings)")
      ->check(CLI::ExistingFile);
  app.add_option("--plugin", a.plugin, "path of k417t.so")->capture_default_str();
  app.add_option("--simulate", a.simulate, "poll the built-in simulator with this scenario")
      ->check(CLI::ExistingFile);
  app.add_option("--rounds", a.rounds, "stop after N rounds of every device")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--json", a.json, "one JSON object per line instead of the table");
  app.add_option("--control", a.control,
                 "send a control command CODE[:BYTE] after the first round (exit 1 if unanswered)");
  app.add_flag("--alarms", a.alarms, "print the active alarms at exit (also on SIGUSR1)");
  app.add_option("--db", a.db, "history database (default: k417t-history.db beside the site file)");
  app.add_flag("--no-restore", a.no_restore, "do not restore units from their last stored images");
  app.add_option("--retention-rows", a.retention_rows, "records kept per unit (0: no limit)");
  app.add_option("--retention-days", a.retention_days, "days of history kept (0: no limit)");
  app.add_option(
      "--history-heartbeat", a.history_heartbeat,
      "seconds: a unit's record at least this often (default 300; site file history.heartbeat_s)");
  app.add_option(
      "--history-commit", a.history_commit,
      "seconds: records committed together at most this often, alarm events at once (default 30)");
  app.add_option("--history-max-mb", a.history_max_mb,
                 "size bound of the history database in MiB, oldest records go first (default 64)");
  app.add_option("--log", a.log, "log file (default: standard error)");
  app.add_option("--traces", a.traces, "where the plug-in's console traces go (default: the log)");
  app.add_flag("--pace", a.pace, "simulator paces its answers at the scenario's baud rate");
  app.add_flag("--quiet", a.quiet, "print alarm changes only, not every round (as a service)");
  app.add_flag("--check-config", a.check_config,
               "check the site file and each device's setting, then exit (0 good, 2 not)");
  app.set_version_flag("--version", "k417t-run " K417T_VERSION);
  FrontEndRegistry front_ends(MakeFrontEndEntries());
  front_ends.AddOptions(app);
  HistoryCommand history;
  history.Add(app, a.db, a.site);
  UserCommand user;
  user.Add(app);
  ModbusMapCommand modbus_map;
  modbus_map.Add(app);

  // A later option overrides an earlier one (scripts/run.sh passes defaults).
  for (CLI::Option* opt : app.get_options())
    if (opt->get_expected_max() == 1) opt->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  if (history.parsed()) return history.Run();
  if (user.parsed()) return user.Run();
  if (modbus_map.parsed()) return modbus_map.Run();
  if (a.site.empty()) return Fail("--site is required");
  return a.check_config ? CheckConfig(a, front_ends) : Run(a, front_ends);
}
