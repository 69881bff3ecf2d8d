// The Modbus server: the site file's "modbus" object (with "rtu" for a
// serial port) and --modbus. A runner built without libmodbus keeps the
// option and refuses a setting that turns the server on.
#include "front_end_registry.h"
#include "modbus/modbus_config.h"
#ifdef K417T_HAVE_MODBUS
#include "modbus/modbus_front_end.h"
#endif

namespace k417t_run {
namespace {

class Modbus : public FrontEndEntry {
 public:
  const char* name() const override { return "modbus"; }

  void AddOptions(CLI::App& app) override {
    app.add_option("--modbus", listen_,
                   "Modbus-TCP server on [ADDR:]PORT (default address 127.0.0.1; reads only "
                   "unless the site file's modbus.control allows writes)");
  }

  bool Load(const SiteFile& site, std::string& error) override {
    cfg_ = qmx::modbus::ModbusConfig{};
    if (!qmx::modbus::LoadModbus(site.json, listen_, cfg_, error)) return false;
    const bool on = cfg_.enabled || cfg_.rtu.enabled;
#ifndef K417T_HAVE_MODBUS
    if (on) {
      error = "this k417t-run was built without Modbus (libmodbus)";
      return false;
    }
#endif
    std::vector<std::pair<unsigned int, std::string>> devices;
    for (const SiteDevice& d : site.devices) devices.push_back({d.data_id, d.name});
    std::map<uint8_t, unsigned int> units;
    return !on || qmx::modbus::AssignUnits(cfg_, devices, units, error);
  }

  std::shared_ptr<qmx::view::FrontEnd> Build(const FrontEndContext& c) override {
#ifdef K417T_HAVE_MODBUS
    if (cfg_.enabled || cfg_.rtu.enabled)
      return std::make_shared<qmx::modbus::ModbusFrontEnd>(
          c.view, cfg_, c.log,
          [this](const Json::Value& site, qmx::modbus::ModbusConfig& cfg, std::string& error) {
            return qmx::modbus::LoadModbus(site, listen_, cfg, error);
          });
#else
    (void)c;
#endif
    return nullptr;
  }

 private:
  std::string listen_;
  qmx::modbus::ModbusConfig cfg_;
};

}  // namespace

std::unique_ptr<FrontEndEntry> ModbusEntry() { return std::make_unique<Modbus>(); }

}  // namespace k417t_run
