#pragma once
// One message to the system log, sent when the object is destroyed; and the
// one-call report of a failure that no terminal would see.

#include <sstream>
#include <string>
#include <string_view>

class SysLogEntry : public std::stringstream {
 public:
  // Severity index: 0 notice, 1 error, 2 warning, 3 info.
  SysLogEntry(std::string name, int severity) : Name(std::move(name)), Severity(severity) {}
  ~SysLogEntry() override;  // sends the text unless it is empty; never raises

  std::string Name;
  int Severity;
};

// Identity of the facility's failure reports in the system log (the one the
// configuration reader uses too), so one filter finds them all.
inline constexpr const char* kSystemLogIdentity = "KivServer";

// Sends "<what>: <path>: <OS error text> (<errno>)" as an error under
// kSystemLogIdentity, whether or not DIAGNOSTIC_MODE is set. The path part
// is left out when empty, the error part when `osError` is 0. Never raises,
// callable from any thread (the message is built before the one syslog call).
void ReportFailureToSystemLog(std::string_view what, std::string_view path = {}, int osError = 0) noexcept;
// The text ReportFailureToSystemLog sends (also for a terminal). Never raises:
// gives what it could build.
std::string DescribeFailure(std::string_view what, std::string_view path, int osError) noexcept;
