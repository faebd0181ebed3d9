#include "ServiceMonitor/WatchServiceStartUsingPIDFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "ServiceMonitor/WatchServiceStopUsingPID.h"
#include "Support/CRuntimeInfo.h"
#include "Support/ExclusiveAccessUsingLockFile.h"
#include "Support/FileDescriptor.h"
#include "Support/Logging.h"
#include "Support/SharedFiles.h"

uint32_t WatchServiceStartUsingPIDFile::ParsePid(const char* text, size_t length) {
  if (length > 0 && text[length - 1] == '\n') --length;
  if (length == 0) return 0;
  uint64_t pid = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
    pid = pid * 10 + static_cast<uint64_t>(text[i] - '0');
    // Process ids are positive ints; anything larger is not one.
    if (pid > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return 0;
  }
  return static_cast<uint32_t>(pid);
}

uint32_t WatchServiceStartUsingPIDFile::RunningServicePid(const std::string& name) {
  const std::string temp = CRuntimeInfo::TempDirectory();
  if (::access((temp + name + ".lck").c_str(), F_OK) != 0) return 0;

  // Only the dispatcher's own file, never through a link.
  const std::string path = temp + name + ".pid";
  FileDescriptor fd(
      SharedFiles::OpenExisting(path, O_RDONLY, SharedFiles::DirectoryOwner(path).value_or(geteuid())));
  if (!fd.valid()) return 0;
  // A PID file is a number and a line end; more than this is not one.
  char text[32];
  ssize_t n = ::read(fd.get(), text, sizeof text);
  fd.reset();
  if (n <= 0 || static_cast<size_t>(n) >= sizeof text) return 0;
  uint32_t pid = ParsePid(text, static_cast<size_t>(n));
  if (pid == 0) return 0;

  bool running = WatchServiceStopUsingPID::IsProcessRunning(pid);
  KIV_DIAG("PROC FILE /proc/" << pid << "\n");
  KIV_DIAG("ERRNO is " << errno << " and rc is " << (running ? 0 : -1) << "\n");
  // The service holds its lock for as long as it runs; files left behind by
  // one that crashed are not locked.
  if (!running || !ExclusiveAccessUsingLockFile::IsHeld(name)) return 0;
  return pid;
}

bool WatchServiceStartUsingPIDFile::Check(const std::string& name) {
  uint32_t pid = RunningServicePid(name);
  if (pid == 0) return false;
  OnServiceStarted(pid);
  return true;
}
