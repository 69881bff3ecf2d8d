#include "check_config.h"

#include <fmt/format.h>
#include <unistd.h>

#include <iostream>
#include <mutex>

#include "fleet.h"
#include "plugin_loader.h"
#include "settings.h"
#include "streams.h"

namespace k417t_run {
namespace {

// The plug-in's reading of every device's setting; false after a refusal.
bool CheckDevices(const Args& a, QMXSPDeviceProvider& factory, std::vector<SiteDevice>& devices) {
  bool ok = true;
  std::mutex mu;
  std::vector<std::string> said;
  auto host = std::make_shared<qmx::SiteHost>(qmx::SiteHost::Options{}, [&](const std::string& l) {
    std::lock_guard<std::mutex> lock(mu);
    said.push_back(l);
  });
  for (SiteDevice& d : devices) {
    {
      std::lock_guard<std::mutex> lock(mu);
      said.clear();
    }
    d.host_ctrl =
        std::make_shared<QMXController>(std::shared_ptr<qmx::HostServices>(host, host.get()));
    std::unique_ptr<QMXSPDevice> made(factory.create());
    if (dynamic_cast<PMBusProtocol*>(made.get()) == nullptr) {
      std::cerr << "k417t-run: the plug-in's controller is not a protocol device\n";
      return false;
    }
    d.ctrl.reset(static_cast<PMBusProtocol*>(made.release()));
    d.ctrl->Init(d.host_ctrl, d.data_id);
    const std::string who = fmt::format("{}: device {} ({})", a.site, d.name, d.data_id);
    if (!d.ctrl->InitSetting(d.setting)) {
      std::lock_guard<std::mutex> lock(mu);
      std::string why;
      for (const std::string& l : said) why += (why.empty() ? "" : "; ") + l;
      std::cerr << "k417t-run: " << who << ": setting refused" << (why.empty() ? "" : ": " + why)
                << "\n";
      d.ctrl.reset();  // its port and address mean nothing
      ok = false;
    } else if (d.ctrl->port.empty() && a.simulate.empty()) {
      std::cerr << "k417t-run: " << who << " has no \"port\"\n";
      ok = false;
    } else if (a.simulate.empty() && access(d.ctrl->port.c_str(), F_OK) != 0) {
      std::cerr << "k417t-run: note: " << who << ": port " << d.ctrl->port
                << " is not there now (it is retried while running)\n";
    }
  }
  return ok;
}

}  // namespace

int CheckConfig(const Args& a, FrontEndRegistry& front_ends) {
  TracesOffStdout verdict;
  SiteFile site{a.site, {}, {}};
  HistorySettings history;
  Plugin plugin;
  std::string error;
  if (!LoadSite(a.site, site.json, site.devices, error) || !front_ends.Load(site, error) ||
      !LoadHistory(a, site.json, history, error) || !plugin.Load(a.plugin, error)) {
    std::cerr << "k417t-run: " << error << "\n";
    return 2;
  }
  int rc = CheckDevices(a, plugin.factory(), site.devices) ? 0 : 2;
  // Every device on its own may be fine and two still clash on a port.
  std::vector<std::string> problems;
  if (!CheckBuses(a.site, site.devices, problems)) {
    for (const std::string& p : problems) std::cerr << "k417t-run: " << p << "\n";
    rc = 2;
  }
  for (SiteDevice& d : site.devices) {
    d.ctrl.reset();
    d.host_ctrl.reset();
  }
  if (rc == 0)
    verdict.Say(fmt::format("{}: {} device{}, configuration OK\n", a.site, site.devices.size(),
                            site.devices.size() == 1 ? "" : "s"));
  return rc;
}

}  // namespace k417t_run
