#pragma once

#include "args.h"
#include "front_end_registry.h"

namespace k417t_run {

// --check-config: the site file as the runner loads it, every front end's
// and the history's settings, then the plug-in's reading of every device's
// setting (all refusals, not only the first) and the ports' sharing. One
// message per problem on standard error, the verdict on standard output;
// returns 0 or 2.
int CheckConfig(const Args& a, FrontEndRegistry& front_ends);

}  // namespace k417t_run
