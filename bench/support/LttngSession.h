#pragma once
// The peer tracer's side of the benchmarks: a root session daemon
// (user-space only) started and stopped by the benchmark with its own HOME
// and LTTNG_HOME, one recording session at a time writing to a directory of
// the run, and the recorded events counted with babeltrace2.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/support/BenchProcess.h"

namespace kivbench {

// Owns one lttng-sessiond process. Refuses to start when a root session
// daemon already runs (it would be someone else's); the destructor stops the
// one it started (SIGTERM, SIGKILL after 10 s) and no other process.
class LttngDaemon {
 public:
  explicit LttngDaemon(const std::string& home);
  ~LttngDaemon();
  LttngDaemon(const LttngDaemon&) = delete;
  LttngDaemon& operator=(const LttngDaemon&) = delete;

  pid_t Pid() const { return m_Pid; }
  EnvList Env() const { return {"HOME=" + m_Home, "LTTNG_HOME=" + m_Home}; }
  // Runs "lttng <args>"; raises with its output when it fails.
  std::string Lttng(const std::vector<std::string>& args) const;

 private:
  std::string m_Home;
  pid_t m_Pid = 0;
};

// One recording session: a user-space channel with `subbufKiB` x
// `subbufCount` buffers per CPU, in discard mode or, with `blocking`, making
// writers wait for room (they need LTTNG_UST_ALLOW_BLOCKING=1), the benchmark
// event enabled, tracing to `outputDir`. Started by the constructor;
// destroyed with the object.
class LttngSession {
 public:
  LttngSession(const LttngDaemon& daemon, const std::string& name, const std::string& outputDir,
               int subbufKiB = 256, int subbufCount = 4, bool blocking = false);
  ~LttngSession();
  LttngSession(const LttngSession&) = delete;
  LttngSession& operator=(const LttngSession&) = delete;

  // Stops tracing and waits until the consumer has written everything; the
  // events the tracer reports as discarded.
  uint64_t Stop();
  const std::string& OutputDir() const { return m_OutputDir; }

 private:
  const LttngDaemon& m_Daemon;
  std::string m_Name;
  std::string m_OutputDir;
  bool m_Stopped = false;
};

// Events in the trace under `traceDir`, counted by
// babeltrace2's counter sink; -1 when babeltrace2 fails.
int64_t CountTraceEvents(const std::string& traceDir);

}  // namespace kivbench
