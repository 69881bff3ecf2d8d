#pragma once

// The runner's front ends as a registry, in the manner of zigbee2mqtt's
// extension list: each front end is one entry that declares its settings
// (command-line options, its part of the site file, the checks --check-config
// and the start make) and builds its front end from the same context as every
// other. The runner starts whatever the registry builds and never names a
// front end; front_ends.cpp is the one list that does.
#include <json/value.h>

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "report.h"
#include "site_file.h"
#include "view/site_view.h"

namespace k417t_run {

// What every front end is built from.
struct FrontEndContext {
  qmx::view::SiteView& view;
  const SiteFile& site;  // as loaded at start (a reload hands the front ends its own)
  Output& output;        // the runner's own output (table or JSON lines)
  bool quiet = false;    // --quiet: alarm changes only, no round tables
  std::function<void(const std::string&)> log;
  std::string page_url;  // the status page's address, "" when no front end serves one
};

// One front end as the registry knows it. An entry lives as long as the
// process: its options are bound to its members before the command line is
// parsed, and the front end it builds may call back into it (to read a
// reloaded site file with the same options).
class FrontEndEntry {
 public:
  virtual ~FrontEndEntry() = default;
  virtual const char* name() const = 0;
  // Its command-line options, bound to members of this entry.
  virtual void AddOptions(CLI::App& app) { (void)app; }
  // Reads and checks its settings from the site file and its options, at
  // start and for --check-config. False with the problem (the runner exits 2).
  virtual bool Load(const SiteFile& site, std::string& error) = 0;
  // The address of the page it serves, once loaded; "" for none.
  virtual std::string PageUrl() const { return ""; }
  // The front end from loaded settings; null when it is off. Its
  // CheckReload is the reload's check of its settings.
  virtual std::shared_ptr<qmx::view::FrontEnd> Build(const FrontEndContext& context) = 0;
};

// Every front end, in the order they start (and stop in reverse).
std::vector<std::unique_ptr<FrontEndEntry>> MakeFrontEndEntries();

class FrontEndRegistry {
 public:
  explicit FrontEndRegistry(std::vector<std::unique_ptr<FrontEndEntry>> entries)
      : entries_(std::move(entries)) {}

  void AddOptions(CLI::App& app);
  // Every entry's settings; false with the first problem.
  bool Load(const SiteFile& site, std::string& error);
  // Builds every front end that is on into `into`, the page URL filled in.
  void Build(FrontEndContext context, qmx::view::FrontEnds& into);

 private:
  std::vector<std::unique_ptr<FrontEndEntry>> entries_;
};

}  // namespace k417t_run
