#include "Support/InterProcessLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "Support/CRuntimeInfo.h"
#include "Support/FirstByteLock.h"
#include "Support/SharedFiles.h"
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
  if (removeFile)
    m_Fd.reset(SharedFiles::OpenOrCreate(m_Path, O_RDWR, SharedFiles::SharedFileMode(), std::nullopt));
  else
    m_Fd.reset(
        SharedFiles::OpenExisting(m_Path, O_RDWR, SharedFiles::DirectoryOwner(m_Path).value_or(geteuid())));
  // Descriptor 0 means standard input was closed; treat it as a failure so a
  // stray read of standard input can never touch the lock file.
  if (m_Fd.get() == 0) {
    m_Fd.reset();
    errno = EBADF;
  }
  Validation2Exception::CheckOSCall(m_Fd.valid(), "Unable to open lock file");
}

InterProcessLock::~InterProcessLock() {
  Validation2Exception::ReportOSCall(m_Fd.close(), "Can not close lock file");
  if (m_RemoveFile)
    Validation2Exception::ReportOSCall(::unlink(m_Path.c_str()) == 0, "Error: Can not remove lock file ");
}

void InterProcessLock::Lock() {
  if (m_RemoveFile) {
    Validation2Exception::CheckOSCall(SetLock(m_Fd.get(), F_OFD_SETLKW, F_WRLCK) == 0, "Can not lock");
    return;
  }
  // Polled: a record lock has no timed wait, and a thread signal to end a
  // blocking wait would reach into the application's signal handling.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBorrowerDeadlineMs);
  for (auto pause = std::chrono::microseconds(100);; pause = std::min(pause * 2, decltype(pause)(5000))) {
    if (SetLock(m_Fd.get(), F_OFD_SETLK, F_WRLCK) == 0) return;
    Validation2Exception::CheckOSCall(errno == EAGAIN || errno == EACCES, "Can not lock");
    if (std::chrono::steady_clock::now() >= deadline) {
      errno = ETIMEDOUT;
      Validation2Exception::CheckOSCall(false, "Can not lock");
    }
    std::this_thread::sleep_for(pause);
  }
}

void InterProcessLock::Unlock() {
  Validation2Exception::CheckOSCall(SetLock(m_Fd.get(), F_OFD_SETLK, F_UNLCK) == 0, "Can not unlock");
}
