#include "TestSupport/Sandbox.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kivtest {

Sandbox::Sandbox() {
  char tmpl[] = "/tmp/kivtest-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  m_Dir = tmpl;
  if (const char* v = getenv("OLVAN_VORNEL_DIR")) m_HadDir = true, m_OldDir = v;
  if (const char* v = getenv("OLVAN_VORNEL_CFG")) m_HadCfg = true, m_OldCfg = v;
  setenv("OLVAN_VORNEL_DIR", m_Dir.c_str(), 1);
  setenv("OLVAN_VORNEL_CFG", m_Dir.c_str(), 1);
}

Sandbox::~Sandbox() {
  if (m_HadDir) setenv("OLVAN_VORNEL_DIR", m_OldDir.c_str(), 1);
  else unsetenv("OLVAN_VORNEL_DIR");
  if (m_HadCfg) setenv("OLVAN_VORNEL_CFG", m_OldCfg.c_str(), 1);
  else unsetenv("OLVAN_VORNEL_CFG");
  std::error_code ec;
  std::filesystem::remove_all(m_Dir, ec);
}

void Sandbox::WriteConfig(const std::string& xml) const {
  std::filesystem::create_directories(m_Dir + "/cfg");
  WriteFile(ConfigFile(), xml);
}

std::string BinPath(const std::string& program) { return std::string(KIV_BIN_DIR) + "/" + program; }

namespace {
void Drain(int fd, std::string& into) {
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) into.append(buf, static_cast<size_t>(n));
}
}  // namespace

RunResult Run(const std::string& program, const std::vector<std::string>& args, const std::string& input,
              const std::vector<std::string>& env) {
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe failed");
  std::string path = program.find('/') == std::string::npos ? BinPath(program) : program;
  std::vector<std::string> argStore{path};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
  envStore.insert(envStore.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  if (!input.empty()) {
    ssize_t ignored = write(in[1], input.data(), input.size());
    (void)ignored;
  }
  close(in[1]);
  RunResult r;
  // A daemon's child may keep the pipes open; stop reading once the direct
  // child has exited and nothing more is immediately available.
  bool exited = false;
  int status = 0;
  for (;;) {
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int n = poll(fds, 2, exited ? 0 : 50);
    if (n > 0) {
      bool any = false;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].revents & (POLLIN | POLLHUP)) {
          size_t before = (i ? r.err : r.out).size();
          Drain(fds[i].fd, i ? r.err : r.out);
          if ((i ? r.err : r.out).size() != before) any = true;
        }
      }
      if (any) continue;
      if (exited) break;
      usleep(2000);
    } else if (exited) {
      break;
    }
    if (!exited && waitpid(pid, &status, WNOHANG) == pid) exited = true;
  }
  close(out[0]);
  close(err[0]);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

sockaddr_in Loopback(uint16_t port, const char* address) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

uint16_t FreeLoopbackPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  // Free on every address: the dispatcher listens on all of them by default,
  // and earlier tests' connections from 127.0.0.2... may still hold a port
  // that is free on 127.0.0.1 alone.
  sockaddr_in a = Loopback(0, "0.0.0.0");
  socklen_t len = sizeof a;
  const bool ok = s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0;
  if (s >= 0) close(s);
  if (!ok) throw std::runtime_error("no free loopback port");
  return ntohs(a.sin_port);
}

}  // namespace kivtest
