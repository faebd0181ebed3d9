#include "Support/FileStatusReport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "Support/CFastStr.h"
#include "Support/CRuntimeInfo.h"
#include "Support/Validation2Exception.h"

namespace {

// Closes the descriptor on every path out of a report.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

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

  Descriptor file{::open(m_Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)};
  Validation2Exception::CheckOSCall(file.fd >= 0, "Can not open status file");
  size_t written = 0;
  while (written < content.size()) {
    ssize_t n = ::write(file.fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    Validation2Exception::CheckOSCall(n > 0, "Can not write status file");
    written += static_cast<size_t>(n);
  }
}
