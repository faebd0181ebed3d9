#include "bench/support/KivBenchSandbox.h"

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace kivbench {

std::string MakeTempDir(const std::string& parent, const std::string& prefix) {
  fs::create_directories(parent);
  std::string pattern = parent + "/" + prefix + "XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a directory in " + parent);
  return pattern;
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

uint64_t FileSize(const std::string& path) {
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  return ec ? 0 : size;
}

uint64_t CountLinesContaining(const std::string& path, const std::string& needle) {
  std::ifstream in(path, std::ios::binary);
  uint64_t count = 0;
  for (std::string line; std::getline(in, line);)
    if (line.find(needle) != std::string::npos) ++count;
  return count;
}

KivBenchSandbox::KivBenchSandbox(const std::string& parent, const std::string& binDir)
    : m_Dir(MakeTempDir(parent, "kiv-")), m_BinDir(binDir) {
  fs::create_directories(m_Dir + "/cfg");
  fs::create_directories(LogDir());
}

KivBenchSandbox::~KivBenchSandbox() {
  try {
    StopDispatcher();
  } catch (...) {
  }
  RemoveTree(m_Dir);
}

EnvList KivBenchSandbox::Env() const {
  return {"OLVAN_VORNEL_DIR=" + m_Dir, "OLVAN_VORNEL_CFG=" + m_Dir, "QPLXCFGPATH=", "DIAGNOSTIC_MODE=0"};
}

void KivBenchSandbox::WriteConfig(const std::string& logFormat, long fileSizeKiB, int maxBackups,
                                  int drainPriority) const {
  std::ofstream out(m_Dir + "/cfg/KivConfigLinux.xml");
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<KIVConfig trace=\"1\""
      << (drainPriority != 0 ? " drain_priority=\"" + std::to_string(drainPriority) + "\"" : std::string())
      << ">\n"
      << "  <Logfile path=\"" << LogDir() << "\" size=\"" << fileSizeKiB << "\" maxbackups=\"" << maxBackups
      << "\" preserve_size=\"" << fileSizeKiB << "\" preserve_maxbackups=\"" << maxBackups
      << "\" duplicate_to_debug_console=\"0\" log_format=\"" << logFormat << "\"/>\n"
      << "  <StatusTrace state=\"on\"/>\n"
      << "  <Network mode=\"none\"/>\n"
      << "  <Global/>\n"
      << "  <Module name=\"" << kBenchModule << "\" state=\"1\">\n"
      << "    <MLabel name=\"" << kBenchLabel << "\" state=\"1\"/>\n"
      << "  </Module>\n"
      << "  <Module name=\"" << kBenchOffModule << "\" state=\"0\">\n"
      << "    <MLabel name=\"" << kBenchLabel << "\" state=\"1\"/>\n"
      << "  </Module>\n"
      << "</KIVConfig>\n";
  if (!out) throw std::runtime_error("cannot write the configuration in " + m_Dir);
}

namespace {
pid_t ReadPid(const std::string& path) {
  std::ifstream in(path);
  long pid = 0;
  if (!(in >> pid) || pid <= 0) return 0;
  return static_cast<pid_t>(pid);
}
}  // namespace

pid_t KivBenchSandbox::StartDispatcher() {
  CommandResult r = RunCommand({m_BinDir + "/kivserver", "start"}, Env(), 20000);
  if (r.exitCode != 0) throw std::runtime_error("kivserver start failed: " + r.output);
  for (int i = 0; i < 1000; ++i) {
    pid_t pid = ReadPid(TempDir() + "KivDispatcher.pid");
    if (pid && fs::exists(TempDir() + "KivService.pid") &&
        fs::exists(TempDir() + "KivRecordSequenceNumberSeed.map")) {
      m_DispatcherPid = pid;
      RegisterForCleanup(pid, SIGQUIT);
      return pid;
    }
    SleepMs(10);
  }
  throw std::runtime_error("kivserver did not come up in " + m_Dir);
}

void KivBenchSandbox::StopDispatcher() {
  if (!m_DispatcherPid) return;
  pid_t pid = m_DispatcherPid;
  m_DispatcherPid = 0;
  UnregisterFromCleanup(pid);
  RunCommand({m_BinDir + "/kivserver", "stop"}, Env(), 20000);
  for (int i = 0; i < 1000 && ProcessAlive(pid); ++i) SleepMs(10);
  if (ProcessAlive(pid)) kill(pid, SIGKILL);
}

std::vector<std::string> KivBenchSandbox::LogFiles() const {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(LogDir(), ec))
    if (e.is_regular_file()) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

uint64_t KivBenchSandbox::LogBytes() const {
  uint64_t total = 0;
  for (const auto& f : LogFiles()) total += FileSize(f);
  return total;
}

int KivBenchSandbox::ClientRings() const {
  int n = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(TempDir(), ec))
    if (e.path().filename().string().rfind("KivTraceBuffer", 0) == 0) ++n;
  return n;
}

}  // namespace kivbench
