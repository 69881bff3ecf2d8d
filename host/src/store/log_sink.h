#pragma once

#include <functional>
#include <string>

namespace qmx::store {

// Where the keeping side writes its own log lines (one complete line per call,
// no trailing newline). May be called from any thread; an empty sink drops
// the lines.
using LogSink = std::function<void(const std::string& line)>;

}  // namespace qmx::store
