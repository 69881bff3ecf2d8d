#pragma once

#include <memory>
#include <vector>

#include "qmx/provider.h"

// The plug-in's only exported entry: a new list of the four providers
// (controller, AC, DC, rectifier), in that order, on every call.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>> get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

using get_providers_fn = std::vector<std::shared_ptr<Provider>> (*)();
