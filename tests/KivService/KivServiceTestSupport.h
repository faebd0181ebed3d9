#pragma once
// Shared pieces of the trace collection tests: a live process to lend its
// pid to a protocol client, the status file and report readers.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "KivService/StatusReport.h"
#include "TestSupport/Sandbox.h"

namespace kivtest {

// A child process that only waits to be killed; the dispatcher watches its
// pid, so a test can act as a second client under it.
struct SleepingChild {
  pid_t pid = -1;
  SleepingChild() {
    pid = fork();
    if (pid == 0) {
      for (;;) pause();
    }
  }
  ~SleepingChild() { Kill(); }
  void Kill() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  uint32_t Pid() const { return static_cast<uint32_t>(pid); }
};

// The value of "Connections\Local" in a status report, or -1 when absent.
inline long ConnectionsIn(const std::string& report) {
  const std::string key = "Connections\\Local(Number of connections to the server from local process):";
  size_t at = report.find(key);
  if (at == std::string::npos) return -1;
  return std::stol(report.substr(at + key.size()));
}

inline long Connections(const StatusReport::Collector& collector) {
  std::ostringstream out;
  collector.ReportAllStatus(out);
  return ConnectionsIn(out.str());
}

}  // namespace kivtest
