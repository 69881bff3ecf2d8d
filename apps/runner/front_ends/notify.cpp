// Notifications: the site file's "notify" object (an exec hook and a
// webhook for the alarm board's notices). Off unless it names a command or
// a URL.
#include "front_end_registry.h"
#include "notify/notify_config.h"
#include "notify/notify_front_end.h"

namespace k417t_run {
namespace {

namespace nf = qmx::notify;

class Notify : public FrontEndEntry {
 public:
  const char* name() const override { return "notify"; }

  bool Load(const SiteFile& site, std::string& error) override {
    // Read afresh each time (ReadSiteNotify starts from the defaults).
    if (!nf::ReadSiteNotify(site.json, site.path, cfg_, error)) return false;
    if (!cfg_.on()) return true;
    if (!nf::LoadNotifySecrets(cfg_, error)) return false;
    cfg_.webhook.user_agent = "k417t-run/" K417T_VERSION;
    return true;
  }

  std::shared_ptr<qmx::view::FrontEnd> Build(const FrontEndContext& c) override {
    if (!cfg_.on()) return nullptr;
    return std::make_shared<nf::NotifyFrontEnd>(c.view, cfg_, c.log);
  }

 private:
  nf::NotifyConfig cfg_;
};

}  // namespace

std::unique_ptr<FrontEndEntry> NotifyEntry() { return std::make_unique<Notify>(); }

}  // namespace k417t_run
