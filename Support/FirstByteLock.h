#pragma once
// Every lock file of the system is locked on its first byte only; this is
// that record-lock request, for fcntl (process-owned or open-file-description).

#include <fcntl.h>

inline struct flock FirstByteLock(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  lock.l_pid = 0;  // required to be 0 for open-file-description locks
  return lock;
}
