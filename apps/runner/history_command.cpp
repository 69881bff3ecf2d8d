#include "history_command.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "settings.h"
#include "store/history_store.h"
#include "units/common/safe_text.h"
#include "view/site_view.h"

namespace k417t_run {
namespace {

// "YYYY-MM-DD[ HH:MM[:SS]]" (local time) or epoch seconds; empty: open end.
bool ParseTime(const std::string& text, int64_t fallback, int64_t& out) {
  if (text.empty()) {
    out = fallback;
    return true;
  }
  if (text.find('-') == std::string::npos) {
    try {
      out = std::stoll(text);
      return true;
    } catch (...) {
      return false;
    }
  }
  struct tm tm {};
  int n = std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                      &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
  if (n < 3) return false;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  out = static_cast<int64_t>(mktime(&tm));
  return true;
}

}  // namespace

CLI::App* HistoryCommand::Add(CLI::App& app, std::string& db, std::string& site) {
  db_ = &db;
  site_ = &site;
  command_ = app.add_subcommand("history", "list or export stored records and alarm events");
  command_->add_option("--db", db, "history database");
  command_->add_option("--site", site, "site file (locates the default database)");
  device_option_ = command_->add_option("--device", device, "data identifier of the unit");
  command_->add_option("--from", from, "start, YYYY-MM-DD[ HH:MM:SS] or epoch seconds");
  command_->add_option("--to", to, "end, YYYY-MM-DD[ HH:MM:SS] or epoch seconds");
  command_->add_option("--format", format, "table, csv or json")
      ->check(CLI::IsMember({"table", "csv", "json"}));
  command_->add_flag("--events", events, "alarm events instead of records");
  command_->add_flag("--audit", audit, "the control audit: every control attempt, one a line");
  return command_;
}

int HistoryCommand::Run() const {
  int64_t t0 = 0, t1 = 0;
  if (!ParseTime(from, 0, t0) || !ParseTime(to, INT64_MAX / 2, t1)) {
    std::cerr << "k417t-run history: --from/--to take YYYY-MM-DD[ HH:MM:SS] or epoch seconds\n";
    return 2;
  }
  if (!audit && device_option_->count() == 0) {
    std::cerr << "k417t-run history: --device is required (or --audit)\n";
    return 2;
  }
  qmx::store::HistoryOptions o;
  o.path = db_->empty() ? DefaultDb(*site_) : *db_;
  o.log = [](const std::string& l) { std::cerr << k417t_text::Safe(l) << "\n"; };
  qmx::store::HistoryStore store(o);
  if (access(o.path.c_str(), R_OK) != 0 || !store.Open()) {
    std::cerr << "k417t-run history: cannot open " << o.path << "\n";
    return 2;
  }
  if (audit) {
    // The store gives the newest first; the listing reads in time order.
    const auto rows = store.Audit(t0, t1, static_cast<size_t>(INT64_MAX));
    for (auto e = rows.rbegin(); e != rows.rend(); ++e) {
      const time_t t = static_cast<time_t>(e->time);
      struct tm local {};
      char when[32] = "";
      if (localtime_r(&t, &local) != nullptr)
        strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
      std::cout << when << " " << qmx::view::AuditLine(*e) << "\n";
    }
  } else if (format == "csv") {
    std::cout << (events ? store.ExportEventsCsv(device, t0, t1)
                         : store.ExportRecordsCsv(device, t0, t1));
  } else if (format == "json") {
    Json::StreamWriterBuilder pretty;
    pretty["indentation"] = "  ";
    pretty["emitUTF8"] = true;
    std::cout << Json::writeString(pretty, qmx::view::HistoryExportJson(store, device, t0, t1))
              << "\n";
  } else if (events) {
    for (const auto& e : store.Events(device, t0, t1))
      std::cout << k417t_text::Safe(
                       fmt::format("{} {} {:7} #{} [{}] {} {} {}", e.local_time, e.event.data_id,
                                   e.event.raised ? "RAISED" : "cleared", e.event.seq, e.event.key,
                                   e.event.code, e.event.name, e.event.text))
                << "\n";
  } else {
    for (const auto& r : store.Records(device, t0, t1))
      std::cout << fmt::format("{} {} type {} {} bytes\n", r.local_time, r.data_id, r.type,
                               r.image.size());
  }
  return 0;
}

}  // namespace k417t_run
