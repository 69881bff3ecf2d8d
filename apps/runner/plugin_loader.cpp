#include "plugin_loader.h"

#include <dlfcn.h>
#include <unistd.h>

namespace k417t_run {

std::string DefaultPlugin() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "k417t.so";
  const std::string exe(buf, static_cast<size_t>(n));
  const std::string dir = exe.substr(0, exe.rfind('/') + 1);
  const std::string beside = dir + "k417t.so";
  if (access(beside.c_str(), F_OK) == 0) return beside;
  return dir + K417T_PLUGIN_FROM_BIN "/k417t.so";
}

Plugin::~Plugin() {
  providers_.clear();
  if (lib_ != nullptr) dlclose(lib_);
}

bool Plugin::Load(const std::string& path, std::string& error) {
  if (access(path.c_str(), F_OK) != 0) {
    error = "plug-in " + path + " does not exist (--plugin names another)";
    return false;
  }
  lib_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib_ == nullptr) {
    error = "cannot load " + path + ": " + dlerror();
    return false;
  }
  auto get = reinterpret_cast<get_providers_fn>(dlsym(lib_, "get_providers"));
  if (get == nullptr) {
    error = path + " has no get_providers";
    return false;
  }
  providers_ = get();
  factory_ = providers_.empty() ? nullptr : dynamic_cast<QMXSPDeviceProvider*>(providers_[0].get());
  if (factory_ == nullptr) {
    error = path + " offers no controller";
    return false;
  }
  return true;
}

}  // namespace k417t_run
