#pragma once

// The runner's command line, as the service loop and --check-config read it.
// Front ends keep their own options (see front_end_registry.h).
#include <string>

namespace k417t_run {

struct Args {
  std::string site;
  std::string plugin;
  std::string simulate;
  std::string db;
  std::string log;
  std::string traces;
  std::string control;
  int rounds = 0;
  bool json = false;
  bool alarms = false;
  bool no_restore = false;
  bool pace = false;
  bool quiet = false;
  bool check_config = false;
  unsigned retention_rows = 0;
  unsigned retention_days = 0;
  std::string history_heartbeat, history_commit, history_max_mb;  // override the site file
};

}  // namespace k417t_run
