#include "fleet.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "view/site_view.h"
#include "wire/serial_transport.h"

namespace k417t_run {
namespace {

// Devices naming the same port share its line; one without a port (served by
// the simulator) has a line of its own.
std::string BusKey(const SiteDevice& d) {
  return d.ctrl->port.empty() ? "#" + std::to_string(d.data_id) : d.ctrl->port;
}

}  // namespace

bool CheckBuses(const std::string& site, const std::vector<SiteDevice>& devices,
                std::vector<std::string>& problems) {
  const size_t before = problems.size();
  for (size_t i = 0; i < devices.size(); ++i) {
    const SiteDevice& d = devices[i];
    if (!d.ctrl) continue;
    for (size_t j = 0; j < i; ++j) {
      const SiteDevice& other = devices[j];
      if (!other.ctrl || BusKey(other) != BusKey(d)) continue;
      if (other.ctrl->baud_rate != d.ctrl->baud_rate) {
        problems.push_back(fmt::format(
            "{}: devices {} ({} baud) and {} ({} baud) share port {} but not its speed", site,
            other.name, other.ctrl->baud_rate, d.name, d.ctrl->baud_rate, d.ctrl->port));
      } else if (other.ctrl->address == d.ctrl->address) {
        problems.push_back(fmt::format("{}: devices {} and {} share port {} and address {}", site,
                                       other.name, d.name, d.ctrl->port,
                                       static_cast<int>(d.ctrl->address)));
      }
    }
  }
  return problems.size() == before;
}

std::string Fleet::Bus::Signature() const {
  std::vector<std::string> entries;
  for (const SiteDevice& d : devices) entries.push_back(d.entry);
  std::sort(entries.begin(), entries.end());
  std::string s = key;
  for (const std::string& e : entries) s += "\n" + e;
  return s;
}

Fleet::Fleet(Options options, QMXSPDeviceProvider& factory, std::shared_ptr<qmx::SiteHost> host,
             Output& output, Log log)
    : options_(std::move(options)),
      factory_(factory),
      host_(std::move(host)),
      output_(output),
      log_(std::move(log)) {}

Fleet::~Fleet() {
  // The lines stop before anything the plug-in made goes.
  host_->Stop();
  for (Bus& b : buses_)
    if (b.sim) b.sim->Stop();
  buses_.clear();
}

bool Fleet::Prepare(SiteDevice& d, std::string& why) {
  d.host_ctrl =
      std::make_shared<QMXController>(std::shared_ptr<qmx::HostServices>(host_, host_.get()));
  std::unique_ptr<QMXSPDevice> made(factory_.create());
  if (dynamic_cast<PMBusProtocol*>(made.get()) == nullptr) {
    why = "the controller is not a protocol device";
    return false;
  }
  d.ctrl.reset(static_cast<PMBusProtocol*>(made.release()));
  d.ctrl->Init(d.host_ctrl, d.data_id);
  if (!d.ctrl->InitSetting(d.setting)) {
    why = fmt::format(
        "{}: device {}: setting refused (see the log: needs \"rcSetting\", valid data_id values, "
        "an integer \"address\")",
        options_.site, d.name);
    return false;
  }
  if (d.ctrl->port.empty() && options_.scenario.isNull()) {
    why = fmt::format("{}: device {} has no \"port\"", options_.site, d.name);
    return false;
  }
  return true;
}

bool Fleet::Build(std::vector<SiteDevice> devices, std::vector<Bus>& buses,
                  std::vector<std::string>& problems) {
  for (SiteDevice& d : devices) {
    std::string why;
    if (!Prepare(d, why)) problems.push_back(why);
  }
  if (!problems.empty()) return false;
  if (!CheckBuses(options_.site, devices, problems)) return false;
  // One line per port.
  for (SiteDevice& d : devices) {
    const std::string key = BusKey(d);
    auto same =
        std::find_if(buses.begin(), buses.end(), [&key](const Bus& b) { return b.key == key; });
    if (same == buses.end()) {
      buses.emplace_back();
      buses.back().key = key;
      same = buses.end() - 1;
    }
    same->devices.push_back(std::move(d));
  }
  return true;
}

bool Fleet::Open(Bus& bus, std::string& why) {
  const SiteDevice& first = bus.devices.front();
  std::string port = first.ctrl->port;
  if (!options_.scenario.isNull()) {
    std::vector<std::unique_ptr<k417t::sim::Simulator>> controllers;
    for (const SiteDevice& d : bus.devices) {
      Json::Value sc = options_.scenario;
      sc["address"] = d.ctrl->address;
      if (!options_.pace) sc["baud"] = 0;
      std::string err;
      auto sim = k417t::sim::Simulator::Create(sc, &err, log_);
      if (!sim) {
        why = "simulator: " + err;
        return false;
      }
      controllers.push_back(std::move(sim));
    }
    k417t::sim::ServerOptions so;
    so.log = log_;
    bus.sim = std::make_unique<k417t::sim::PtyServer>(std::move(controllers), so);
    port = bus.sim->Start();
    if (port.empty()) {
      why = "simulator: " + bus.sim->error();
      return false;
    }
    log_(fmt::format("device {}: simulator on {}", first.name, port));
  }
  bus.line =
      host_->AddLine(std::make_unique<qmx::wire::SerialTransport>(port, first.ctrl->baud_rate));
  bus.open = true;
  for (const SiteDevice& d : bus.devices) {
    if (!host_->AddDevice(d.ctrl, bus.line)) {
      why = fmt::format("device {} could not be added (see the log)", d.name);
      return false;
    }
  }
  return true;
}

void Fleet::Restore(Bus& bus) {
  if (!options_.restore) return;
  for (SiteDevice& d : bus.devices) {
    host_->RestoreUnits(*d.ctrl);
    if (!options_.json) continue;
    // What the units answer right after start-up, before any round.
    Json::Value v(Json::objectValue);
    v["kind"] = "restored";
    v["device"] = d.data_id;
    Json::Value units(Json::arrayValue);
    if (const auto snap = host_->Snapshot(d.data_id)) {
      for (const qmx::UnitImage& img : snap->images) {
        auto l = d.labels.find(img.data_id);
        units.append(qmx::view::UnitJson(qmx::view::ReadUnit(
            img.data_id, img.type, img.image, l == d.labels.end() ? nullptr : &l->second)));
      }
    }
    v["units"] = units;
    output_.Json(v);
  }
}

void Fleet::Close(Bus& bus) {
  if (bus.open) host_->RemoveLine(bus.line);
  bus.open = false;
  if (bus.sim) bus.sim->Stop();
  for (SiteDevice& d : bus.devices) {
    d.ctrl.reset();
    d.host_ctrl.reset();
  }
}

bool Fleet::Start(std::vector<SiteDevice> devices, std::vector<std::string>& problems) {
  if (!Build(std::move(devices), buses_, problems)) return false;
  for (Bus& b : buses_) {
    std::string why;
    if (!Open(b, why)) {
      problems.push_back(why);
      return false;
    }
  }
  for (Bus& b : buses_) Restore(b);
  // Alarms the history still had raised for units no longer in the site.
  host_->RetireAlarms();
  return true;
}

bool Fleet::Reload(std::vector<SiteDevice> devices, Change& change,
                   std::vector<std::string>& problems) {
  std::map<unsigned, std::string> before, after;
  for (const Bus& b : buses_)
    for (const SiteDevice& d : b.devices) before[d.data_id] = d.entry;
  for (const SiteDevice& d : devices) after[d.data_id] = d.entry;

  std::vector<Bus> next;
  if (!Build(std::move(devices), next, problems)) return false;

  // Lines whose devices are all the same stay as they are; the others stop
  // first (a changed device may keep its port), then the new ones open.
  std::map<std::string, size_t> running;
  for (size_t i = 0; i < buses_.size(); ++i) running[buses_[i].Signature()] = i;
  std::vector<bool> keep(buses_.size(), false);
  std::vector<bool> fresh(next.size(), true);
  for (size_t i = 0; i < next.size(); ++i) {
    auto it = running.find(next[i].Signature());
    if (it == running.end()) continue;
    keep[it->second] = true;
    fresh[i] = false;
  }
  for (size_t i = 0; i < buses_.size(); ++i)
    if (!keep[i]) Close(buses_[i]);
  for (size_t i = 0; i < next.size(); ++i) {
    if (!fresh[i]) {
      // The running line and controllers, not the ones just made to check.
      for (SiteDevice& d : next[i].devices) {
        d.ctrl.reset();
        d.host_ctrl.reset();
      }
      next[i] = std::move(buses_[running[next[i].Signature()]]);
      for (const SiteDevice& d : next[i].devices) change.kept.push_back(d.data_id);
      continue;
    }
    std::string why;
    if (!Open(next[i], why)) {
      // Only the simulator can fail here (a real port is retried while
      // running): the devices stay out until the next reload.
      problems.push_back(why);
      log_(fmt::format("reload: line {} not started: {}", next[i].key, why));
      Close(next[i]);
      next[i].devices.clear();
      continue;
    }
    Restore(next[i]);
    for (const SiteDevice& d : next[i].devices) {
      auto was = before.find(d.data_id);
      if (was == before.end())
        change.added.push_back(d.data_id);
      else if (was->second != d.entry)
        change.changed.push_back(d.data_id);
      else
        change.restarted.push_back(d.data_id);
    }
  }
  next.erase(
      std::remove_if(next.begin(), next.end(), [](const Bus& b) { return b.devices.empty(); }),
      next.end());
  for (const auto& [id, entry] : before)
    if (after.count(id) == 0) change.removed.push_back(id);
  buses_ = std::move(next);
  host_->RetireAlarms();
  host_->Start();  // the new lines
  return true;
}

std::vector<const SiteDevice*> Fleet::devices() const {
  std::vector<const SiteDevice*> out;
  for (const Bus& b : buses_)
    for (const SiteDevice& d : b.devices) out.push_back(&d);
  return out;
}

std::vector<unsigned> Fleet::ids() const {
  std::vector<unsigned> out;
  for (const SiteDevice* d : devices()) out.push_back(d->data_id);
  return out;
}

}  // namespace k417t_run
