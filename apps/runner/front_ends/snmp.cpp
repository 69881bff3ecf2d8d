// The SNMP sub-agent: the site file's "snmp" object and --snmp. A runner
// built without net-snmp's agent library keeps the option and refuses a
// setting that turns the sub-agent on.
#include "front_end_registry.h"
#include "snmp/snmp_config.h"
#ifdef K417T_HAVE_SNMP
#include "snmp/snmp_front_end.h"
#endif

namespace k417t_run {
namespace {

class Snmp : public FrontEndEntry {
 public:
  const char* name() const override { return "snmp"; }

  void AddOptions(CLI::App& app) override {
    app.add_option("--snmp", master_,
                   "SNMP sub-agent of the master snmpd at agentx:SOCKET-PATH or tcp:127.0.0.1:705");
  }

  bool Load(const SiteFile& site, std::string& error) override {
    cfg_ = qmx::snmp::SnmpConfig{};
    if (!qmx::snmp::LoadSnmp(site.json, master_, cfg_, error)) return false;
#ifndef K417T_HAVE_SNMP
    if (cfg_.enabled) {
      error = "this k417t-run was built without SNMP (net-snmp's agent library)";
      return false;
    }
#endif
    return true;
  }

  std::shared_ptr<qmx::view::FrontEnd> Build(const FrontEndContext& c) override {
#ifdef K417T_HAVE_SNMP
    if (cfg_.enabled) return std::make_shared<qmx::snmp::SnmpFrontEnd>(c.view, cfg_, c.log);
#else
    (void)c;
#endif
    return nullptr;
  }

 private:
  std::string master_;
  qmx::snmp::SnmpConfig cfg_;
};

}  // namespace

std::unique_ptr<FrontEndEntry> SnmpEntry() { return std::make_unique<Snmp>(); }

}  // namespace k417t_run
