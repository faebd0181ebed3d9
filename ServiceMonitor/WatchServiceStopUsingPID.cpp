#include "ServiceMonitor/WatchServiceStopUsingPID.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

std::string WatchServiceStopUsingPID::StatusFilePath(uint32_t pid) {
  return "/proc/" + std::to_string(pid) + "/status";
}

bool WatchServiceStopUsingPID::IsProcessRunning(uint32_t pid) {
  if (pid == 0) return false;
  const std::string path = StatusFilePath(pid);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  // The state line comes within the first few lines; a short read is enough.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[512];
  ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
  ::close(fd);
  if (n <= 0) return true;  // exists but unreadable: assume it runs
  buffer[n] = '\0';
  const char* state = std::strstr(buffer, "\nState:");
  if (state == nullptr) return true;
  state += std::strlen("\nState:");
  while (*state == ' ' || *state == '\t') ++state;
  // Z: zombie, X: dead.
  return *state != 'Z' && *state != 'X';
}

bool WatchServiceStopUsingPID::Check(uint32_t pid) {
  if (IsProcessRunning(pid)) return true;
  try {
    OnServiceStopped();
  } catch (...) {
  }
  return false;
}
