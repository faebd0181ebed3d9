#pragma once
// One benchmark run's private installation of the trace facility: its own
// OLVAN_VORNEL_DIR and OLVAN_VORNEL_CFG, a configuration written for the run,
// and the dispatcher started and stopped inside it. Nothing outside the
// sandbox directory is touched except the dispatcher's shared LSB PID file,
// which the dispatcher itself manages.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/support/BenchProcess.h"

namespace kivbench {

// Names the benchmark configuration defines: the module "Bench" with its
// label "Record" enabled, and the module "BenchOff" disabled.
constexpr const char* kBenchModule = "Bench";
constexpr const char* kBenchOffModule = "BenchOff";
constexpr const char* kBenchLabel = "Record";

class KivBenchSandbox {
 public:
  // Creates a fresh directory under `parent`. `binDir` holds kivserver and kivtool.
  KivBenchSandbox(const std::string& parent, const std::string& binDir);
  // Stops a dispatcher still running and removes the directory.
  ~KivBenchSandbox();
  KivBenchSandbox(const KivBenchSandbox&) = delete;
  KivBenchSandbox& operator=(const KivBenchSandbox&) = delete;

  const std::string& Dir() const { return m_Dir; }
  std::string LogDir() const { return m_Dir + "/log"; }
  std::string TempDir() const { return m_Dir + "/temp/KIV/"; }
  // Environment entries that put a process into this sandbox.
  EnvList Env() const;

  // Writes cfg/KivConfigLinux.xml: `logFormat` "binary" or "text", log files
  // of `fileSizeKiB` kilobytes, `maxBackups` of them kept, the drains at
  // real-time `drainPriority` unless it is 0.
  void WriteConfig(const std::string& logFormat, long fileSizeKiB = 512000, int maxBackups = 20,
                   int drainPriority = 0) const;

  // Starts the dispatcher daemon and waits (up to 10 s) until it publishes
  // its presence; returns its process id, or raises.
  pid_t StartDispatcher();
  // Stops the dispatcher started here and waits for it to end (killed after 10 s).
  void StopDispatcher();
  pid_t DispatcherPid() const { return m_DispatcherPid; }

  // Sizes of the log files in the log directory, added up.
  uint64_t LogBytes() const;
  std::vector<std::string> LogFiles() const;  // full paths, sorted
  // Trace rings of registered clients present in {temp}.
  int ClientRings() const;

 private:
  std::string m_Dir;
  std::string m_BinDir;
  pid_t m_DispatcherPid = 0;
};

// Removes a directory tree; errors are ignored.
void RemoveTree(const std::string& path);
// A new directory "<parent>/<prefix>XXXXXX".
std::string MakeTempDir(const std::string& parent, const std::string& prefix);
// Lines of a text file that contain `needle` (the file is read in pieces).
uint64_t CountLinesContaining(const std::string& path, const std::string& needle);
uint64_t FileSize(const std::string& path);

}  // namespace kivbench
