#include "ServiceMonitor/ServiceAvailabilityUsingPIDFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "Support/CRuntimeInfo.h"
#include "Support/ScopedUmask.h"
#include "Support/Validation2Exception.h"

std::string ServiceAvailabilityUsingPIDFile::PidFilePath(const std::string& name) {
  return CRuntimeInfo::TempDirectory() + name + ".pid";
}

ServiceAvailabilityUsingPIDFile::ServiceAvailabilityUsingPIDFile(const std::string& name)
    : ExclusiveAccessUsingLockFile(name), m_PidPath(PidFilePath(name)) {
  {
    ScopedUmask mask(0);
    m_PidFd = ::open(m_PidPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  }
  Validation2Exception::CheckLogic(m_PidFd >= 0, "Error open PID file");
  std::string text = std::to_string(static_cast<long>(getpid())) + "\n";
  try {
    Validation2Exception::CheckOSCall(
        ::write(m_PidFd, text.data(), text.size()) == static_cast<ssize_t>(text.size()),
        "can not store pid to pid file ");
  } catch (...) {
    // A half-written PID file must not announce a service that failed.
    ::close(m_PidFd);
    ::unlink(m_PidPath.c_str());
    throw;
  }
}

ServiceAvailabilityUsingPIDFile::~ServiceAvailabilityUsingPIDFile() {
  ::close(m_PidFd);
  try {
    Validation2Exception::CheckOSCall(::unlink(m_PidPath.c_str()) == 0, "Can not remove pid file");
  } catch (...) {
  }
}
