#pragma once

// The runner's own settings beyond the command line: where the history is,
// how it is written (the site file's "history" object and the --history-*
// overrides) and the host options they make.
#include <json/value.h>

#include <string>

#include "args.h"
#include "site/site_host.h"
#include "site_file.h"

namespace k417t_run {

// k417t-history.db beside the site file.
std::string DefaultDb(const std::string& site);

// Whether the folder `path` would be created in exists.
bool FolderOfExists(const std::string& path);

// The site file's "history" with the command line's overrides. False with
// the problem.
bool LoadHistory(const Args& a, const Json::Value& site, HistorySettings& out, std::string& error);

// The host's options: the history database, retention, heartbeat, commit
// interval, size bound, and the rectifier group's dead band (the one unit
// whose own verdict is "changed" every round).
qmx::SiteHost::Options HostOptions(const Args& a, const HistorySettings& history,
                                   const std::string& db_path);

}  // namespace k417t_run
