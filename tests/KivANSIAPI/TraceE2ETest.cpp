// Trace records from real client processes through the real kivserver:
// every record exactly once in the log with its module, label, client,
// thread and text; binary and text logs; two dispatchers over loopback; a
// dispatcher killed and started again; a client killed mid-stream.
//
// Client processes are forked from this test process (which itself never
// calls the API) and use the C API; they report through shared memory.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KivANSIAPI/KivANSIAPI.h"
#include "KivANSIAPI/KivClientProcess.h"
#include "KivANSIAPI/TraceRingReading.h"
#include "KivService/KivServerLogReader.h"
#include "MultiFileStream/KivFileOutputSupport.h"
#include "ServiceMonitor/WatchServiceStartUsingPIDFile.h"
#include "ServiceMonitor/WatchServiceStopUsingPID.h"
#include "Support/TestFork.h"
#include "TestSupport/Sandbox.h"

namespace {

constexpr int kProcesses = 4, kThreads = 4, kPerThread = 20000;

// The fields every record i of a thread carries.
struct Expected {
  std::string module, label, client;  // client empty: none
};
Expected ExpectedFor(uint32_t i) {
  Expected e{"Mod" + std::to_string(i % 2), "Lab" + std::to_string(i % 3), ""};
  if (i % 4 != 3) e.client = "Cli" + std::to_string(1 + i % 2);
  return e;
}
uint32_t ClientNumberFor(uint32_t i) { return i % 4 == 3 ? KIV_NO_CLIENT : 1 + i % 2; }

std::string Config(const std::string& format, const std::string& network = "<Network mode=\"none\"/>") {
  return R"(<?xml version="1.0"?>
<KIVConfig trace="1">
  <Logfile path="$(OLVAN_VORNEL_DIR)/log" size="65536" maxbackups="50" preserve_size="65536"
           preserve_maxbackups="50" log_format=")" +
         format + R"("/>
  <StatusTrace state="on"/>
  )" + network +
         R"(
  <Global>
    <GLabel name="Lab0" state="1"/><GLabel name="Lab1" state="1"/><GLabel name="Lab2" state="1"/>
    <GClient name="Cli1" state="1"/><GClient name="Cli2" state="1"/>
  </Global>
  <Module name="Mod0" state="1"/><Module name="Mod1" state="1"/>
</KIVConfig>
)";
}

// What a client process shares with the test.
struct Shared {
  static constexpr uint32_t kMaxRecords = 1 << 20;
  std::atomic<bool> stop;
  std::atomic<uint32_t> connections;       // times the process was seen connected after not being so
  std::atomic<uint32_t> firstAfterLatest;  // first record index traced in the latest connection
  std::atomic<uint32_t> next;              // records traced so far (streaming client)
  std::atomic<uint8_t> written[kMaxRecords];
};
Shared* MapShared() {
  void* p = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : new (p) Shared();
}

struct Handles {
  int modules[2];
  int labels[3];
};
Handles MakeHandles() {
  Handles h{};
  for (int m = 0; m < 2; ++m) {
    KivGetModuleHandle(("Mod" + std::to_string(m)).c_str(), &h.modules[m]);
    KivRegisterClient(h.modules[m], 1, "Cli1");
    KivRegisterClient(h.modules[m], 2, "Cli2");
  }
  for (int l = 0; l < 3; ++l) KivGetLabelHandle(("Lab" + std::to_string(l)).c_str(), &h.labels[l]);
  return h;
}
int Trace(const Handles& h, uint32_t i, const char* format, int p, int t) {
  return KivTrace(h.modules[i % 2], ClientNumberFor(i), h.labels[i % 3], format, p, t, i);
}
// Un-registers as a process does at exit (the child ends with _exit).
int Leave(int rc) {
  KivClientProcess::Proxy().Close();
  return rc;
}

// Client process `p`: kThreads threads of `perThread` records each, every
// one written (a full ring is waited out). 0 on success.
int TracingClient(int p, int perThread) {
  const Handles h = MakeHandles();
  if (!kivtest::WaitFor([] { return KivTraceConnected() == 1; }, std::chrono::seconds(15))) return Leave(3);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (uint32_t i = 0; i < static_cast<uint32_t>(perThread); ++i) {
        int tries = 0;
        while (!Trace(h, i, "p%d/t%d/r%u", p, t)) {
          if (++tries > 20000) {
            failures.fetch_add(1);
            return;
          }
          usleep(500);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  return Leave(failures.load() == 0 ? 0 : 4);
}

// One thread tracing until told to stop, paced, noting which records it
// wrote and when it (re)connected.
int StreamingClient(Shared* s) {
  const Handles h = MakeHandles();
  bool connected = false;
  for (uint32_t i = 0; !s->stop.load() && i < Shared::kMaxRecords; ++i) {
    const bool now = KivTraceConnected() == 1;
    if (now && !connected) {
      s->firstAfterLatest.store(i);
      s->connections.fetch_add(1);
    }
    connected = now;
    if (Trace(h, i, "p%d/t%d/r%u", 0, 0)) s->written[i].store(1);
    s->next.store(i + 1);
    if (i % 20 == 0) usleep(1000);
  }
  return Leave(0);
}

// A record as the log shows it.
struct Logged {
  uint32_t pid = 0, tid = 0;
  std::string module, label, client, text;
};

// Records of the binary log files in `dir`; counts blocks whose sequence
// numbers do not ascend.
std::vector<Logged> ReadBinaryLogs(const std::string& dir, size_t& unorderedBlocks,
                                   std::vector<kivtest::ReadRecord>* controls = nullptr) {
  std::vector<Logged> out;
  kivtest::ForEachLogBlock(kivtest::LogFiles(dir, "kivlog-"), [&](size_t, const TraceBlockHeader& header,
                                                                  const uint8_t* data, uint32_t length) {
    const std::vector<uint8_t> body(data, data + length);
    const auto records = kivtest::ParseRecords(body);
    for (size_t k = 1; k < records.size(); ++k) {
      if (records[k].sequence <= records[k - 1].sequence) {
        ++unorderedBlocks;
        break;
      }
    }
    for (const auto& r : records) {
      if (r.control != 0) {
        if (controls) controls->push_back(r);
        continue;
      }
      out.push_back(Logged{header.m_ProcessId, r.threadId.value_or(0), r.module.value_or(""),
                           r.label.value_or(""), r.client.value_or(""), r.text.value_or("")});
    }
  });
  return out;
}

// Records of text lines (text log files or an export): date, time, pid,
// thread, module, label, [client,] message. Only lines of our records.
std::vector<Logged> ReadTextLines(const std::string& text) {
  std::vector<Logged> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream in(line);
    std::vector<std::string> tokens;
    for (std::string token; in >> token;) tokens.push_back(token);
    if ((tokens.size() != 7 && tokens.size() != 8) || tokens.back().rfind("p", 0) != 0) continue;
    Logged l;
    l.pid = static_cast<uint32_t>(std::stoul(tokens[2]));
    l.tid = static_cast<uint32_t>(std::stoul(tokens[3]));
    l.module = tokens[4];
    l.label = tokens[5];
    if (tokens.size() == 8) l.client = tokens[6];
    l.text = tokens.back();
    out.push_back(l);
  }
  return out;
}
std::string ReadTextLogs(const std::string& dir) {
  std::string all;
  for (const auto& name : kivtest::ListDir(dir))
    if (name.rfind("kivlog-", 0) == 0) all += kivtest::ReadFile(dir + name);
  return all;
}

// Every record of every client process exactly once, with its fields.
void ExpectEveryRecordOnce(const std::vector<Logged>& logged, const std::vector<pid_t>& pids, int perThread) {
  std::set<std::string> seen;
  std::map<std::string, uint32_t> tidOf;  // "p/t" -> thread id
  int wrong = 0, duplicates = 0;
  for (const auto& l : logged) {
    int p = -1, t = -1;
    unsigned i = 0;
    if (std::sscanf(l.text.c_str(), "p%d/t%d/r%u", &p, &t, &i) != 3 || p < 0 ||
        p >= static_cast<int>(pids.size())) {
      ++wrong;
      continue;
    }
    if (!seen.insert(l.text).second) ++duplicates;
    const Expected e = ExpectedFor(i);
    const std::string key = std::to_string(p) + "/" + std::to_string(t);
    auto [it, fresh] = tidOf.emplace(key, l.tid);
    if (l.module != e.module || l.label != e.label || l.client != e.client ||
        l.pid != static_cast<uint32_t>(pids[p]) || it->second != l.tid || l.tid == 0) {
      if (++wrong <= 5)
        ADD_FAILURE() << "record " << l.text << ": " << l.pid << " " << l.tid << " " << l.module << " "
                      << l.label << " '" << l.client << "'";
    }
    (void)fresh;
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(duplicates, 0);
  EXPECT_EQ(seen.size(), pids.size() * kThreads * static_cast<size_t>(perThread));
  // Threads of one process have distinct ids.
  for (size_t p = 0; p < pids.size(); ++p) {
    std::set<uint32_t> ids;
    for (int t = 0; t < kThreads; ++t) ids.insert(tidOf[std::to_string(p) + "/" + std::to_string(t)]);
    EXPECT_EQ(ids.size(), size_t{kThreads});
  }
}

class TraceE2E : public ::testing::Test {
 protected:
  kivtest::Sandbox sandbox;
  std::string logDir = sandbox.Dir() + "/log/";
  std::vector<uint32_t> daemons;

  void TearDown() override {
    for (uint32_t d : daemons) {
      if (WatchServiceStopUsingPID::IsProcessRunning(d)) kill(static_cast<pid_t>(d), SIGKILL);
    }
  }

  // Starts kivserver with OLVAN_VORNEL_DIR and OLVAN_VORNEL_CFG = `dir`.
  uint32_t Start(const std::string& dir, const std::string& xml) {
    setenv("OLVAN_VORNEL_DIR", dir.c_str(), 1);
    setenv("OLVAN_VORNEL_CFG", dir.c_str(), 1);
    std::filesystem::create_directories(dir + "/cfg");
    std::filesystem::create_directories(dir + "/log");
    kivtest::WriteFile(dir + "/cfg/KivConfigLinux.xml", xml);
    auto r = kivtest::Run("kivserver", {"start"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    // The running dispatcher as clients see it, not merely a PID file: one
    // left by a killed predecessor names a process that has gone, and a start
    // that failed reports it only on its output.
    uint32_t pid = 0;
    EXPECT_TRUE(kivtest::WaitFor([&] {
      pid = WatchServiceStartUsingPIDFile::RunningServicePid(kServicePresenceName);
      return pid != 0;
    })) << "no dispatcher runs: "
        << r.out << r.err;
    if (pid != 0) daemons.push_back(pid);
    return pid;
  }
  void Stop(const std::string& dir, uint32_t pid) {
    setenv("OLVAN_VORNEL_DIR", dir.c_str(), 1);
    setenv("OLVAN_VORNEL_CFG", dir.c_str(), 1);
    auto r = kivtest::Run("kivserver", {"stop"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(kivtest::WaitFor([&] { return !WatchServiceStopUsingPID::IsProcessRunning(pid); },
                                 std::chrono::seconds(15)));
  }
  std::vector<pid_t> RunClients(int perThread) {
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcesses; ++p)
      pids.push_back(kivtest::StartChild([p, perThread] { return TracingClient(p, perThread); }));
    for (pid_t pid : pids) EXPECT_EQ(kivtest::WaitChild(pid), 0);
    return pids;
  }
};

}  // namespace

TEST_F(TraceE2E, BinaryLogHoldsEveryRecordOnceAndTheExportShowsThem) {
  const uint32_t daemon = Start(sandbox.Dir(), Config("binary"));
  const auto pids = RunClients(kPerThread);
  Stop(sandbox.Dir(), daemon);

  size_t unordered = 0;
  ExpectEveryRecordOnce(ReadBinaryLogs(logDir, unordered), pids, kPerThread);
  EXPECT_EQ(unordered, 0u) << "blocks whose sequence numbers do not ascend";

  const std::string exported = sandbox.Dir() + "/export.txt";
  auto r = kivtest::Run("kivtool", {"export", "-d", logDir, "-f", exported, "-silent"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  ExpectEveryRecordOnce(ReadTextLines(kivtest::ReadFile(exported)), pids, kPerThread);
}

TEST_F(TraceE2E, TextLogHoldsEveryRecordOnce) {
  const uint32_t daemon = Start(sandbox.Dir(), Config("text"));
  const auto pids = RunClients(kPerThread);
  Stop(sandbox.Dir(), daemon);
  ExpectEveryRecordOnce(ReadTextLines(ReadTextLogs(logDir)), pids, kPerThread);
}

TEST_F(TraceE2E, TwoDispatchersForwardEveryRecordOverLoopback) {
  const std::string port = std::to_string(kivtest::FreeLoopbackPort());
  kivtest::Sandbox receiving;  // the server-mode dispatcher's own directory
  const uint32_t server =
      Start(receiving.Dir(), Config("binary", "<Network mode=\"server\"/><Server port_number=\"" + port +
                                                  "\" max_connection=\"4\"/>"));
  const uint32_t forwarder =
      Start(sandbox.Dir(),
            Config("binary", "<Network mode=\"client\"/><Client server_name=\"127.0.0.1\" port_number=\"" +
                                 port + "\"/>"));
  const auto pids = RunClients(kPerThread / 5);
  Stop(sandbox.Dir(), forwarder);
  // The receiver files what it has read from its connection; give it the
  // time to read everything the forwarder sent before it is stopped.
  const std::string receivedDir = receiving.Dir() + "/log/";
  const size_t total = pids.size() * kThreads * (kPerThread / 5);
  size_t unordered = 0;
  EXPECT_TRUE(kivtest::WaitFor(
      [&] {
        try {
          return ReadBinaryLogs(receivedDir, unordered).size() >= total;
        } catch (const std::exception&) {
          return false;  // a block still being written
        }
      },
      std::chrono::seconds(20)));
  Stop(receiving.Dir(), server);

  unordered = 0;
  ExpectEveryRecordOnce(ReadBinaryLogs(receivedDir, unordered), pids, kPerThread / 5);
  EXPECT_EQ(unordered, 0u);
  // Nothing had to fall back to the forwarder's own files.
  size_t ignored = 0;
  EXPECT_TRUE(ReadBinaryLogs(logDir, ignored).empty());
}

TEST_F(TraceE2E, ClientsRegisterAgainWithARestartedDispatcher) {
  Shared* s = MapShared();
  ASSERT_NE(s, nullptr);
  uint32_t daemon = Start(sandbox.Dir(), Config("binary"));
  ASSERT_NE(daemon, 0u);
  kivtest::ChildGuard client(kivtest::StartChild([s] { return StreamingClient(s); }));
  ASSERT_TRUE(kivtest::WaitFor([&] { return s->connections.load() == 1 && s->next.load() > 500; }));

  // Gone means gone for a successor too: every thread has ended and the
  // presence locks are free, so the new start does not find them held.
  kill(static_cast<pid_t>(daemon), SIGKILL);
  ASSERT_TRUE(kivtest::WaitFor([&] { return !WatchServiceStopUsingPID::IsProcessRunning(daemon); }));
  const uint32_t killed = daemon;
  daemon = Start(sandbox.Dir(), Config("binary"));
  ASSERT_NE(daemon, 0u);
  ASSERT_NE(daemon, killed);
  ASSERT_TRUE(kivtest::WaitFor([&] { return s->connections.load() == 2; }, std::chrono::seconds(15)));
  const uint32_t first = s->firstAfterLatest.load();
  ASSERT_TRUE(kivtest::WaitFor([&] { return s->next.load() > first + 500; }));
  s->stop.store(true);
  EXPECT_EQ(client.Wait(), 0);
  Stop(sandbox.Dir(), daemon);

  size_t unordered = 0;
  std::set<std::string> logged;
  for (const auto& l : ReadBinaryLogs(logDir, unordered)) logged.insert(l.text);
  size_t expected = 0, missing = 0;
  for (uint32_t i = first; i < s->next.load(); ++i) {
    if (!s->written[i].load()) continue;
    ++expected;
    missing += logged.count("p0/t0/r" + std::to_string(i)) == 0;
  }
  EXPECT_GT(expected, 400u);
  EXPECT_EQ(missing, 0u) << "records written after the new registration but not logged";
  EXPECT_EQ(unordered, 0u);
  munmap(s, sizeof(Shared));
}

TEST_F(TraceE2E, KilledClientKeepsWhatItWroteAndItsDetachSaysSo) {
  Shared* s = MapShared();
  ASSERT_NE(s, nullptr);
  const uint32_t daemon = Start(sandbox.Dir(), Config("binary"));
  const pid_t client = kivtest::StartChild([s] { return StreamingClient(s); });
  kivtest::ChildGuard guard(client);
  ASSERT_TRUE(kivtest::WaitFor([&] { return s->next.load() > 2000; }));
  kill(client, SIGKILL);
  guard.Wait();

  std::vector<kivtest::ReadRecord> controls;
  auto detached = [&] {
    size_t unordered = 0;
    controls.clear();
    ReadBinaryLogs(logDir, unordered, &controls);
    for (const auto& c : controls)
      if (c.control == TracePacketShared::ClientDetached && c.controlPid == static_cast<uint32_t>(client))
        return true;
    return false;
  };
  EXPECT_TRUE(kivtest::WaitFor(detached, std::chrono::seconds(15)));
  Stop(sandbox.Dir(), daemon);

  size_t unordered = 0;
  controls.clear();
  std::set<std::string> logged;
  for (const auto& l : ReadBinaryLogs(logDir, unordered, &controls)) logged.insert(l.text);
  size_t written = 0, missing = 0;
  for (uint32_t i = 0; i < s->next.load(); ++i) {
    if (!s->written[i].load()) continue;
    ++written;
    missing += logged.count("p0/t0/r" + std::to_string(i)) == 0;
  }
  EXPECT_GT(written, 1500u);
  EXPECT_EQ(missing, 0u);
  bool found = false;
  for (const auto& c : controls) {
    if (c.control == TracePacketShared::ClientDetached && c.controlPid == static_cast<uint32_t>(client)) {
      found = true;
      EXPECT_EQ(c.text.value_or(""), "Not received un-registration message from client.");
    }
  }
  EXPECT_TRUE(found);
  munmap(s, sizeof(Shared));
}
