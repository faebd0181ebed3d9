#include "Support/InterProcessLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "Support/CRuntimeInfo.h"
#include "Support/FirstByteLock.h"
#include "Support/ScopedUmask.h"
#include "Support/Validation2Exception.h"

namespace {
int SetLock(int fd, int command, short type) {
  struct flock lock = FirstByteLock(type);
  int rc;
  do {
    rc = ::fcntl(fd, command, &lock);
  } while (rc != 0 && errno == EINTR);
  return rc;
}
}  // namespace

InterProcessLock::InterProcessLock(const std::string& name, bool removeFile)
    : m_Path(CRuntimeInfo::TempDirectory() + name + ".lck"), m_RemoveFile(removeFile) {
  {
    ScopedUmask mask(0);
    m_Fd = ::open(m_Path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  }
  // Descriptor 0 means standard input was closed; treat it as a failure so a
  // stray read of standard input can never touch the lock file.
  if (m_Fd == 0) {
    ::close(m_Fd);
    m_Fd = -1;
    errno = EBADF;
  }
  Validation2Exception::CheckOSCall(m_Fd > 0, "Unable to open lock file");
}

InterProcessLock::~InterProcessLock() {
  try {
    Validation2Exception::CheckOSCall(::close(m_Fd) == 0, "Can not close lock file");
  } catch (...) {
  }
  m_Fd = -1;
  if (!m_RemoveFile) return;
  try {
    Validation2Exception::CheckOSCall(::unlink(m_Path.c_str()) == 0, "Error: Can not remove lock file ");
  } catch (...) {
  }
}

void InterProcessLock::Lock() {
  Validation2Exception::CheckOSCall(SetLock(m_Fd, F_OFD_SETLKW, F_WRLCK) == 0, "Can not lock");
}

void InterProcessLock::Unlock() {
  Validation2Exception::CheckOSCall(SetLock(m_Fd, F_OFD_SETLK, F_UNLCK) == 0, "Can not unlock");
}
