#include "ServiceMonitor/WatchServiceStopUsingPID.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "ServiceMonitor/WatchedProcess.h"
#include "Support/FileDescriptor.h"

namespace {
// The value after `key` (e.g. "\nState:") in the status text, blanks
// skipped; null when the line is not there.
const char* Field(const char* status, const char* key) {
  const char* at = std::strstr(status, key);
  if (at == nullptr) return nullptr;
  at += std::strlen(key);
  while (*at == ' ' || *at == '\t') ++at;
  return at;
}
}  // namespace

std::string WatchServiceStopUsingPID::StatusFilePath(uint32_t pid) {
  return "/proc/" + std::to_string(pid) + "/status";
}

bool WatchServiceStopUsingPID::IsProcessRunning(uint32_t pid) {
  if (pid == 0) return false;
  const std::string path = StatusFilePath(pid);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  // "Threads:" comes after the id and group lines; a zombie's status has no
  // memory lines, so it fits well within this.
  char buffer[4096];
  size_t length = 0;
  for (ssize_t n;
       length < sizeof buffer - 1 && (n = ::read(fd.get(), buffer + length, sizeof buffer - 1 - length)) > 0;)
    length += static_cast<size_t>(n);
  fd.reset();
  if (length == 0) return true;  // exists but unreadable: assume it runs
  buffer[length] = '\0';
  const char* state = Field(buffer, "\nState:");
  if (state == nullptr) return true;
  // Z: zombie, X: dead.
  if (*state != 'Z' && *state != 'X') return true;
  // The state is the main thread's. When it ended first (pthread_exit, or a
  // fatal signal still being delivered to the other threads), the process
  // runs on, or is still releasing its descriptors and the locks held
  // through them; it has ended only once no other thread is left.
  const char* threads = Field(buffer, "\nThreads:");
  return threads != nullptr && std::strtoul(threads, nullptr, 10) > 1;
}

bool WatchServiceStopUsingPID::Check(uint32_t pid) {
  if (IsProcessRunning(pid)) return true;
  return Stopped();
}

bool WatchServiceStopUsingPID::Check(const WatchedProcess& process) {
  if (process.IsRunning()) return true;
  return Stopped();
}

bool WatchServiceStopUsingPID::Stopped() {
  try {
    OnServiceStopped();
  } catch (...) {  // the watcher's hook, run from its timer: the watch goes on
  }
  return false;
}
