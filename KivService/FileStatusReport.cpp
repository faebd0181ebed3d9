#include "KivService/FileStatusReport.h"

#include <sstream>

#include "Support/CFastStr.h"
#include "Support/CRuntimeInfo.h"
#include "Support/SharedFiles.h"
#include "Support/Validation2Exception.h"

FileStatusReport::FileStatusReport(StatusReport::Collector& collector)
    : FileStatusReport(collector, CRuntimeInfo::TempDirectory() + "KivServerStatus" + ".txt") {}

FileStatusReport::FileStatusReport(StatusReport::Collector& collector, std::string path)
    : m_Collector(&collector), m_Path(std::move(path)) {}

void FileStatusReport::WriteReport(std::ostream& out, const tm& localTime,
                                   const StatusReport::Collector& collector) {
  CFastStr<64> line;
  line.Append("Last updated at:");
  line.AddNumber(static_cast<uint32_t>(localTime.tm_mon + 1)).Append('/');
  line.AddNumber(static_cast<uint32_t>(localTime.tm_mday)).Append('/');
  line.AddNumber(static_cast<uint32_t>(localTime.tm_year + 1900)).Append(' ');
  line.AddNumber(static_cast<uint32_t>(localTime.tm_hour), 2, true).Append(':');
  line.AddNumber(static_cast<uint32_t>(localTime.tm_min), 2, true).Append(':');
  line.AddNumber(static_cast<uint32_t>(localTime.tm_sec), 2, true).Append('\n');
  out << line.View();
  collector.ReportAllStatus(out);
}

void FileStatusReport::Worker() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  time_t seconds = now.tv_sec;
  tm local{};
  localtime_r(&seconds, &local);
  std::ostringstream text;
  WriteReport(text, local, *m_Collector);
  const std::string content = text.str();

  // Written aside and renamed into place: a reader sees a whole report, and
  // a link planted at the name is replaced, never written through.
  Validation2Exception::CheckOSCall(
      SharedFiles::ReplaceContent(m_Path, content, SharedFiles::SharedFileMode()),
      "Can not write status file");
}
