#pragma once
// Test helpers shared by every test folder: a private OLVAN_VORNEL_DIR per
// test, running the real programs, and waiting for a condition with a deadline.

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kivtest {

// A fresh directory under /tmp that becomes OLVAN_VORNEL_DIR and
// OLVAN_VORNEL_CFG for this process (and the programs it starts). The previous
// values are restored and the directory removed on destruction.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& Dir() const { return m_Dir; }
  // "{temp}": <dir>/temp/KIV/ (not created here).
  std::string TempDir() const { return m_Dir + "/temp/KIV/"; }
  // <dir>/cfg/KivConfigLinux.xml; WriteConfig creates the folder.
  std::string ConfigFile() const { return m_Dir + "/cfg/KivConfigLinux.xml"; }
  void WriteConfig(const std::string& xml) const;

 private:
  std::string m_Dir;
  std::string m_OldDir, m_OldCfg;
  bool m_HadDir = false, m_HadCfg = false;
};

struct RunResult {
  int exitCode = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs <bin dir>/<program> with args, feeding `input` on standard input
// (closed afterwards), and collects its output. Extra environment entries
// ("NAME=value") are added to the current environment.
RunResult Run(const std::string& program, const std::vector<std::string>& args, const std::string& input = "",
              const std::vector<std::string>& env = {});

std::string BinPath(const std::string& program);

// Polls `condition` every 10 ms until it holds or `deadline` passes.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds deadline = std::chrono::seconds(10));
// For waits on other processes' start, registration or round trips, which an
// instrumented build on a busy machine stretches well past the default.
inline constexpr std::chrono::milliseconds kProcessWaitDeadline = std::chrono::seconds(45);

// A TCP port free on every address a moment ago (taken from
// the kernel and released), so parallel or repeated runs do not collide.
uint16_t FreeLoopbackPort();
// The IPv4 socket address `address`:`port` (loopback addresses in tests).
sockaddr_in Loopback(uint16_t port, const char* address = "127.0.0.1");

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
std::vector<std::string> ListDir(const std::string& dir);  // sorted names, no "." or ".."

}  // namespace kivtest
