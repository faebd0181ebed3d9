#pragma once
// Runs a piece of a test in a forked child process and returns its exit
// status (128 + signal when it was killed), for behaviour that only shows
// across processes: record locks, per-process cached settings, signals.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

namespace kivtest {

inline pid_t StartChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    int rc = 99;
    try {
      rc = body();
    } catch (...) {
      rc = 98;
    }
    _exit(rc);
  }
  return pid;
}

inline int WaitChild(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Kills and reaps a started child when the scope is left before the test
// waited for it (a failed ASSERT returns early): a child left running keeps
// the runner's output pipe open and goes on using the test's files.
class ChildGuard {
 public:
  explicit ChildGuard(pid_t pid) : m_Pid(pid) {}
  ~ChildGuard() {
    if (m_Pid <= 0) return;
    kill(m_Pid, SIGKILL);
    waitpid(m_Pid, nullptr, 0);
  }
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;

  // WaitChild(pid) for the guarded child; the guard then has nothing to do.
  int Wait() {
    const int status = WaitChild(m_Pid);
    m_Pid = -1;
    return status;
  }

 private:
  pid_t m_Pid;
};

inline int RunInChild(const std::function<int()>& body) { return WaitChild(StartChild(body)); }

}  // namespace kivtest
