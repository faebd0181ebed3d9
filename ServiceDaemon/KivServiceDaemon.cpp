#include "ServiceDaemon/KivServiceDaemon.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "ServiceDaemon/KivServiceFactory.h"
#include "Support/CRuntimeInfo.h"
#include "Support/ExclusiveAccessUsingLockFile.h"
#include "Support/FirstByteLock.h"
#include "Support/Logging.h"
#include "Support/PidFileWriter.h"
#include "Support/SharedFiles.h"
#include "Support/Validation2Exception.h"

std::string KivDispatcherServiceName;
std::string KivDispatcherServiceDisplayName;

template <class Server>
std::atomic<bool> Daemon<Server>::m_StopRequest{false};

namespace {
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

template <class F>
void Swallow(F&& step) {
  try {
    step();
  } catch (...) {
  }
}

// Standard streams of the daemon go to /dev/null, so a caller reading the
// starter's output through pipes sees them close when the starter exits.
void DetachStandardStreams() {
  int fd = ::open("/dev/null", O_RDWR);
  if (fd < 0) return;
  for (int target = 0; target <= 2; ++target) ::dup2(fd, target);
  if (fd > 2) ::close(fd);
}

void UnblockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGQUIT, SIGTERM, SIGINT, SIGPIPE}) sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// The lock's holder as reported for a lockf-style request on byte 0.
struct flock QueryFirstByte(int fd) {
  struct flock lock = FirstByteLock(F_WRLCK);
  if (::fcntl(fd, F_GETLK, &lock) != 0) lock.l_type = F_UNLCK;
  return lock;
}
}  // namespace

template <class Server>
std::string Daemon<Server>::LockFilePath(const std::string& name) {
  return CRuntimeInfo::TempDirectory() + name + ".lck";
}

template <class Server>
std::string Daemon<Server>::PidFilePath(const std::string& name) {
  return CRuntimeInfo::TempDirectory() + name + ".pid";
}

template <class Server>
std::string Daemon<Server>::LsbPidFilePath() {
  return std::string("/var/run/") + "KivServer.pid";
}

template <class Server>
bool Daemon<Server>::IsProcessStart(const std::string& lockFile) {
  int fd = SharedFiles::OpenExisting(lockFile, O_WRONLY, std::nullopt);
  if (fd < 0) return false;
  bool locked = ::lockf(fd, F_TEST, 1) != 0;
  Swallow([&] { Validation2Exception::CheckOSCall(::close(fd) == 0, "LockTest:Error close lock file"); });
  return locked;
}

template <class Server>
pid_t Daemon<Server>::LockHolder(const std::string& lockFile) {
  int fd = SharedFiles::OpenExisting(lockFile, O_RDONLY, std::nullopt);
  if (fd < 0) return 0;
  struct flock lock = QueryFirstByte(fd);
  ::close(fd);
  return lock.l_type == F_UNLCK ? 0 : lock.l_pid;
}

template <class Server>
bool Daemon<Server>::TryToLockFile(const std::string& lockFile) {
  // A daemon that is ending removes its lock file while still holding the
  // lock; a lock taken on such a removed file would not be seen by anybody,
  // so the path is checked again after locking.
  for (int attempt = 0; attempt < 4; ++attempt) {
    int fd = SharedFiles::OpenOrCreate(lockFile, O_WRONLY, SharedFiles::SharedFileMode(), std::nullopt);
    if (fd < 0) return false;
    if (::lockf(fd, F_TLOCK, 1) != 0) {
      ::close(fd);
      return false;
    }
    struct stat byFd, byPath;
    if (::fstat(fd, &byFd) == 0 && ::lstat(lockFile.c_str(), &byPath) == 0 && byFd.st_ino == byPath.st_ino &&
        byFd.st_dev == byPath.st_dev)
      return true;  // the descriptor stays open: the lock lasts as long as the process
    ::close(fd);
  }
  return false;
}

template <class Server>
void Daemon<Server>::UnlockFile(const std::string& lockFile) {
  int fd = SharedFiles::OpenExisting(lockFile, O_WRONLY, std::nullopt);
  try {
    Validation2Exception::CheckOSCall(fd >= 0, "Can not open lockfile to write");
  } catch (...) {
    KIV_DIAG_NOTHROW("Error: Unlock lock file\n");
    throw;
  }
  Swallow([&] {
    Validation2Exception::CheckOSCall(::lockf(fd, F_ULOCK, 1) == 0, "Can not unlock the lockfile ");
  });
  Swallow(
      [&] { Validation2Exception::CheckOSCall(::close(fd) == 0, "UnlockFile:Error to close lock file"); });
}

template <class Server>
void Daemon<Server>::StoreServicePID(const std::string& pidFile) {
  try {
    // Group members read it to find the dispatcher.
    Validation2Exception::CheckOSCall(
        PidFileWriter::Publish(pidFile, SharedFiles::SharedFileMode()) == PidFileWriter::Published,
        "Error Open pid file");
  } catch (...) {
    KIV_DIAG_NOTHROW("Error store PID in PIDFILE \n");
    throw;
  }
}

template <class Server>
pid_t Daemon<Server>::GetServicePID(const std::string& pidFile) {
  int fd = SharedFiles::OpenExisting(pidFile, O_RDONLY, std::nullopt);
  Validation2Exception::CheckOSCall(fd >= 0, "Open PID FILE error");
  char text[11] = {};
  ssize_t n = ::read(fd, text, 10);
  int saved = errno;
  Swallow([&] { Validation2Exception::CheckOSCall(::close(fd) == 0, "Can not close PID FILE"); });
  errno = saved;
  Validation2Exception::CheckOSCall(n >= 0, "Read PID error");
  text[n] = '\0';
  int pid = 0;
  bool parsed = std::sscanf(text, "%d", &pid) == 1;
  Validation2Exception::CheckLogic(parsed && pid > 0, "Get PID Error");
  return static_cast<pid_t>(pid);
}

template <class Server>
void Daemon<Server>::RemovePidFileIfOwnedBy(const std::string& pidFile, pid_t pid) {
  pid_t stored = 0;
  try {
    stored = GetServicePID(pidFile);
  } catch (...) {
    return;
  }
  if (stored == pid)
    Validation2Exception::CheckOSCall(::unlink(pidFile.c_str()) == 0, "Error: remove LSB PID FILE");
}

namespace {
// Makes `path` a directory of this user and the installation's group with
// the policy's mode (see SharedFiles.h). A link at the name is refused.
void MakeSharedDirectory(const std::string& path) {
  const mode_t mode = SharedFiles::TempDirectoryMode();
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
    Validation2Exception::CheckOSCall(false, "Can not create temp folder: " + path);
  SharedFiles::Directory dir(path);
  Validation2Exception::CheckOSCall(dir.Fd() >= 0, "Can not create temp folder: " + path);
  SharedFiles::Policy policy = SharedFiles::InstallationPolicy();
  if (!policy.worldAccessible && ::fchown(dir.Fd(), geteuid(), policy.group) != 0 && errno != EPERM)
    Validation2Exception::CheckOSCall(false, "Can not create temp folder: " + path);
  // Only the dispatcher's own directory gets its mode; a directory another
  // user made keeps theirs.
  struct stat st {};
  if (::fstat(dir.Fd(), &st) == 0 && st.st_uid == geteuid()) ::fchmod(dir.Fd(), mode);
}
}  // namespace

template <class Server>
void Daemon<Server>::CreateTempDirectory() {
  std::string tmp = CRuntimeInfo::TempDirectory();
  // The parent is {temp} without its last "KIV/": the installation directory
  // itself may contain "KIV" anywhere.
  MakeSharedDirectory(tmp.substr(0, tmp.rfind("KIV")));
  MakeSharedDirectory(tmp);
}

template <class Server>
void Daemon<Server>::CheckDirectoryStatus(const std::string& keep) {
  CreateTempDirectory();
  std::string tmp = CRuntimeInfo::TempDirectory();
  SharedFiles::Directory dir(tmp);
  Validation2Exception::CheckOSCall(dir.Fd() >= 0, "Can not remove folder: " + tmp);
  // Relative to the directory's descriptor, never following a link: an
  // entry swapped for a link during the removal is removed as a link.
  std::string keepName =
      keep.size() > tmp.size() && keep.compare(0, tmp.size(), tmp) == 0 ? keep.substr(tmp.size()) : "";
  std::string failed;
  if (!SharedFiles::EmptyDirectory(dir.Fd(), keepName, failed))
    Validation2Exception::CheckOSCall(false, "Can not remove folder: " + tmp + failed);
}

template <class Server>
void Daemon<Server>::signal_handler(int sig) {
  if (sig == SIGQUIT || sig == SIGTERM || sig == SIGINT) {
    m_StopRequest.store(true);
    // sigaction is async-signal-safe; the next such signal takes the default action.
    struct sigaction deflt {};
    deflt.sa_handler = SIG_DFL;
    sigemptyset(&deflt.sa_mask);
    ::sigaction(sig, &deflt, nullptr);
  }
}

template <class Server>
void Daemon<Server>::InstallSignalHandlers(bool withInterrupt) {
  struct sigaction action {};
  action.sa_handler = &Daemon::signal_handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGQUIT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGPIPE, &action, nullptr);
  if (withInterrupt) ::sigaction(SIGINT, &action, nullptr);
}

template <class Server>
void Daemon<Server>::Start(const std::string& name) {
  std::string lockFile = LockFilePath(name);
  // A console dispatcher holds no daemon lock, only the presence lock.
  Validation2Exception::CheckLogic(
      !IsProcessStart(lockFile) && !ExclusiveAccessUsingLockFile::IsHeld(KivServicePresenceName),
      "Service Already Starts");
  std::fflush(nullptr);  // or the child would print the parent's pending output again
  pid_t pid = ::fork();
  if (pid == -1) {
    std::puts(" Can not fork a child process ");
    return;
  }
  if (pid > 0) return;
  RunDaemonChild(name);
  std::exit(0);
}

template <class Server>
void Daemon<Server>::RunDaemonChild(const std::string& name) {
  std::string lockFile = LockFilePath(name);
  DetachStandardStreams();
  ::setsid();
  UnblockStopSignals();
  m_StopRequest.store(false);

  // The lock comes before anything in {temp} is touched: a start racing with
  // another one, or with a console dispatcher, must not wipe its files.
  CreateTempDirectory();
  if (!TryToLockFile(lockFile) || ExclusiveAccessUsingLockFile::IsHeld(KivServicePresenceName))
    throw std::runtime_error("Can not start service");
  CheckDirectoryStatus(lockFile);
  KIV_DIAG_NOTHROW("Lock file can be locked, service did not start yet\n");

  try {
    StoreServicePID(PidFilePath(name));
    StoreServicePID(LsbPidFilePath());
    InstallSignalHandlers(false);
    std::unique_ptr<KivRunningService> service = CreateKivService();
    while (!m_StopRequest.load()) ::sleep(1);
    service.reset();
  } catch (...) {
    KIV_DIAG_NOTHROW("Can not save service PID, service can not start \n");
    CleanUp(name);
    throw;
  }
  CleanUp(name);
}

template <class Server>
void Daemon<Server>::CleanUp(const std::string& name) {
  std::string lockFile = LockFilePath(name);
  // Files go while the lock is still held, so a new daemon that takes the
  // lock next never has its fresh files removed by us. Every step runs even
  // when the one before failed.
  Swallow([&] {
    Validation2Exception::CheckOSCall(::unlink(PidFilePath(name).c_str()) == 0, "Error: remove PID FILE");
  });
  Swallow([&] { RemovePidFileIfOwnedBy(LsbPidFilePath(), ::getpid()); });
  Swallow([&] {
    Validation2Exception::CheckOSCall(::unlink(lockFile.c_str()) == 0, "Can not remove the lock file");
  });
  Swallow([&] { UnlockFile(lockFile); });
}

template <class Server>
void Daemon<Server>::Stop(const std::string& name) {
  std::string lockFile = LockFilePath(name);
  std::string pidFile = PidFilePath(name);
  std::string lsbFile = LsbPidFilePath();
  std::string chosen;
  if (Exists(pidFile))
    chosen = pidFile;
  else if (Exists(lsbFile))
    chosen = lsbFile;
  else
    throw std::runtime_error("PID doesn't exists");

  pid_t pid = GetServicePID(chosen);
  KIV_DIAG_NOTHROW(" service pid is " << pid << "\n");
  // Only the process that holds this installation's daemon lock is signalled:
  // a stale or foreign PID file must never stop an unrelated process.
  pid_t holder = LockHolder(lockFile);
  if (holder != pid) errno = ESRCH;
  bool signalled = holder == pid && ::kill(pid, SIGQUIT) == 0;
  Validation2Exception::CheckOSCall(signalled, " pid does not exists ");
  Swallow([&] { RemovePidFileIfOwnedBy(lsbFile, pid); });
}

template class Daemon<KivDispatcherServer>;
