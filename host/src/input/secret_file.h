#pragma once

// Files that hold secrets (keys, the users file, tokens, passwords) must be
// their owner's alone: a file group or others may read (or write) is a
// setting error, named with its mode and the fix.
#include <string>

namespace qmx {

// True when `path` exists and has no permission bit for group or others;
// else false with `error`: "WHAT PATH may be read or written by group or
// others (mode 0644); it must be its owner's alone: chmod 600 PATH", or the
// reason it cannot be looked at.
bool SecretFileIsPrivate(const std::string& path, const std::string& what, std::string& error);

}  // namespace qmx
