#include "Support/SysLogEntry.h"

#include <string.h>
#include <syslog.h>

#include <cerrno>

namespace {
// strerror_r comes in two flavours; both are handled without caring which.
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* ErrorText(const char* result, const char*) { return result; }
}  // namespace

SysLogEntry::~SysLogEntry() {
  try {
    std::string text = str();
    if (text.empty()) return;
    static const int kPriority[] = {LOG_NOTICE, LOG_ERR, LOG_WARNING, LOG_INFO};
    int priority = (Severity >= 0 && Severity < 4) ? kPriority[Severity] : LOG_ERR;
    // openlog keeps the identity pointer, so it must outlive closelog.
    openlog(Name.c_str(), LOG_PID | LOG_CONS, LOG_USER);
    syslog(priority, "%s", text.c_str());
    closelog();
  } catch (...) {
  }
}

std::string DescribeFailure(std::string_view what, std::string_view path, int osError) noexcept {
  std::string text;
  try {
    text.append(what);
    if (!path.empty()) text.append(": ").append(path);
    if (osError != 0) {
      char buffer[256];
      buffer[0] = '\0';
      text.append(": ")
          .append(ErrorText(strerror_r(osError, buffer, sizeof buffer), buffer))
          .append(" (")
          .append(std::to_string(osError))
          .append(")");
    }
  } catch (const std::exception&) {  // out of memory: what was built so far
  }
  return text;
}

void ReportFailureToSystemLog(std::string_view what, std::string_view path, int osError) noexcept {
  const int saved = errno;  // callers often still need errno for their own reply
  try {
    SysLogEntry entry(kSystemLogIdentity, 1);
    entry << DescribeFailure(what, path, osError);
  } catch (const std::exception&) {  // out of memory for the entry
  }
  errno = saved;
}
