#pragma once
// Processes for the benchmark driver: worker processes spoken to over their
// standard input and output, one-shot commands with captured output, and
// what /proc says about a running process.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kivbench {

// CLOCK_MONOTONIC in nanoseconds: one clock for every process of the host,
// so workers' start and end times compare with the driver's.
uint64_t NowNs();
void SleepMs(int milliseconds);

// "NAME=value" entries that replace or extend the current environment.
using EnvList = std::vector<std::string>;

// A child process started from `argv` (argv[0] is a path) with the current
// environment plus `env`. Its standard input and output are pipes owned by
// this object; standard error is inherited. The destructor closes the pipes
// and kills (SIGKILL) and reaps a child that is still running.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const EnvList& env);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return m_Pid; }
  // Writes `text` to the child's standard input; false when the child has gone.
  bool Send(const std::string& text);
  void CloseInput();
  // One line of the child's standard output without its line feed; false at
  // end of output or when nothing complete arrived within `timeoutMs`.
  bool ReadLine(std::string& line, int timeoutMs);
  // Reads lines until one starts with `prefix`; false as ReadLine.
  bool WaitForLine(const std::string& prefix, std::string& line, int timeoutMs);
  // Waits for the child to end: its exit code, or 128 + the signal number.
  int Wait();

 private:
  pid_t m_Pid = -1;
  int m_In = -1;
  int m_Out = -1;
  std::string m_Pending;
  bool m_Reaped = false;
  int m_Status = -1;
};

struct CommandResult {
  int exitCode = -1;   // 128 + signal when killed, -1 when it could not run
  std::string output;  // standard output and error together
};
// Runs `argv` to its end (killed after `timeoutMs`) with standard output and
// error captured. `outputFile` (when not empty) receives standard output
// instead, so large outputs do not pass through memory.
CommandResult RunCommand(const std::vector<std::string>& argv, const EnvList& env = {},
                         int timeoutMs = 120000, const std::string& outputFile = "");

// What /proc says about a process: CPU time of all its threads (including
// threads that have ended), resident memory split as the kernel reports it.
struct ProcessUsage {
  double cpuSeconds = 0;
  long rssKiB = 0;
  long rssAnonKiB = 0;
  long rssFileKiB = 0;
  long rssShmemKiB = 0;
  int threads = 0;
};
bool ReadProcessUsage(pid_t pid, ProcessUsage& usage);
// Context switches (voluntary and not) of the process's threads that still
// run, added up: how often it was woken or preempted.
uint64_t ContextSwitches(pid_t pid);
// Time on a CPU of the process's threads that still run, in seconds, to the
// nanosecond (schedstat): for processes too idle for tick-counted CPU times.
double RunSeconds(pid_t pid);
// True while /proc has an entry for `pid` (a zombie counts until reaped).
bool ProcessAlive(pid_t pid);

// Processes the driver must not leave behind when it is interrupted: on
// SIGINT, SIGTERM or SIGHUP every registered process receives its signal
// (daemons their stop signal, workers SIGKILL) before the driver ends.
void RegisterForCleanup(pid_t pid, int signal);
void UnregisterFromCleanup(pid_t pid);
void InstallCleanupOnSignals();

// "key=value" words of a result line ("RESULT a=1 b=2.5") as numbers; words
// without "=" are skipped.
std::map<std::string, double> ParseResultLine(const std::string& line);

}  // namespace kivbench
