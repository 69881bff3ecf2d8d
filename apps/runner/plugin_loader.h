#pragma once

// The driver plug-in (k417t.so) and the controller provider it offers.
#include <string>
#include <utility>

#include "plugin/get_providers.h"
#include "qmx/provider.h"

namespace k417t_run {

// Beside the runner in a build tree; installed, in the plug-in folder found
// from the runner's own (bin/../lib/k417t).
std::string DefaultPlugin();

// The plug-in library and its controller provider; the library is closed
// last, after everything it made.
class Plugin {
 public:
  Plugin() = default;
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  // False with the reason when the library is missing, does not load or
  // offers no controller.
  bool Load(const std::string& path, std::string& error);
  QMXSPDeviceProvider& factory() { return *factory_; }

 private:
  void* lib_ = nullptr;
  decltype(std::declval<get_providers_fn>()()) providers_;
  QMXSPDeviceProvider* factory_ = nullptr;
};

}  // namespace k417t_run
