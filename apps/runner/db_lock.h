#pragma once

#include <sys/types.h>

#include <string>

namespace k417t_run {

// One runner per history database. The lock is a POSIX record lock over the
// whole of "<database>.lock", a file beside the database holding the owner's
// PID. It is not taken on the database itself: SQLite locks the database
// with fcntl too, and closing any descriptor of a file drops every fcntl lock
// the process holds on it, so SQLite closing its own descriptors would let
// ours go. The lock goes with the process, also when it is killed.
class DbLock {
 public:
  DbLock() = default;
  ~DbLock();
  DbLock(const DbLock&) = delete;
  DbLock& operator=(const DbLock&) = delete;

  // Takes the lock for `db_path`. False with `error` set when another process
  // holds it (`holder` its PID as the kernel reports it, -1 when unknown) or
  // the lock file cannot be opened or locked (`holder` 0).
  bool Take(const std::string& db_path, std::string& error, pid_t& holder);
  static std::string PathFor(const std::string& db_path) { return db_path + ".lock"; }

 private:
  int fd_ = -1;
};

}  // namespace k417t_run
