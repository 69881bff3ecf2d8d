#include "input/secret_file.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace qmx {

bool SecretFileIsPrivate(const std::string& path, const std::string& what, std::string& error) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    error = fmt::format("cannot read {} {}: {}", what, path, std::strerror(errno));
    return false;
  }
  if ((st.st_mode & 077) != 0) {
    error = fmt::format(
        "{} {} may be read or written by group or others (mode {:04o}); it must be its owner's "
        "alone: chmod 600 {}",
        what, path, st.st_mode & 07777, path);
    return false;
  }
  return true;
}

}  // namespace qmx
