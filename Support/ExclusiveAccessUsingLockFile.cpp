#include "Support/ExclusiveAccessUsingLockFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Support/CRuntimeInfo.h"
#include "Support/FirstByteLock.h"
#include "Support/SharedFiles.h"
#include "Support/Validation2Exception.h"

namespace {
// True when `fd` still refers to the file at `path`: a holder that is
// shutting down removes the file before releasing its lock, and a lock taken
// on such a removed file must not count.
bool StillLinked(int fd, const std::string& path) {
  struct stat byFd, byPath;
  return ::fstat(fd, &byFd) == 0 && ::lstat(path.c_str(), &byPath) == 0 && byFd.st_dev == byPath.st_dev &&
         byFd.st_ino == byPath.st_ino;
}
}  // namespace

ExclusiveAccessUsingLockFile::ExclusiveAccessUsingLockFile(const std::string& name)
    : m_Path(CRuntimeInfo::TempDirectory() + name + ".lck") {
  // A few rounds cover a holder that removed the file between our open and
  // our lock; each round opens the file anew.
  for (int attempt = 0;; ++attempt) {
    m_Fd.reset(SharedFiles::OpenOrCreate(m_Path, O_RDWR, SharedFiles::SharedFileMode(), std::nullopt));
    Validation2Exception::CheckLogic(m_Fd.valid(), "Error opening lock file, exclusive access denined");
    struct flock lock = FirstByteLock(F_WRLCK);
    bool locked = ::fcntl(m_Fd.get(), F_OFD_SETLK, &lock) == 0;
    if (locked && StillLinked(m_Fd.get(), m_Path)) return;
    int saved = errno;
    Validation2Exception::ReportOSCall(m_Fd.close(),
                                       "Fail to close opened lock file when locking file failed");
    if (!locked || attempt >= 3) {
      errno = locked ? EAGAIN : saved;
      Validation2Exception::CheckOSCall(false, "Fail to lock the file");
    }
  }
}

ExclusiveAccessUsingLockFile::~ExclusiveAccessUsingLockFile() {
  // The file goes first, while the lock is still held, so nobody can lock
  // the old file after we let go of it and believe they own the name.
  Validation2Exception::ReportOSCall(::unlink(m_Path.c_str()) == 0,
                                     "Fail to remove lock file during destruction ");
  struct flock lock = FirstByteLock(F_UNLCK);
  Validation2Exception::ReportOSCall(::fcntl(m_Fd.get(), F_OFD_SETLK, &lock) == 0, "Fail to unlock file");
  Validation2Exception::ReportOSCall(m_Fd.close(), "Fail to close opened lock file after unlocking file");
}

bool ExclusiveAccessUsingLockFile::IsHeld(const std::string& name) {
  std::string path = CRuntimeInfo::TempDirectory() + name + ".lck";
  FileDescriptor fd(SharedFiles::OpenExisting(path, O_RDONLY, std::nullopt));
  if (!fd.valid()) return false;
  // An open-file-description query sees every other holder, including other
  // objects of this process, without taking anything.
  struct flock lock = FirstByteLock(F_WRLCK);
  return ::fcntl(fd.get(), F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}
