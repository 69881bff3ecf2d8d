// k417t-run: loads k417t.so, creates a controller per device of the site file,
// configures it and lists its units.
#include <dlfcn.h>

#include <fstream>
#include <iostream>
#include <memory>

#include <json/json.h>

#include "plugin/get_providers.h"
#include "qmx/pmbus_protocol.h"
#include "recording_services.h"

int main(int argc, char** argv) {
  const std::string plugin = argc > 1 ? argv[1] : "k417t.so";
  const std::string site = argc > 2 ? argv[2] : "examples/site.json";

  void* lib = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::cerr << "cannot load " << plugin << ": " << dlerror() << "\n";
    return 2;
  }
  auto get = reinterpret_cast<get_providers_fn>(dlsym(lib, "get_providers"));
  if (get == nullptr) {
    std::cerr << plugin << " has no get_providers\n";
    return 2;
  }
  std::ifstream in(site);
  Json::Value root;
  Json::CharReaderBuilder rb;
  std::string err;
  if (!in || !Json::parseFromStream(rb, in, &root, &err) || !root["devices"].isArray()) {
    std::cerr << site << ": not a site file (" << err << ")\n";
    return 2;
  }
  auto services = std::make_shared<qmx::RecordingServices>();
  auto host = std::make_shared<QMXController>(services);
  int rc = 0;
  {
    auto providers = get();
    auto* factory = dynamic_cast<QMXSPDeviceProvider*>(providers.at(0).get());
    for (const Json::Value& dev : root["devices"]) {
      std::shared_ptr<QMXSPDevice> ctrl(factory->create());
      ctrl->Init(host, dev["data_id"].asUInt());
      const bool ok = ctrl->InitSetting(dev["setting"]);
      std::cout << ctrl->DeviceType() << " " << ctrl->DataId() << (ok ? "" : " (setting refused)")
                << "\n";
      if (!ok) rc = 2;
      for (const auto& child : ctrl->GetAllChildVDevices()) {
        if (!child) continue;
        std::cout << "  " << child->DeviceType() << " " << child->DataId() << "\n";
      }
    }
    for (const auto& line : services->logs()) std::cerr << line << "\n";
  }
  dlclose(lib);
  return rc;
}
