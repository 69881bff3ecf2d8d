#pragma once

#include <functional>
#include <string>

namespace qmx::store {

// Where the keeping side writes its own log lines (one complete line per call,
// no trailing newline). It may be called from several threads at once and must
// cope with that; an empty sink drops the lines.
using LogSink = std::function<void(const std::string& line)>;

}  // namespace qmx::store
