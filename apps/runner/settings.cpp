#include "settings.h"

#include <sys/stat.h>

#include <utility>

#include "view/dead_band.h"
#include "view/unit_values.h"

namespace k417t_run {

std::string DefaultDb(const std::string& site) {
  const size_t slash = site.rfind('/');
  return (slash == std::string::npos ? std::string() : site.substr(0, slash + 1)) +
         "k417t-history.db";
}

bool FolderOfExists(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  struct stat st {};
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool LoadHistory(const Args& a, const Json::Value& site, HistorySettings& out, std::string& error) {
  if (!ReadHistory(site, out, error)) {
    error = a.site + ": " + error;
    return false;
  }
  const std::pair<const std::string*, double*> given[] = {{&a.history_heartbeat, &out.heartbeat_s},
                                                          {&a.history_commit, &out.commit_s},
                                                          {&a.history_max_mb, &out.max_mb}};
  const char* names[] = {"--history-heartbeat", "--history-commit", "--history-max-mb"};
  for (size_t k = 0; k < 3; ++k) {
    if (!given[k].first->empty() &&
        !HistoryValue(names[k], *given[k].first, *given[k].second, error))
      return false;
  }
  return true;
}

qmx::SiteHost::Options HostOptions(const Args& a, const HistorySettings& history,
                                   const std::string& db_path) {
  qmx::SiteHost::Options opts;
  opts.db_path = db_path;
  opts.retention.max_rows = a.retention_rows;
  opts.retention.max_days = a.retention_days;
  opts.retention.max_event_rows = a.retention_rows;
  opts.heartbeat_s = static_cast<uint32_t>(history.heartbeat_s);
  opts.commit_s = static_cast<uint32_t>(history.commit_s);
  opts.history_max_bytes = static_cast<uint64_t>(history.max_mb) << 20;
  opts.changed_past_dead_band = [band = history.rectifier](int type,
                                                           const std::vector<unsigned char>& stored,
                                                           const std::vector<unsigned char>& now) {
    return type == qmx::view::kRectifierType ? qmx::view::MovedPast(type, stored, now, band)
                                             : std::nullopt;
  };
  return opts;
}

}  // namespace k417t_run
