#include "TestSupport/RsyslogServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "TestSupport/Sandbox.h"

extern char** environ;

namespace kivtest {
namespace {

bool Accepts(uint16_t port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(port);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

bool Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

std::string SyslogReceived::Param(const std::string& name) const {
  size_t at = sd.find(" " + name + "=\"");
  if (at == std::string::npos) return "<none>";
  std::string value;
  for (size_t i = at + name.size() + 3; i < sd.size() && sd[i] != '"'; ++i) {
    if (sd[i] == '\\' && i + 1 < sd.size()) ++i;
    value += sd[i];
  }
  return value;
}

RsyslogServer::RsyslogServer(std::string dir) : m_Dir(std::move(dir)) {
  std::filesystem::create_directories(m_Dir + "/work");
  m_Port = FreeLoopbackPort();
  m_TlsPort = FreeLoopbackPort();
  const std::string d = m_Dir + "/";
  WriteFile(d + "ext.cnf", "subjectAltName=IP:127.0.0.1\n");
  m_CertsMade = Shell("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + d + "ca.key -out " + d +
                      "ca.pem -days 2 -subj '/CN=kiv test CA'") &&
                Shell("openssl req -newkey rsa:2048 -nodes -keyout " + d + "server.key -out " + d +
                      "server.csr -subj '/CN=127.0.0.1'") &&
                Shell("openssl x509 -req -in " + d + "server.csr -CA " + d + "ca.pem -CAkey " + d +
                      "ca.key -CAcreateserial -out " + d + "server.pem -days 2 -extfile " + d + "ext.cnf");
  WriteFile(d + "rsyslog.conf",
            "global(workDirectory=\"" + d + "work\" DefaultNetstreamDriverCAFile=\"" + d +
                "ca.pem\" DefaultNetstreamDriverCertFile=\"" + d +
                "server.pem\" DefaultNetstreamDriverKeyFile=\"" + d + "server.key\")\n" +
                "module(load=\"imtcp\" maxSessions=\"50\")\n" +
                "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" + std::to_string(m_Port) + "\")\n" +
                "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" + std::to_string(m_TlsPort) +
                "\" streamDriver.name=\"ossl\" streamDriver.mode=\"1\" streamDriver.authMode=\"anon\")\n" +
                R"(template(name="kiv" type="list") {
  property(name="hostname") constant(value="|") property(name="app-name") constant(value="|")
  property(name="procid") constant(value="|") property(name="msgid") constant(value="|")
  property(name="pri") constant(value="|") property(name="structured-data") constant(value="|")
  property(name="msg") constant(value="\n")
}
action(type="omfile" file=")" +
                d + R"(received.log" template="kiv")
)");
}

RsyslogServer::~RsyslogServer() { Stop(); }

bool RsyslogServer::Available() { return access(kProgram, X_OK) == 0; }

bool RsyslogServer::Start() {
  const std::string conf = m_Dir + "/rsyslog.conf", pid = m_Dir + "/rsyslogd.pid";
  std::vector<std::string> args = {kProgram, "-n", "-f", conf, "-i", pid};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Its complaints (a client that hangs up mid-handshake, ...) go to a file
  // of its own rather than into the test's output.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string output = m_Dir + "/rsyslogd.out";
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  int rc = posix_spawn(&m_Pid, kProgram, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    m_Pid = -1;
    return false;
  }
  return WaitFor([&] { return Accepts(m_Port); });
}

void RsyslogServer::Stop() {
  if (m_Pid <= 0) return;
  kill(m_Pid, SIGTERM);
  int status = 0;
  waitpid(m_Pid, &status, 0);
  m_Pid = -1;
}

std::vector<SyslogReceived> RsyslogServer::Messages() const {
  std::vector<SyslogReceived> out;
  std::istringstream lines(ReadFile(m_Dir + "/received.log"));
  std::string line;
  while (std::getline(lines, line)) {
    SyslogReceived r;
    std::string* fields[] = {&r.host, &r.app, &r.procid, &r.msgid, &r.pri};
    size_t at = 0;
    for (std::string* field : fields) {
      size_t bar = line.find('|', at);
      if (bar == std::string::npos) break;
      *field = line.substr(at, bar - at);
      at = bar + 1;
    }
    // The structured data ends at the first unescaped "]|".
    size_t end = at;
    for (; end + 1 < line.size(); ++end) {
      if (line[end] == '\\') {
        ++end;
        continue;
      }
      if (line[end] == ']' && line[end + 1] == '|') break;
    }
    r.sd = line.substr(at, end + 1 - at);
    r.msg = end + 2 <= line.size() ? line.substr(end + 2) : "";
    out.push_back(r);
  }
  return out;
}

size_t RsyslogServer::LineCount() const {
  std::string all = ReadFile(m_Dir + "/received.log");
  return static_cast<size_t>(std::count(all.begin(), all.end(), '\n'));
}

bool RsyslogServer::WaitForCount(size_t count, std::chrono::seconds deadline) const {
  return WaitFor([&] { return LineCount() >= count; }, deadline);
}

}  // namespace kivtest
