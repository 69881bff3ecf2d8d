// The console front end: every round's table (or JSON lines) and link change
// on the runner's own output; with --quiet only alarm changes.
#include "front_end_registry.h"

namespace k417t_run {
namespace {

class Console : public FrontEndEntry {
 public:
  const char* name() const override { return "console"; }
  bool Load(const SiteFile&, std::string&) override { return true; }
  std::shared_ptr<qmx::view::FrontEnd> Build(const FrontEndContext& c) override {
    qmx::view::SiteView& view = c.view;
    return std::make_shared<ConsoleFrontEnd>(
        c.output, c.quiet, [&view](unsigned int device) { return view.Battery(device); });
  }
};

}  // namespace

std::unique_ptr<FrontEndEntry> ConsoleEntry() { return std::make_unique<Console>(); }

}  // namespace k417t_run
