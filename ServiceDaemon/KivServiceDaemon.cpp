#include "ServiceDaemon/KivServiceDaemon.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "ServiceDaemon/KivServiceFactory.h"
#include "Support/CFileSystem.h"
#include "Support/CRuntimeInfo.h"
#include "Support/ExclusiveAccessUsingLockFile.h"
#include "Support/FileDescriptor.h"
#include "Support/FirstByteLock.h"
#include "Support/Logging.h"
#include "Support/PidFileWriter.h"
#include "Support/SharedFiles.h"
#include "Support/SysLogEntry.h"
#include "Support/Validation2Exception.h"

std::string KivDispatcherServiceName;
std::string KivDispatcherServiceDisplayName;

template <class Server>
std::atomic<bool> Daemon<Server>::m_StopRequest{false};

namespace {
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// What `read` returns, or 0 when it raised: a check's failure (already in
// the diagnostic log) or the log's own integer code when that failed too.
template <class Read>
pid_t PidOrZero(Read&& read) {
  try {
    return read();
  } catch (const std::exception&) {
  } catch (int) {
  }
  return 0;
}

// Standard streams of the daemon go to /dev/null, so a caller reading the
// starter's output through pipes sees them close when the starter exits.
void DetachStandardStreams() {
  FileDescriptor fd(::open("/dev/null", O_RDWR));
  if (!fd.valid()) return;
  for (int target = 0; target <= 2; ++target) ::dup2(fd.get(), target);
  if (fd.get() <= 2) fd.release();  // it is one of the standard streams now
}

void UnblockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGQUIT, SIGTERM, SIGINT, SIGPIPE}) sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// One end of the start report channel, closed with the object.
class ReportChannel {
 public:
  explicit ReportChannel(int fd) : m_Fd(fd) {}
  int Fd() const { return m_Fd.get(); }
  // Best effort: a starter that gave up waiting must not kill the daemon (no SIGPIPE).
  void Send(const std::string& text) {
    if (m_Fd.valid()) (void)::send(m_Fd.get(), text.data(), text.size(), MSG_NOSIGNAL);
  }
  void Close() { m_Fd.reset(); }

 private:
  FileDescriptor m_Fd;
};

// Start report texts: the first byte says how the child's start went.
constexpr char kStarted = '+';
constexpr char kFailed = '-';

std::string Seconds(int milliseconds) { return std::to_string(milliseconds / 1000) + " s"; }

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
  FileDescriptor fd(SharedFiles::OpenExisting(lockFile, O_WRONLY, std::nullopt));
  if (!fd.valid()) return false;
  bool locked = ::lockf(fd.get(), F_TEST, 1) != 0;
  Validation2Exception::ReportOSCall(fd.close(), "LockTest:Error close lock file");
  return locked;
}

template <class Server>
pid_t Daemon<Server>::LockHolder(const std::string& lockFile) {
  FileDescriptor fd(SharedFiles::OpenExisting(lockFile, O_RDONLY, std::nullopt));
  if (!fd.valid()) return 0;
  struct flock lock = QueryFirstByte(fd.get());
  return lock.l_type == F_UNLCK ? 0 : lock.l_pid;
}

template <class Server>
bool Daemon<Server>::TryToLockFile(const std::string& lockFile) {
  // A daemon that is ending removes its lock file while still holding the
  // lock; a lock taken on such a removed file would not be seen by anybody,
  // so the path is checked again after locking.
  for (int attempt = 0; attempt < 4; ++attempt) {
    FileDescriptor fd(
        SharedFiles::OpenOrCreate(lockFile, O_WRONLY, SharedFiles::SharedFileMode(), std::nullopt));
    if (!fd.valid()) return false;
    if (::lockf(fd.get(), F_TLOCK, 1) != 0) return false;
    struct stat byFd, byPath;
    if (::fstat(fd.get(), &byFd) == 0 && ::lstat(lockFile.c_str(), &byPath) == 0 &&
        byFd.st_ino == byPath.st_ino && byFd.st_dev == byPath.st_dev) {
      fd.release();  // stays open: the lock lasts as long as the process
      return true;
    }
  }
  return false;
}

template <class Server>
void Daemon<Server>::UnlockFile(const std::string& lockFile) {
  FileDescriptor fd(SharedFiles::OpenExisting(lockFile, O_WRONLY, std::nullopt));
  try {
    Validation2Exception::CheckOSCall(fd.valid(), "Can not open lockfile to write");
  } catch (const std::exception&) {
    KIV_DIAG_NOTHROW("Error: Unlock lock file\n");
    throw;
  }
  Validation2Exception::ReportOSCall(::lockf(fd.get(), F_ULOCK, 1) == 0, "Can not unlock the lockfile ");
  Validation2Exception::ReportOSCall(fd.close(), "UnlockFile:Error to close lock file");
}

template <class Server>
void Daemon<Server>::StoreServicePID(const std::string& pidFile) {
  try {
    // Group members read it to find the dispatcher.
    Validation2Exception::CheckOSCall(
        PidFileWriter::Publish(pidFile, SharedFiles::SharedFileMode()) == PidFileWriter::Published,
        "Error Open pid file");
  } catch (const std::exception&) {
    KIV_DIAG_NOTHROW("Error store PID in PIDFILE \n");
    throw;
  }
}

template <class Server>
pid_t Daemon<Server>::GetServicePID(const std::string& pidFile) {
  FileDescriptor fd(SharedFiles::OpenExisting(pidFile, O_RDONLY, std::nullopt));
  Validation2Exception::CheckOSCall(fd.valid(), "Open PID FILE error");
  char text[11] = {};
  ssize_t n = ::read(fd.get(), text, 10);
  int saved = errno;
  Validation2Exception::ReportOSCall(fd.close(), "Can not close PID FILE");
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
  if (PidOrZero([&] { return GetServicePID(pidFile); }) == pid)
    Validation2Exception::ReportOSCall(::unlink(pidFile.c_str()) == 0, "Error: remove LSB PID FILE");
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
  std::string keepName =
      keep.size() > tmp.size() && keep.compare(0, tmp.size(), tmp) == 0 ? keep.substr(tmp.size()) : "";
  std::string failed;  // stays empty when the directory itself could not be opened
  if (!CFileSystem::RemoveContents(tmp, keepName, failed))
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
  const bool presence = ExclusiveAccessUsingLockFile::IsHeld(kServicePresenceName);
  const pid_t holder = LockHolder(lockFile);
  if (holder != 0 && !presence) {
    const pid_t recorded = PidOrZero([&] { return GetServicePID(PidFilePath(name)); });
    // Someone else sits on the lock: no dispatcher runs, and none can start.
    if (recorded != holder)
      throw DaemonControlFailure("Lock file " + lockFile + " is held by process " + std::to_string(holder) +
                                 ", which is not the dispatcher recorded in " + PidFilePath(name));
  }
  Validation2Exception::CheckLogic(holder == 0 && !presence, "Service Already Starts");
  int channel[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0)
    throw DaemonControlFailure(DescribeFailure("Can not create the start report channel", "", errno));
  ReportChannel starterEnd(channel[0]);
  ReportChannel childEnd(channel[1]);
  std::fflush(nullptr);  // or the child would print the parent's pending output again
  pid_t pid = ::fork();
  if (pid == -1) {
    const int error = errno;
    std::puts(" Can not fork a child process ");
    throw DaemonControlFailure(DescribeFailure("Can not fork a child process", "", error));
  }
  if (pid > 0) {
    childEnd.Close();  // so the child's end alone keeps the channel open
    AwaitStartReport(name, starterEnd.Fd(), pid);
    return;
  }
  starterEnd.Close();
  const int report = childEnd.Fd();
  RunDaemonChild(name, report);
  std::exit(0);
}

template <class Server>
void Daemon<Server>::AwaitStartReport(const std::string& name, int report, pid_t child) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kStartReportTimeoutMs);
  std::string message;
  bool ended = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd ready{report, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) break;
    char buffer[512];
    const ssize_t n = ::read(report, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended = true;  // the child closed its end: after a failure, or it died
      break;
    }
    message.append(buffer, static_cast<size_t>(n));
    if (message[0] == kStarted) return;
  }
  if (!message.empty() && message[0] == kFailed) throw DaemonControlFailure(message.substr(1));
  if (ended) {
    std::string how = "The dispatcher ended while starting";
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child && WIFSIGNALED(status))
      how += " (signal " + std::to_string(WTERMSIG(status)) + ")";
    throw DaemonControlFailure(how);
  }
  // No word in time: a child that published its PID file is on its way.
  const pid_t published = PidOrZero([&] { return GetServicePID(PidFilePath(name)); });
  if (published != child)
    throw DaemonControlFailure("The dispatcher (pid " + std::to_string(child) + ") published no PID file " +
                               PidFilePath(name) + " within " + Seconds(kStartReportTimeoutMs));
}

template <class Server>
void Daemon<Server>::RunDaemonChild(const std::string& name, int report) {
  ReportChannel starter(report);
  std::string lockFile = LockFilePath(name);
  // What the child is doing, put in front of a failure's text for the report.
  std::string step;
  try {
    DetachStandardStreams();
    ::setsid();
    UnblockStopSignals();
    m_StopRequest.store(false);

    // The lock comes before anything in {temp} is touched: a start racing with
    // another one, or with a console dispatcher, must not wipe its files.
    CreateTempDirectory();
    if (!TryToLockFile(lockFile)) {
      step = DescribeFailure("Can not lock the dispatcher lock file", lockFile, errno);
      throw std::runtime_error("Can not start service");
    }
    if (ExclusiveAccessUsingLockFile::IsHeld(kServicePresenceName)) {
      step = "A console dispatcher runs in this installation";
      throw std::runtime_error("Can not start service");
    }
    CheckDirectoryStatus(lockFile);
    KIV_DIAG_NOTHROW("Lock file can be locked, service did not start yet\n");

    try {
      step = "PID file " + PidFilePath(name);
      StoreServicePID(PidFilePath(name));
      step = "PID file " + LsbPidFilePath();
      StoreServicePID(LsbPidFilePath());
      InstallSignalHandlers(false);
      step = "Dispatcher service";
      std::unique_ptr<KivRunningService> service = CreateKivService();
      starter.Send(std::string(1, kStarted));
      starter.Close();
      step.clear();
      while (!m_StopRequest.load()) ::sleep(1);  // a stop signal cuts the sleep short
      service.reset();
    } catch (...) {  // the daemon's body: whatever ends it, its files go
      KIV_DIAG_NOTHROW("Can not save service PID, service can not start \n");
      CleanUp(name);
      throw;
    }
  } catch (const std::exception& e) {
    const std::string reason = step.empty() ? e.what() : step + ": " + e.what();
    ReportFailureToSystemLog("kivserver start failed", reason);
    starter.Send(kFailed + reason);
    throw;
  } catch (...) {  // the daemon's body: the starter hears of any failure
    const std::string reason = step.empty() ? "unknown failure" : step;
    ReportFailureToSystemLog("kivserver start failed", reason);
    starter.Send(kFailed + reason);
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
  Validation2Exception::ReportOSCall(::unlink(PidFilePath(name).c_str()) == 0, "Error: remove PID FILE");
  RemovePidFileIfOwnedBy(LsbPidFilePath(), ::getpid());
  Validation2Exception::ReportOSCall(::unlink(lockFile.c_str()) == 0, "Can not remove the lock file");
  try {
    UnlockFile(lockFile);
  } catch (const std::exception&) {
    // Reported by its check; the lock goes with the process anyway.
  } catch (int) {
    // The diagnostic log itself could not be written.
  }
}

template <class Server>
void Daemon<Server>::Stop(const std::string& name) {
  std::string lockFile = LockFilePath(name);
  std::string pidFile = PidFilePath(name);
  std::string lsbFile = LsbPidFilePath();
  const pid_t holder = LockHolder(lockFile);
  // With nobody on the daemon lock, no daemon runs (the established "already
  // stopped" errors follow); only a console dispatcher could, and that one is
  // ended from its terminal.
  auto noDaemon = [&] {
    if (holder != 0) return false;
    if (ExclusiveAccessUsingLockFile::IsHeld(kServicePresenceName))
      throw DaemonControlFailure(
          "Only a console dispatcher runs in this installation; end it from its terminal");
    return true;
  };
  std::string chosen;
  if (Exists(pidFile))
    chosen = pidFile;
  else if (Exists(lsbFile))
    chosen = lsbFile;
  else if (noDaemon())
    throw std::runtime_error("PID doesn't exists");
  else
    throw DaemonControlFailure("Lock file " + lockFile + " is held by process " + std::to_string(holder) +
                               " but no PID file names the dispatcher");

  pid_t pid = 0;
  try {
    pid = GetServicePID(chosen);
  } catch (const std::exception& e) {
    if (noDaemon()) throw;
    throw DaemonControlFailure("PID file " + chosen + ": " + e.what());
  }
  KIV_DIAG_NOTHROW(" service pid is " << pid << "\n");
  // Only the process that holds this installation's daemon lock is signalled:
  // a stale or foreign PID file must never stop an unrelated process.
  if (holder != pid) {
    if (noDaemon()) {
      errno = ESRCH;
      Validation2Exception::CheckOSCall(false, " pid does not exists ");
    }
    throw DaemonControlFailure("Lock file " + lockFile + " is held by process " + std::to_string(holder) +
                               ", not by the dispatcher " + std::to_string(pid) + " recorded in " + chosen);
  }
  if (::kill(pid, SIGQUIT) != 0)
    throw DaemonControlFailure(
        DescribeFailure("Can not signal the dispatcher, pid", std::to_string(pid), errno));
  // The daemon lets go of its lock as the last step of its clean-up.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
  while (LockHolder(lockFile) == pid) {
    if (Clock::now() >= deadline)
      throw DaemonControlFailure("The dispatcher (pid " + std::to_string(pid) + ") did not end within " +
                                 Seconds(kStopTimeoutMs));
    ::usleep(20 * 1000);
  }
  RemovePidFileIfOwnedBy(lsbFile, pid);
}

template class Daemon<KivDispatcherServer>;
