#pragma once
// One message to the system log, sent when the object is destroyed.

#include <sstream>
#include <string>

class SysLogEntry : public std::stringstream {
 public:
  // Severity index: 0 notice, 1 error, 2 warning, 3 info.
  SysLogEntry(std::string name, int severity) : Name(std::move(name)), Severity(severity) {}
  ~SysLogEntry() override;  // sends the text unless it is empty; never raises

  std::string Name;
  int Severity;
};
