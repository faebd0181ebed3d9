#include "ServiceMonitor/WatchedProcess.h"

#include <errno.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "ServiceMonitor/WatchServiceStopUsingPID.h"

WatchedProcess::WatchedProcess(uint32_t pid) : m_Pid(pid) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) {
    m_GoneAtStart = true;
    return;
  }
#ifdef SYS_pidfd_open
  // Close-on-exec by default.
  m_Fd.reset(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
  if (!m_Fd.valid() && errno == ESRCH) m_GoneAtStart = true;
#endif
}

WatchedProcess::~WatchedProcess() = default;

bool WatchedProcess::IsRunning() const {
  if (m_GoneAtStart) return false;
  if (!m_Fd.valid()) return WatchServiceStopUsingPID::IsProcessRunning(m_Pid);
  // Readable once the whole thread group has ended.
  pollfd p{m_Fd.get(), POLLIN, 0};
  int n;
  do {
    n = ::poll(&p, 1, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return WatchServiceStopUsingPID::IsProcessRunning(m_Pid);
  return n == 0;
}
