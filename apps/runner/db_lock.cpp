#include "db_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace k417t_run {

DbLock::~DbLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool DbLock::Take(const std::string& db_path, std::string& error, pid_t& holder) {
  holder = 0;
  const std::string path = PathFor(db_path);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot open the lock file " + path + ": " + std::strerror(errno);
    return false;
  }
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  whole.l_start = 0;
  whole.l_len = 0;  // the whole file, however long
  if (::fcntl(fd, F_SETLK, &whole) != 0) {
    const int why = errno;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    if (::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) holder = probe.l_pid;
    ::close(fd);
    if (why == EACCES || why == EAGAIN) {
      if (holder <= 0) holder = -1;  // held, by a process gone before we asked
      error = "the history database " + db_path + " is in use by another runner" +
              (holder > 0 ? " (PID " + std::to_string(holder) + ")" : std::string()) +
              "; one runner per database";
    } else {
      error = "cannot lock " + path + ": " + std::strerror(why);
    }
    return false;
  }
  // The PID for people looking at the file; the kernel's answer is the truth.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
  }
  fd_ = fd;
  return true;
}

}  // namespace k417t_run
