#include "bench/support/LttngSession.h"

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>

namespace kivbench {

namespace {
constexpr const char* kRootPidFile = "/var/run/lttng/lttng-sessiond.pid";

pid_t LiveDaemonPid() {
  std::ifstream in(kRootPidFile);
  long pid = 0;
  if (!(in >> pid) || pid <= 0) return 0;
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  return (comm >> name) && name.rfind("lttng-sessiond", 0) == 0 ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

LttngDaemon::LttngDaemon(const std::string& home) : m_Home(home) {
  std::filesystem::create_directories(m_Home);
  if (pid_t other = LiveDaemonPid())
    throw std::runtime_error("a root lttng-sessiond already runs (pid " + std::to_string(other) +
                             "); the benchmark starts its own");
  CommandResult r = RunCommand({"/usr/bin/lttng-sessiond", "--no-kernel", "--daemonize"}, Env(), 30000);
  if (r.exitCode != 0) throw std::runtime_error("lttng-sessiond failed: " + r.output);
  for (int i = 0; i < 500 && !m_Pid; ++i) {
    m_Pid = LiveDaemonPid();
    if (!m_Pid) SleepMs(10);
  }
  if (!m_Pid) throw std::runtime_error("lttng-sessiond did not come up");
  RegisterForCleanup(m_Pid, SIGTERM);
}

LttngDaemon::~LttngDaemon() {
  if (!m_Pid) return;
  UnregisterFromCleanup(m_Pid);
  kill(m_Pid, SIGTERM);
  for (int i = 0; i < 1000 && ProcessAlive(m_Pid); ++i) SleepMs(10);
  if (ProcessAlive(m_Pid)) kill(m_Pid, SIGKILL);
}

std::string LttngDaemon::Lttng(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{"/usr/bin/lttng"};
  argv.insert(argv.end(), args.begin(), args.end());
  CommandResult r = RunCommand(argv, Env(), 120000);
  if (r.exitCode != 0) throw std::runtime_error("lttng " + args.front() + " failed: " + r.output);
  return r.output;
}

LttngSession::LttngSession(const LttngDaemon& daemon, const std::string& name, const std::string& outputDir,
                           int subbufKiB, int subbufCount, bool blocking)
    : m_Daemon(daemon), m_Name(name), m_OutputDir(outputDir) {
  m_Daemon.Lttng({"create", m_Name, "--output=" + m_OutputDir});
  try {
    std::vector<std::string> channel{"enable-channel",
                                     "--userspace",
                                     "--session=" + m_Name,
                                     "--discard",
                                     "--subbuf-size=" + std::to_string(subbufKiB) + "K",
                                     "--num-subbuf=" + std::to_string(subbufCount)};
    if (blocking) channel.push_back("--blocking-timeout=inf");
    channel.push_back("benchchannel");
    m_Daemon.Lttng(channel);
    m_Daemon.Lttng(
        {"enable-event", "--userspace", "--session=" + m_Name, "--channel=benchchannel", "kivbench:record"});
    m_Daemon.Lttng({"start", m_Name});
  } catch (...) {
    try {
      m_Daemon.Lttng({"destroy", m_Name});
    } catch (...) {
    }
    throw;
  }
}

LttngSession::~LttngSession() {
  try {
    m_Daemon.Lttng({"destroy", m_Name});
  } catch (...) {
  }
}

uint64_t LttngSession::Stop() {
  m_Stopped = true;
  std::string out = m_Daemon.Lttng({"stop", m_Name});
  std::smatch m;
  static const std::regex discarded("([0-9]+) events? (were|was) discarded");
  return std::regex_search(out, m, discarded) ? std::stoull(m[1]) : 0;
}

int64_t CountTraceEvents(const std::string& traceDir) {
  CommandResult r = RunCommand(
      {"/usr/bin/babeltrace2", traceDir, "--component=sink.utils.counter", "--params=step=+0"}, {}, 600000);
  if (r.exitCode != 0) return -1;
  // The counter prints running totals; the last "<n> Event messages" is the end.
  static const std::regex events("([0-9]+) Event messages");
  int64_t count = -1;
  for (std::sregex_iterator it(r.output.begin(), r.output.end(), events), end; it != end; ++it)
    count = std::stoll((*it)[1]);
  return count;
}

}  // namespace kivbench
