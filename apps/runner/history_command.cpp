#include "history_command.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

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

std::string LocalTime(int64_t ms) {
  const time_t t = static_cast<time_t>(ms / 1000);
  struct tm local {};
  char when[32] = "";
  if (localtime_r(&t, &local) == nullptr ||
      strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local) == 0)
    return "-";
  return when;
}

std::string Volts(const std::optional<double>& v) {
  return v ? fmt::format("{:.2f}", *v) : std::string("-");
}

// A table for people, or the API's DischargeJson one a line.
void PrintDischarges(const std::vector<qmx::store::DischargeRow>& rows, bool json) {
  if (json) {
    Json::StreamWriterBuilder line;
    line["indentation"] = "";
    line["emitUTF8"] = true;
    for (const auto& r : rows) {
      qmx::view::DischargeRecord d;
      d.id = r.id;
      d.device = r.device;
      d.start_ms = r.start_ms;
      d.end_ms = r.end_ms;
      d.cause = r.cause;
      d.ah = r.ah;
      d.kwh = r.kwh;
      d.min_v = r.min_v;
      d.end_v = r.end_v;
      d.min_temp_c = r.min_temp;
      d.result = r.result;
      d.expected_ah = r.expected_ah;
      std::cout << Json::writeString(line, qmx::view::DischargeJson(d)) << "\n";
    }
    return;
  }
  std::cout << fmt::format("{:>6} {:>8} {:19} {:19} {:19} {:>8} {:>8} {:>7} {:>7} {:>6} {}\n", "id",
                           "device", "start", "end", "cause", "Ah", "kWh", "min V", "end V",
                           "min C", "result");
  for (const auto& r : rows) {
    const std::string temp = r.min_temp ? fmt::format("{:.1f}", *r.min_temp) : std::string("-");
    std::cout << k417t_text::Safe(fmt::format(
                     "{:>6} {:>8} {:19} {:19} {:19} {:>8.2f} {:>8.3f} {:>7} {:>7} {:>6} {}", r.id,
                     r.device, LocalTime(r.start_ms),
                     r.end_ms == 0 ? std::string("going on") : LocalTime(r.end_ms), r.cause, r.ah,
                     r.kwh, Volts(r.min_v), Volts(r.end_v), temp, r.result))
              << "\n";
  }
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
  command_->add_flag("--discharges", discharges,
                     "battery discharges, newest first (--device: the controller's data "
                     "identifier; all devices without)");
  command_->add_option("--limit", limit, "discharges listed at most (default 100)");
  command_->add_flag("--json", json, "discharges as JSON, one object a line");
  return command_;
}

int HistoryCommand::Run() const {
  int64_t t0 = 0, t1 = 0;
  if (!ParseTime(from, 0, t0) || !ParseTime(to, INT64_MAX / 2, t1)) {
    std::cerr << "k417t-run history: --from/--to take YYYY-MM-DD[ HH:MM:SS] or epoch seconds\n";
    return 2;
  }
  if (!audit && !discharges && device_option_->count() == 0) {
    std::cerr << "k417t-run history: --device is required (or --audit, --discharges)\n";
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
  if (discharges) {
    PrintDischarges(store.Discharges(device, t0, t1, limit), json || format == "json");
  } else if (audit) {
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
