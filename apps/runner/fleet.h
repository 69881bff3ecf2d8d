#pragma once

#include <json/json.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qmx/pmbus_protocol.h"
#include "qmx/provider.h"
#include "report.h"
#include "sim/pty_server.h"
#include "site/site_host.h"
#include "site_file.h"

namespace k417t_run {

// Devices (their controllers made) that share a port must share its speed and
// not an address. Appends a message per problem; false when there was one.
bool CheckBuses(const std::string& site, const std::vector<SiteDevice>& devices,
                std::vector<std::string>& problems);

// The site's controllers on their lines: devices naming the same port share
// one line (a multi-drop bus) and take turns on it. With a scenario every
// port is served by the simulator, one simulated controller per address.
//
// A reloaded site file is applied line by line: a line whose devices are the
// same, written the same, keeps polling untouched; a line with a device added,
// removed or changed stops, and starts again with its new devices, restored
// from the history like at start-up. Everything of the new file is checked
// (the plug-in's reading of every new setting included) before anything stops.
//
// One thread only (the runner's main loop); the host's other threads never
// see this.
class Fleet {
 public:
  struct Options {
    std::string site;     // the site file's path, for messages
    Json::Value scenario;  // null: real serial ports
    bool pace = false;     // the simulator answers at the scenario's speed
    bool restore = true;   // units start from their last stored images
    bool json = false;     // print "restored" lines for the JSON output
  };
  using Log = std::function<void(const std::string&)>;

  // What a reload did, by device data identifier.
  struct Change {
    std::vector<unsigned> added, removed, changed;
    std::vector<unsigned> restarted;  // unchanged, on a line that restarted
    std::vector<unsigned> kept;       // untouched, still polling
  };

  Fleet(Options options, QMXSPDeviceProvider& factory, std::shared_ptr<qmx::SiteHost> host,
        Output& output, Log log);
  // Stops every line and simulator and lets go of the controllers.
  ~Fleet();
  Fleet(const Fleet&) = delete;
  Fleet& operator=(const Fleet&) = delete;

  // Makes every controller and puts it on its line (not polling yet: the
  // host's Start does that). False with the problems.
  bool Start(std::vector<SiteDevice> devices, std::vector<std::string>& problems);
  // The site file's new devices. False with the problems, and nothing changed.
  bool Reload(std::vector<SiteDevice> devices, Change& change, std::vector<std::string>& problems);

  std::vector<const SiteDevice*> devices() const;
  std::vector<unsigned> ids() const;

 private:
  struct Bus {
    std::string key;  // the port, or the device for one without (simulated)
    std::vector<SiteDevice> devices;
    size_t line = 0;
    bool open = false;
    std::unique_ptr<k417t::sim::PtyServer> sim;
    std::string Signature() const;
  };
  bool Prepare(SiteDevice& d, std::string& why);
  // Every device prepared, then grouped by port.
  bool Build(std::vector<SiteDevice> devices, std::vector<Bus>& buses,
             std::vector<std::string>& problems);
  bool Open(Bus& bus, std::string& why);
  void Restore(Bus& bus);
  void Close(Bus& bus);

  Options options_;
  QMXSPDeviceProvider& factory_;
  std::shared_ptr<qmx::SiteHost> host_;
  Output& output_;
  Log log_;
  std::vector<Bus> buses_;
};

}  // namespace k417t_run
