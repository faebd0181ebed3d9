#pragma once
// Daemon control of the dispatcher: start it in the background guarded by a
// lock file and two PID files, stop it by signal, and the helpers both use.
//
// Files ({temp} = "$(OLVAN_VORNEL_DIR)/temp/KIV/" expanded):
//   {temp}<name>.lck   held with a lockf lock on byte 0 by the running daemon
//   {temp}<name>.pid   the daemon's process id and a newline (mode 0600)
//   /var/run/KivServer.pid   the same content (LSB location)
//
// All operations are static; the only state is the stop request set by the
// signal handler and polled by the daemon's main loop.

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <stdexcept>
#include <string>

// Tag type selecting the dispatcher's daemon.
struct KivDispatcherServer {};

// "KivDispatcher" and "Vornel Runtime Tracing Dispatcher"; set at the start of main.
extern std::string KivDispatcherServiceName;
extern std::string KivDispatcherServiceDisplayName;

// Raised by Start and Stop when a dispatcher could not be started or
// stopped (as opposed to one already running or already stopped); what()
// gives the reason with the path and the OS error where there is one.
class DaemonControlFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

template <class Server>
class Daemon {
 public:
  // How long Start waits for the child's report, and Stop for the daemon's end.
  static constexpr int kStartReportTimeoutMs = 5000;
  static constexpr int kStopTimeoutMs = 10000;

  // Refuses ("Bad logic:Service Already Starts") when the dispatcher of this
  // {temp} already runs (the daemon recorded in its PID file holds the lock,
  // or a console dispatcher holds the service presence lock). Raises
  // DaemonControlFailure when another process holds the daemon lock. Else
  // forks; the parent waits (kStartReportTimeoutMs at most) until the child
  // reports that its PID files are published and the service runs, and
  // raises DaemonControlFailure with the child's reason when it failed or
  // ended instead. After the wait without a report, a published PID file of
  // the child counts as started. The child detaches (standard streams to
  // /dev/null, new session), takes the lock, empties {temp}, writes both PID
  // files, runs the service until SIGQUIT or SIGTERM, cleans up and exit(0)s.
  // A failure in the child goes to the system log and to the parent, and is
  // raised to the child's caller after the files it wrote were removed.
  static void Start(const std::string& name);
  // Sends SIGQUIT to the daemon recorded in the service PID file (else the
  // LSB PID file), only when that process holds the daemon lock of this
  // {temp}, and waits (kStopTimeoutMs at most) until it released the lock.
  // Nothing running: raises "PID doesn't exists" when there is no PID file
  // and " pid does not exists ..." when the recorded process is gone.
  // Raises DaemonControlFailure when a dispatcher runs but was not stopped:
  // the lock holder is not the recorded process, the signal failed, the
  // daemon did not end in time, or only a console dispatcher runs.
  static void Stop(const std::string& name);

  // True when another process holds the lock on `lockFile`.
  static bool IsProcessStart(const std::string& lockFile);
  // Pid of the process holding the lock on `lockFile`, 0 when none.
  static pid_t LockHolder(const std::string& lockFile);
  // Creates {temp} and its parent when missing (SharedFiles::TempDirectoryMode(),
  // owned by this user and the installation's group), then removes
  // everything inside {temp} except the file `keep` (a full path; empty keeps
  // nothing). The running daemon's lock file is kept so the lock is never
  // dropped while the directory is cleared.
  static void CheckDirectoryStatus(const std::string& keep = "");
  // Creates {temp} and its parent when missing (modes as above).
  static void CreateTempDirectory();
  // Creates `lockFile` (SharedFiles::SharedFileMode()) and takes its lock without waiting; the
  // descriptor stays open for the life of the process.
  static bool TryToLockFile(const std::string& lockFile);
  // Writes getpid() and a newline to `pidFile` (SharedFiles::SharedFileMode()).
  static void StoreServicePID(const std::string& pidFile);
  // The positive process id stored in `pidFile`; raises "Bad logic:Get PID
  // Error" for anything else (a zero or negative id would signal a group).
  static pid_t GetServicePID(const std::string& pidFile);
  // Releases the lock on `lockFile` ("Can not open lockfile to write").
  static void UnlockFile(const std::string& lockFile);
  // Removes `pidFile` only when it holds `pid`: the LSB PID file is shared by
  // every installation and may belong to another daemon. Never raises: a
  // failure is only written to the diagnostic log.
  static void RemovePidFileIfOwnedBy(const std::string& pidFile, pid_t pid);

  // SIGQUIT/SIGTERM (and SIGINT in console mode): request a stop and restore
  // the default action, so a second such signal ends the process. Other
  // signals (SIGPIPE) are ignored.
  static void signal_handler(int sig);
  // Installs signal_handler for the stop signals and SIGPIPE; with
  // `withInterrupt` also for SIGINT (console mode).
  static void InstallSignalHandlers(bool withInterrupt);

  static std::string LockFilePath(const std::string& name);
  static std::string PidFilePath(const std::string& name);
  static std::string LsbPidFilePath();

  static std::atomic<bool> m_StopRequest;

 private:
  // `report` is the child's end of the start report (see Start); closed
  // once the service runs or after the failure was sent.
  static void RunDaemonChild(const std::string& name, int report);
  // The parent's side: waits for the report on `report` from child `child`.
  static void AwaitStartReport(const std::string& name, int report, pid_t child);
  static void CleanUp(const std::string& name);
};

extern template class Daemon<KivDispatcherServer>;
using KivDaemon = Daemon<KivDispatcherServer>;
