#include "front_end_registry.h"

namespace k417t_run {

void FrontEndRegistry::AddOptions(CLI::App& app) {
  for (const auto& e : entries_) e->AddOptions(app);
}

bool FrontEndRegistry::Load(const SiteFile& site, std::string& error) {
  for (const auto& e : entries_)
    if (!e->Load(site, error)) return false;
  return true;
}

void FrontEndRegistry::Build(FrontEndContext context, qmx::view::FrontEnds& into) {
  for (const auto& e : entries_) {
    if (!context.page_url.empty()) break;
    context.page_url = e->PageUrl();
  }
  for (const auto& e : entries_)
    if (std::shared_ptr<qmx::view::FrontEnd> f = e->Build(context)) into.Add(std::move(f));
}

}  // namespace k417t_run
