// Prometheus remote write from the history: the site file's "remote_write"
// object, with --remote-write and --remote-write-label over it. Off unless a
// URL is given.
#include <set>

#include "front_end_registry.h"
#include "input/checked_json.h"
#include "remote_write/remote_write_front_end.h"

namespace k417t_run {
namespace {

namespace rw = qmx::remote_write;

class RemoteWrite : public FrontEndEntry {
 public:
  const char* name() const override { return "remote_write"; }

  void AddOptions(CLI::App& app) override {
    app.add_option("--remote-write", url_,
                   "push the stored records to a Prometheus remote-write receiver: "
                   "http(s)://HOST[:PORT]/PATH (site file remote_write.url)");
    app.add_option("--remote-write-label", labels_,
                   "NAME=VALUE: a label added to every series pushed (repeatable; replaces "
                   "remote_write.labels)");
  }

  bool Load(const SiteFile& site, std::string& error) override {
    cfg_ = rw::RemoteWriteConfig{};
    enabled_ = false;
    const Json::Value& obj = qmx::json::Member(site.json, "remote_write");
    std::set<std::string> given;
    if (!url_.empty()) {
      given.insert("url");
      if (!rw::CheckUrl(url_, error)) {
        error = "--remote-write: " + error;
        return false;
      }
      cfg_.url = url_;
    }
    if (!labels_.empty()) {
      given.insert("labels");
      for (const std::string& l : labels_)
        if (!rw::AddLabelOption(cfg_, l, error)) return false;
    }
    if (!obj.isNull() && !rw::ReadSiteRemoteWrite(obj, site.path, given, cfg_, error)) return false;
    enabled_ = !cfg_.url.empty();
    if (!enabled_) return true;
    if (!rw::LoadSecrets(cfg_, error)) return false;
    cfg_.user_agent = "k417t-run/" K417T_VERSION;
    return true;
  }

  std::shared_ptr<qmx::view::FrontEnd> Build(const FrontEndContext& c) override {
    if (!enabled_) return nullptr;
    return std::make_shared<rw::RemoteWriteFrontEnd>(c.view, cfg_, c.log);
  }

 private:
  std::string url_;
  std::vector<std::string> labels_;
  bool enabled_ = false;
  rw::RemoteWriteConfig cfg_;
};

}  // namespace

std::unique_ptr<FrontEndEntry> RemoteWriteEntry() { return std::make_unique<RemoteWrite>(); }

}  // namespace k417t_run
