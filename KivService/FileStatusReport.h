#pragma once
// Writes the status file "{temp}KivServerStatus.txt": a "Last updated at:"
// line and one line per status entry. The owner drives it with
//   TimerClassMemberFunction<FileStatusReport> timer(report, FileStatusReport::kPeriodMs);
// and destroys the timer before the report and the collector. A tick that
// cannot write the file raises; the timer logs that and the next tick tries
// again, so a missing directory is only retried.

#include <time.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "KivService/StatusReport.h"

class FileStatusReport {
 public:
  static constexpr uint32_t kPeriodMs = 1000;

  // Reports `collector` (not owned) to the status file in {temp}.
  explicit FileStatusReport(StatusReport::Collector& collector);
  // The same to another file.
  FileStatusReport(StatusReport::Collector& collector, std::string path);
  virtual ~FileStatusReport() = default;

  const std::string& Path() const { return m_Path; }

  // One report: rewrites the whole file with the current local time.
  void Worker();

  // The file's content for the given local time: "Last updated at:" then
  // month/day/year unpadded, a blank and hh:mm:ss, then every entry.
  static void WriteReport(std::ostream& out, const tm& localTime, const StatusReport::Collector& collector);

 private:
  StatusReport::Collector* m_Collector;
  std::string m_Path;
};
