#pragma once
// A handle on one process for liveness checks repeated many times a second.
//
// Made once, it holds a process file descriptor (pidfd) on the process, so
// each IsRunning() is one poll of that descriptor rather than opening and
// parsing "/proc/<pid>/status"; the descriptor also keeps naming the same
// process after it ended, so a reused pid is never taken for it. It counts as
// ended exactly when WatchServiceStopUsingPID::IsProcessRunning says so: once
// every thread of it has ended (a zombie included). Where no descriptor can
// be had (kernel without pidfd, descriptors exhausted) it falls back to that
// /proc check; a process already gone when the handle is made stays gone.
//
// Owns the descriptor (closed by the destructor). Not copyable. IsRunning()
// is const and may be called from any thread.

#include <cstdint>

#include "Support/FileDescriptor.h"

class WatchedProcess {
 public:
  explicit WatchedProcess(uint32_t pid);
  ~WatchedProcess();
  WatchedProcess(const WatchedProcess&) = delete;
  WatchedProcess& operator=(const WatchedProcess&) = delete;

  uint32_t Pid() const { return m_Pid; }
  bool IsRunning() const;
  // Whether the checks go through a process descriptor (false: through /proc).
  bool HasDescriptor() const { return m_Fd.valid(); }
  // The process descriptor (-1 without one), readable once the process has
  // ended: for waiting on many processes at once. Stays owned by this.
  int Descriptor() const { return m_Fd.get(); }

 private:
  const uint32_t m_Pid;
  FileDescriptor m_Fd;
  bool m_GoneAtStart = false;
};
