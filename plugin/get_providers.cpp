#include "plugin/get_providers.h"

#include "plugin/providers.h"

std::vector<std::shared_ptr<Provider>> get_providers() {
  std::vector<std::shared_ptr<Provider>> providers;
  providers.push_back(std::make_shared<K417TProvider>());
  providers.push_back(std::make_shared<K417TACProvider>());
  providers.push_back(std::make_shared<K417TDCProvider>());
  providers.push_back(std::make_shared<K417TRCProvider>());
  return providers;
}
