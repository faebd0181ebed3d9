#pragma once
// Shared pieces of the trace output tests: a sandboxed configuration with a
// log directory, reading log files and status values back, and raw TCP peers
// that play either end of the dispatcher stream.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KivConfigFileReader/ConfigServer.h"
#include "KivService/StatusReport.h"
#include "MultiFileStream/KivFileOutputSupport.h"
#include "TestSupport/Sandbox.h"
#include "TraceData/TraceDataTestUtil.h"

namespace outputtest {

using tracetest::Bytes;

// A block with `count` records whose texts name `tag` and their number.
inline Bytes MakeBlock(const std::string& tag, int count = 2, uint32_t pid = 4711) {
  std::vector<Bytes> records;
  for (int i = 0; i < count; ++i)
    records.push_back(
        tracetest::TextRecord(static_cast<uint32_t>(i + 1), tag + " record " + std::to_string(i)));
  return tracetest::Block(records, pid);
}

inline std::string AsText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Settings with tracing on and the log directory as the reader delivers it
// (ending in a backslash).
inline void UseLogDirectory(KivServerConfig& config, const std::string& dir) {
  config.m_TraceEnabled = true;
  config.m_LogDirectory = dir + "\\";
  config.m_LogFormat = "binary";
  config.m_MaxBackups = 50;
  config.m_MaxFileSize = 10 << 20;
  config.m_PreserveMaxBackups = 50;
  config.m_PreserveMaxFileSize = 10 << 20;
}

// Full paths of the files in `dir` whose names begin with `prefix`, oldest
// first (names carry their creation time in fixed width).
inline std::vector<std::string> FilesWithPrefix(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> found;
  for (const auto& name : kivtest::ListDir(dir))
    if (name.rfind(prefix, 0) == 0) found.push_back(dir + "/" + name);
  return found;
}

// The data of a binary log file after its 256-byte header; "<bad header>"
// when the file does not begin with the binary header (a file that another
// thread is just creating may not have it yet, so this does not fail a test
// by itself and can be polled).
inline std::string BinaryData(const std::string& path) {
  std::string all = kivtest::ReadFile(path);
  const std::string& header = KivBinaryFileOutputSupport::GetHeader();
  if (all.compare(0, header.size(), header) != 0) return "<bad header>";
  return all.substr(header.size());
}

// All data of the binary files with `prefix` in `dir`, in file order.
inline std::string AllBinaryData(const std::string& dir, const std::string& prefix) {
  std::string all;
  for (const auto& file : FilesWithPrefix(dir, prefix)) all += BinaryData(file);
  return all;
}

// The value of a status entry as the status file shows it; "<absent>" when
// no entry has that key. With several entries of one key, the last.
inline std::string StatusValue(const StatusReport::Collector& collector, const std::string& key) {
  std::ostringstream report;
  collector.ReportAllStatus(report);
  std::istringstream lines(report.str());
  std::string line, value = "<absent>";
  while (std::getline(lines, line)) {
    if (line.rfind(key + "(", 0) != 0) continue;
    size_t colon = line.find("):");
    if (colon != std::string::npos) value = line.substr(colon + 2);
  }
  return value;
}

inline int CountStatus(const StatusReport::Collector& collector, const std::string& key) {
  std::ostringstream report;
  collector.ReportAllStatus(report);
  std::istringstream lines(report.str());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) count += line.rfind(key + "(", 0) == 0;
  return count;
}

// The wire message of one block: 4-byte little-endian length, then the block.
inline std::string Message(const Bytes& block) {
  std::string out(4, '\0');
  uint32_t n = static_cast<uint32_t>(block.size());
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return out + AsText(block);
}

inline sockaddr_in Loopback(const char* address, uint16_t port) { return kivtest::Loopback(port, address); }

inline uint16_t FreePort() { return kivtest::FreeLoopbackPort(); }

// A raw sending peer: connects from `source` to 127.0.0.1:port.
class RawPeer {
 public:
  RawPeer(uint16_t port, const char* source = "127.0.0.1") {
    m_Socket = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from = Loopback(source, 0);
    EXPECT_EQ(bind(m_Socket, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    sockaddr_in to = Loopback("127.0.0.1", port);
    m_Connected = connect(m_Socket, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  }
  ~RawPeer() { Close(); }
  bool Connected() const { return m_Connected; }
  int Descriptor() const { return m_Socket; }
  // False once the server has ended the connection (a send then fails).
  bool Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = send(m_Socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // True when the server has closed its end: a read sees the end (or a reset).
  bool ClosedByServer() {
    pollfd p{m_Socket, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    char c;
    ssize_t n = recv(m_Socket, &c, 1, MSG_DONTWAIT);
    return n <= 0;
  }
  void Close() {
    if (m_Socket >= 0) close(m_Socket);
    m_Socket = -1;
  }

 private:
  int m_Socket = -1;
  bool m_Connected = false;
};

// A raw receiving end: listens on 127.0.0.1:port (0 picks one) and keeps
// every byte of every accepted connection, per connection.
class RawListener {
 public:
  explicit RawListener(uint16_t port = 0) {
    m_Listen = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(m_Listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = Loopback("127.0.0.1", port);
    m_Bound = bind(m_Listen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(m_Listen, 8) == 0;
    socklen_t len = sizeof a;
    getsockname(m_Listen, reinterpret_cast<sockaddr*>(&a), &len);
    m_Port = ntohs(a.sin_port);
    m_Thread = std::thread([this] { Run(); });
  }
  ~RawListener() {
    m_Stop = true;
    m_Thread.join();
    for (int s : m_Sockets) close(s);
    close(m_Listen);
  }
  bool Bound() const { return m_Bound; }
  uint16_t Port() const { return m_Port; }
  std::string Received(size_t connection = 0) {
    std::lock_guard<std::mutex> guard(m_Lock);
    return connection < m_Data.size() ? m_Data[connection] : std::string();
  }
  size_t Connections() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Data.size();
  }
  // Closes every accepted connection (the listening socket stays).
  void DropConnections() {
    std::lock_guard<std::mutex> guard(m_Lock);
    for (int& s : m_Sockets) {
      if (s >= 0) close(s);
      s = -1;
    }
  }

 private:
  void Run() {
    while (!m_Stop) {
      std::vector<pollfd> fds{{m_Listen, POLLIN, 0}};
      {
        std::lock_guard<std::mutex> guard(m_Lock);
        for (int s : m_Sockets) fds.push_back({s, static_cast<short>(s >= 0 ? POLLIN : 0), 0});
      }
      if (poll(fds.data(), fds.size(), 10) <= 0) continue;
      std::lock_guard<std::mutex> guard(m_Lock);
      if (fds[0].revents & POLLIN) {
        int s = accept(m_Listen, nullptr, nullptr);
        if (s >= 0) {
          m_Sockets.push_back(s);
          m_Data.emplace_back();
        }
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)) || m_Sockets[i - 1] < 0) continue;
        char buffer[65536];
        ssize_t n = recv(m_Sockets[i - 1], buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
          m_Data[i - 1].append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          close(m_Sockets[i - 1]);  // the sender closed: stop polling it
          m_Sockets[i - 1] = -1;
        }
      }
    }
  }

  int m_Listen = -1;
  bool m_Bound = false;
  uint16_t m_Port = 0;
  std::atomic<bool> m_Stop{false};
  std::mutex m_Lock;
  std::vector<int> m_Sockets;       // guarded by m_Lock; -1 once dropped
  std::vector<std::string> m_Data;  // guarded by m_Lock; per connection
  std::thread m_Thread;
};

}  // namespace outputtest
