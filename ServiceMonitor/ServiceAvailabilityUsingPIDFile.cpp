#include "ServiceMonitor/ServiceAvailabilityUsingPIDFile.h"

#include <unistd.h>

#include <string>

#include "Support/CRuntimeInfo.h"
#include "Support/PidFileWriter.h"
#include "Support/SharedFiles.h"
#include "Support/Validation2Exception.h"

std::string ServiceAvailabilityUsingPIDFile::PidFilePath(const std::string& name) {
  return CRuntimeInfo::TempDirectory() + name + ".pid";
}

void ServiceAvailabilityUsingPIDFile::StorePid(const std::string& path) {
  // Published whole (renamed into place): a watcher that finds the file
  // always reads a complete id.
  PidFileWriter::Result result = PidFileWriter::Publish(path, SharedFiles::SharedFileMode());
  Validation2Exception::CheckLogic(result != PidFileWriter::OpenFailed, "Error open PID file");
  Validation2Exception::CheckOSCall(result == PidFileWriter::Published, "can not store pid to pid file ");
}

ServiceAvailabilityUsingPIDFile::ServiceAvailabilityUsingPIDFile(const std::string& name)
    : ExclusiveAccessUsingLockFile(name), m_PidPath(PidFilePath(name)) {
  StorePid(m_PidPath);
}

ServiceAvailabilityUsingPIDFile::~ServiceAvailabilityUsingPIDFile() {
  Validation2Exception::ReportOSCall(::unlink(m_PidPath.c_str()) == 0, "Can not remove pid file");
}
