#include "Support/Logging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "Support/CFastStr.h"
#include "Support/CRuntimeInfo.h"
#include "Support/FileDescriptor.h"
#include "Support/SharedFiles.h"

std::atomic<int> Logging::s_diagnostic_mode{0};
std::atomic<const char*> Logging::s_prefix{"KIVCLIENT: "};

namespace {
void SysLogError(const char* text) {
  openlog(nullptr, LOG_PID | LOG_CONS, LOG_USER);
  syslog(LOG_ERR, "%s", text);
  closelog();
}
}  // namespace

int Logging::GetDiagnosticMode() {
  int mode = s_diagnostic_mode.load(std::memory_order_relaxed);
  if (mode == 0) {
    const char* value = getenv("DIAGNOSTIC_MODE");
    mode = (value && strcmp(value, "1") == 0) ? 2 : 1;
    s_diagnostic_mode.store(mode, std::memory_order_relaxed);
  }
  return mode;
}

void Logging::ResetDiagnosticModeForTesting() { s_diagnostic_mode.store(0); }

void Logging::SetProgramPrefix(const char* prefix) { s_prefix.store(prefix); }

std::string Logging::LogFilePath() { return CRuntimeInfo::TempDirectory() + "trace.txt"; }

void Logging::Write(const std::string& text) {
  // Shared by every process: never through a planted link, never a umask change.
  FileDescriptor fd(SharedFiles::OpenOrCreate(LogFilePath(), O_RDWR | O_APPEND, SharedFiles::SharedFileMode(),
                                              std::nullopt));
  if (!fd.valid()) {
    SysLogError("Error: trace.txt file open");
    throw 1;
  }
  if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    SysLogError("Error: trace.txt file write");
    throw 2;
  }
  if (!fd.close()) SysLogError("Error: trace.txt file close");
}

void Logging::Sync() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  time_t seconds = now.tv_sec;
  tm local{};
  localtime_r(&seconds, &local);
  CFastStr<20, 21> prefix;
  prefix.Append(CFastStr<2, 3>(local.tm_hour, '0'));
  prefix.Append(":", 1);
  prefix.Append(CFastStr<2, 3>(local.tm_min, '0'));
  prefix.Append(":", 1);
  prefix.Append(CFastStr<2, 3>(local.tm_sec, '0'));
  prefix.Append(".", 1);
  prefix.Append(CFastStr<3, 4>(static_cast<uint32_t>(now.tv_nsec / 1000000), '0'));
  prefix.Append(" ", 1);
  std::string entry(prefix.c_str(), prefix.Length());
  entry += s_prefix.load();
  entry += str();
  Write(entry);
  clear();
}
