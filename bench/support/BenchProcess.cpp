#include "bench/support/BenchProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace kivbench {

uint64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void SleepMs(int milliseconds) {
  timespec ts{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

namespace {

// The current environment with `env` entries replacing those of the same name.
std::vector<std::string> MergedEnvironment(const EnvList& env) {
  std::vector<std::string> merged;
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& extra : env) replaced = replaced || nameOf(extra) == nameOf(entry);
    if (!replaced) merged.push_back(entry);
  }
  merged.insert(merged.end(), env.begin(), env.end());
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (auto& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

// Runs in the forked child: exec or report and exit 127.
[[noreturn]] void Exec(std::vector<std::string> argv, const EnvList& env) {
  signal(SIGPIPE, SIG_DFL);  // the driver ignores it; its children should not
  std::vector<std::string> environment = MergedEnvironment(env);
  auto args = Pointers(argv);
  auto envp = Pointers(environment);
  execve(args[0], args.data(), envp.data());
  std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
  _exit(127);
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void MakePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const EnvList& env) {
  int in[2], out[2];
  MakePipe(in);
  MakePipe(out);
  m_Pid = fork();
  if (m_Pid < 0) throw std::runtime_error("fork failed");
  if (m_Pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    Exec(argv, env);
  }
  RegisterForCleanup(m_Pid, SIGKILL);
  close(in[0]);
  close(out[1]);
  m_In = in[1];
  m_Out = out[0];
}

ChildProcess::~ChildProcess() {
  CloseInput();
  if (m_Out >= 0) close(m_Out);
  if (!m_Reaped && m_Pid > 0) {
    kill(m_Pid, SIGKILL);
    Wait();
  }
}

bool ChildProcess::Send(const std::string& text) {
  if (m_In < 0) return false;
  // A worker that has ended must not kill the driver with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(m_In, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void ChildProcess::CloseInput() {
  if (m_In >= 0) close(m_In);
  m_In = -1;
}

bool ChildProcess::ReadLine(std::string& line, int timeoutMs) {
  uint64_t deadline = NowNs() + static_cast<uint64_t>(timeoutMs) * 1000000ull;
  for (;;) {
    size_t eol = m_Pending.find('\n');
    if (eol != std::string::npos) {
      line = m_Pending.substr(0, eol);
      m_Pending.erase(0, eol + 1);
      return true;
    }
    if (m_Out < 0) return false;
    uint64_t now = NowNs();
    if (now >= deadline) return false;
    pollfd p{m_Out, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>((deadline - now) / 1000000ull) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[4096];
    ssize_t n = read(m_Out, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(m_Out);
      m_Out = -1;
      continue;
    }
    m_Pending.append(buffer, static_cast<size_t>(n));
  }
}

bool ChildProcess::WaitForLine(const std::string& prefix, std::string& line, int timeoutMs) {
  uint64_t deadline = NowNs() + static_cast<uint64_t>(timeoutMs) * 1000000ull;
  for (;;) {
    uint64_t now = NowNs();
    if (now >= deadline) return false;
    if (!ReadLine(line, static_cast<int>((deadline - now) / 1000000ull) + 1)) return false;
    if (line.rfind(prefix, 0) == 0) return true;
  }
}

int ChildProcess::Wait() {
  if (!m_Reaped) {
    int status = 0;
    while (waitpid(m_Pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_Status = DecodeStatus(status);
    m_Reaped = true;
    UnregisterFromCleanup(m_Pid);
  }
  return m_Status;
}

CommandResult RunCommand(const std::vector<std::string>& argv, const EnvList& env, int timeoutMs,
                         const std::string& outputFile) {
  CommandResult result;
  int out[2];
  MakePipe(out);
  int file = -1;
  if (!outputFile.empty()) {
    file = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) throw std::runtime_error("cannot create " + outputFile);
  }
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(file >= 0 ? file : out[1], 1);
    dup2(out[1], 2);
    Exec(argv, env);
  }
  close(out[1]);
  if (file >= 0) close(file);
  uint64_t deadline = NowNs() + static_cast<uint64_t>(timeoutMs) * 1000000ull;
  bool killed = false;
  for (;;) {
    uint64_t now = NowNs();
    if (now >= deadline && !killed) {
      kill(pid, SIGKILL);
      killed = true;
    }
    pollfd p{out[0], POLLIN, 0};
    int ready = poll(&p, 1, killed ? 1000 : static_cast<int>((deadline - now) / 1000000ull) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      if (killed) break;
      continue;
    }
    char buffer[8192];
    ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = DecodeStatus(status);
  return result;
}

bool ProcessAlive(pid_t pid) {
  return pid > 0 && access(("/proc/" + std::to_string(pid)).c_str(), F_OK) == 0;
}

uint64_t ContextSwitches(pid_t pid) {
  uint64_t total = 0;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);)
      for (const char* key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"})
        if (line.rfind(key, 0) == 0) total += std::strtoull(line.c_str() + std::strlen(key), nullptr, 10);
  }
  return total;
}

double RunSeconds(pid_t pid) {
  uint64_t ns = 0;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream schedstat(task.path() / "schedstat");
    uint64_t onCpu = 0;
    if (schedstat >> onCpu) ns += onCpu;
  }
  return static_cast<double>(ns) / 1e9;
}

bool ReadProcessUsage(pid_t pid, ProcessUsage& usage) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  // The command name may hold blanks and parentheses: fields start after the last ')'.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(text.substr(close + 2));
  std::vector<std::string> f;
  for (std::string w; fields >> w;) f.push_back(w);
  if (f.size() < 13) return false;
  // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
  double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  usage.cpuSeconds = (std::stod(f[11]) + std::stod(f[12])) / ticks;

  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    auto value = [&](const char* key, long& out) {
      size_t n = std::strlen(key);
      if (line.compare(0, n, key) == 0) out = std::strtol(line.c_str() + n, nullptr, 10);
    };
    long threads = usage.threads;
    value("VmRSS:", usage.rssKiB);
    value("RssAnon:", usage.rssAnonKiB);
    value("RssFile:", usage.rssFileKiB);
    value("RssShmem:", usage.rssShmemKiB);
    value("Threads:", threads);
    usage.threads = static_cast<int>(threads);
  }
  return true;
}

namespace {
// Read by a signal handler: fixed slots of lock-free atomics.
constexpr int kCleanupSlots = 2048;  // the idle scaling step starts 1,000 clients
std::atomic<pid_t> s_CleanupPid[kCleanupSlots];
std::atomic<int> s_CleanupSignal[kCleanupSlots];

void CleanupHandler(int sig) {
  for (int i = 0; i < kCleanupSlots; ++i) {
    pid_t pid = s_CleanupPid[i].load();
    if (pid > 0) kill(pid, s_CleanupSignal[i].load());
  }
  signal(sig, SIG_DFL);
  raise(sig);
}
}  // namespace

void RegisterForCleanup(pid_t pid, int sig) {
  for (int i = 0; i < kCleanupSlots; ++i) {
    pid_t empty = 0;
    if (s_CleanupPid[i].compare_exchange_strong(empty, pid)) {
      s_CleanupSignal[i].store(sig);  // until then the handler sends signal 0, which does nothing
      return;
    }
  }
}

void UnregisterFromCleanup(pid_t pid) {
  for (int i = 0; i < kCleanupSlots; ++i) {
    pid_t expected = pid;
    if (s_CleanupPid[i].compare_exchange_strong(expected, 0)) return;
  }
}

void InstallCleanupOnSignals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, CleanupHandler);
}

std::map<std::string, double> ParseResultLine(const std::string& line) {
  std::map<std::string, double> values;
  std::istringstream words(line);
  for (std::string w; words >> w;) {
    size_t eq = w.find('=');
    if (eq == std::string::npos) continue;
    values[w.substr(0, eq)] = std::strtod(w.c_str() + eq + 1, nullptr);
  }
  return values;
}

}  // namespace kivbench
