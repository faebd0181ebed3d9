#include "Support/SysLogEntry.h"

#include <syslog.h>

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
