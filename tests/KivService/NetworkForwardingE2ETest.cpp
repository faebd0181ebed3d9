// Two real kivserver daemons on loopback: one in client mode forwarding what
// its local client traces, one in server mode filing it under the sender's
// address; the sender falls back to local files while the receiver is away.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "KivService/KivServerLogReader.h"
#include "ServiceMonitor/WatchServiceStopUsingPID.h"
#include "SocketStream/Client.h"
#include "SocketStream/WriteStream.h"
#include "TestSupport/ProtocolClient.h"
#include "TraceOutputTestUtil.h"

namespace fs = std::filesystem;
using kivtest::ProtocolClient;

namespace {

// One daemon with its own OLVAN_VORNEL_DIR. The environment of this process
// is switched to `dir` only while kivserver is started or stopped.
class Daemon {
 public:
  explicit Daemon(std::string dir) : m_Dir(std::move(dir)) { fs::create_directories(m_Dir + "/log"); }
  ~Daemon() {
    if (m_Pid != 0 && WatchServiceStopUsingPID::IsProcessRunning(m_Pid))
      kill(static_cast<pid_t>(m_Pid), SIGKILL);
  }
  std::string Temp() const { return m_Dir + "/temp/KIV/"; }
  std::string LogDir() const { return m_Dir + "/log/"; }
  void Configure(const std::string& network) {
    fs::create_directories(m_Dir + "/cfg");
    kivtest::WriteFile(m_Dir + "/cfg/KivConfigLinux.xml", R"(<?xml version="1.0"?>
<KIVConfig trace="1">
  <Logfile path="$(OLVAN_VORNEL_DIR)/log" size="1024" maxbackups="50" preserve_size="2048"
           preserve_maxbackups="50" log_format="binary"/>
  <StatusTrace state="on"/>
)" + network + "</KIVConfig>\n");
  }
  void Start() {
    auto r = RunHere("start");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(kivtest::WaitFor([&] { return kivtest::FileExists(Temp() + "KivService.pid"); }));
    m_Pid = static_cast<uint32_t>(std::stoul(kivtest::ReadFile(Temp() + "KivService.pid")));
  }
  void Stop() {
    auto r = RunHere("stop");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(kivtest::WaitFor([&] { return !WatchServiceStopUsingPID::IsProcessRunning(m_Pid); }));
    m_Pid = 0;
  }
  std::string Status() { return kivtest::ReadFile(Temp() + "KivServerStatus.txt"); }
  uint32_t Pid() const { return m_Pid; }
  // The records of the log files whose names begin with `prefix`, read as
  // the dispatcher's own files (the reader takes "kivlog-LOCAL*" names).
  kivtest::LogContents Records(const std::string& prefix) {
    std::string copy = m_Dir + "/read-" + std::to_string(m_Reads++) + "/";
    fs::create_directories(copy);
    for (const auto& file : outputtest::FilesWithPrefix(LogDir(), prefix))
      fs::copy_file(file, copy + "kivlog-LOCAL-" + fs::path(file).filename().string());
    return kivtest::ReadBinaryLog(copy);
  }

 private:
  kivtest::RunResult RunHere(const std::string& command) {
    std::string oldDir = getenv("OLVAN_VORNEL_DIR"), oldCfg = getenv("OLVAN_VORNEL_CFG");
    setenv("OLVAN_VORNEL_DIR", m_Dir.c_str(), 1);
    setenv("OLVAN_VORNEL_CFG", m_Dir.c_str(), 1);
    auto r = kivtest::Run("kivserver", {command});
    setenv("OLVAN_VORNEL_DIR", oldDir.c_str(), 1);
    setenv("OLVAN_VORNEL_CFG", oldCfg.c_str(), 1);
    return r;
  }

  std::string m_Dir;
  uint32_t m_Pid = 0;
  int m_Reads = 0;
};

bool Contains(const kivtest::LogContents& log, const std::vector<uint32_t>& sequences) {
  for (uint32_t s : sequences)
    if (log.IndexOf(s) < 0) return false;
  return true;
}

// Resident kilobytes of process `pid` (0 when unknown).
long ResidentKilobytes(uint32_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

const std::string kFallbackNo = "Output\\Network\\Fallback(Fallback mode of network output):no";
const std::string kFallbackOn = "Output\\Network\\Fallback(Fallback mode of network output):on";

}  // namespace

TEST(NetworkForwardingE2E, ClientModeDaemonForwardsToServerModeDaemonAndFallsBackWhileItIsAway) {
  kivtest::Sandbox sandbox;  // this process and the sending daemon
  const uint16_t port = outputtest::FreePort();
  Daemon sender(sandbox.Dir()), receiver(sandbox.Dir() + "/remote");
  receiver.Configure("  <Network mode=\"server\"/>\n  <Server port_number=\"" + std::to_string(port) +
                     "\" max_connection=\"4\"/>\n");
  sender.Configure("  <Network mode=\"client\"/>\n  <Client server_name=\"127.0.0.1\" port_number=\"" +
                   std::to_string(port) + "\"/>\n");
  receiver.Start();
  sender.Start();

  ProtocolClient client;
  ASSERT_TRUE(client.Register());
  // The local dispatcher exists while a client is registered; it connects
  // within about a reconnect period.
  auto connected = [&] {
    return kivtest::WaitFor([&] { return sender.Status().find(kFallbackNo) != std::string::npos; },
                            std::chrono::seconds(15));
  };
  // Writes `count` records and waits until the dispatcher took them all.
  auto trace = [&](const std::string& tag, int count) {
    std::vector<uint32_t> sequences;
    for (int i = 0; i < count; ++i) sequences.push_back(client.WriteRecord(tag + " " + std::to_string(i)));
    EXPECT_TRUE(client.WaitUntilDrained());
    return sequences;
  };
  ASSERT_TRUE(connected());
  std::vector<uint32_t> forwarded = trace("forwarded", 100);
  ASSERT_TRUE(kivtest::WaitFor([&] { return Contains(receiver.Records("kivlog-127.0.0.1-"), forwarded); }));
  auto filed = receiver.Records("kivlog-127.0.0.1-");
  std::vector<uint32_t> ours;
  for (const auto& r : filed.FromBlockPid(client.Pid())) ours.push_back(r.sequence);
  EXPECT_EQ(ours, forwarded) << "each record once, in order";
  EXPECT_TRUE(receiver.Records("kivlog-LOCAL-").records.empty()) << "the receiver has no local clients";

  // Receiver away: records land in the sender's own files. A record sent
  // into the dying connection may be lost (there are no acknowledgements),
  // so only what follows the first fallback record is checked.
  receiver.Stop();
  uint32_t firstLocal = 0;
  ASSERT_TRUE(kivtest::WaitFor(
      [&] {
        uint32_t s = client.WriteRecord("during the outage");
        if (!client.WaitUntilDrained()) return false;
        if (sender.Records("kivlog-LOCAL-").IndexOf(s) < 0) return false;
        firstLocal = s;
        return true;
      },
      std::chrono::seconds(20)));
  std::vector<uint32_t> local = trace("kept locally", 20);
  ASSERT_TRUE(kivtest::WaitFor([&] { return Contains(sender.Records("kivlog-LOCAL-"), local); }));
  EXPECT_GT(sender.Records("kivlog-LOCAL-").IndexOf(local.front()),
            sender.Records("kivlog-LOCAL-").IndexOf(firstLocal));

  // Receiver back: sending resumes. (The status file is rewritten every
  // second: see it report the fallback before looking for the reconnection.)
  ASSERT_TRUE(kivtest::WaitFor([&] { return sender.Status().find(kFallbackOn) != std::string::npos; }));
  receiver.Start();
  ASSERT_TRUE(connected());
  std::vector<uint32_t> resumed = trace("resumed", 20);
  ASSERT_TRUE(kivtest::WaitFor([&] { return Contains(receiver.Records("kivlog-127.0.0.1-"), resumed); }));
  EXPECT_FALSE(Contains(receiver.Records("kivlog-127.0.0.1-"), local));

  ASSERT_TRUE(client.Unregister());
  sender.Stop();
  receiver.Stop();
}

TEST(NetworkForwardingE2E, FloodOfStalledAndTricklingPeersIsBoundedAndClosedWhileOthersAreServed) {
  constexpr int kEach = 1000;
  // This process holds the attackers' 2000 sockets and the daemon inherits
  // the limit: raise it for both, bounded by the hard limit.
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 2 * kEach + 512) {
    ASSERT_GE(limit.rlim_max, static_cast<rlim_t>(2 * kEach + 512)) << "hard descriptor limit too low";
    limit.rlim_cur = 2 * kEach + 512;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  kivtest::Sandbox sandbox;
  const uint16_t port = outputtest::FreePort();
  Daemon receiver(sandbox.Dir());
  receiver.Configure("  <Network mode=\"server\"/>\n  <Server port_number=\"" + std::to_string(port) +
                     "\" max_connection=\"1024\" max_peers=\"2100\" idle_timeout=\"3\"/>\n");
  receiver.Start();

  using outputtest::RawPeer;
  std::vector<std::unique_ptr<RawPeer>> stalled, trickling;
  for (int i = 0; i < kEach; ++i) {
    stalled.push_back(std::make_unique<RawPeer>(port, "127.0.0.2"));
    ASSERT_TRUE(stalled.back()->Send(std::string("\x10\x00\x00", 3)));
    trickling.push_back(std::make_unique<RawPeer>(port, "127.0.0.3"));
    ASSERT_TRUE(trickling.back()->Send(std::string("\x00\x10\x00\x00", 4)));
  }
  SocketStream::WriteStream legitimate(std::make_unique<SocketStream::Client>("127.0.0.1", port));
  ProtocolClient local;
  ASSERT_TRUE(local.Register()) << "local clients keep being served";

  // Every round the trickling peers send one more byte of their 4 KiB block
  // and the legitimate one a whole block, until the stalled ones are gone.
  std::string expected;
  long peakKilobytes = 0;
  int round = 0;
  auto allClosed = [](auto& peers) {
    return std::all_of(peers.begin(), peers.end(), [](auto& p) { return p->ClosedByServer(); });
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!allClosed(stalled) && std::chrono::steady_clock::now() < deadline) {
    for (auto& peer : trickling) peer->Send("t");
    outputtest::Bytes block = outputtest::MakeBlock("legitimate " + std::to_string(round++));
    legitimate.write(block.data(), static_cast<uint32_t>(block.size()));
    expected += outputtest::AsText(block);
    peakKilobytes = std::max(peakKilobytes, ResidentKilobytes(receiver.Pid()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // pacing, well inside the idle timeout
  }
  ASSERT_TRUE(allClosed(stalled)) << "stalled peers closed at the idle timeout";
  ASSERT_TRUE(kivtest::WaitFor([&] { return allClosed(trickling); })) << "no complete block: closed too";
  EXPECT_GT(peakKilobytes, 0);
  EXPECT_LT(peakKilobytes, 64 * 1024) << "resident memory under the flood";
  std::printf("[flood] %d stalled + %d trickling peers: peak resident %ld KiB, %d legitimate blocks\n", kEach,
              kEach, peakKilobytes, round);

  ASSERT_TRUE(local.Unregister());
  outputtest::Bytes last = outputtest::MakeBlock("after the flood");
  legitimate.write(last.data(), static_cast<uint32_t>(last.size()));
  expected += outputtest::AsText(last);
  ASSERT_TRUE(kivtest::WaitFor([&] {
    return outputtest::AllBinaryData(receiver.LogDir(), "kivlog-127.0.0.1-") == expected;
  })) << "every block of the legitimate sender, in order";
  EXPECT_TRUE(outputtest::FilesWithPrefix(receiver.LogDir(), "kivlog-127.0.0.2-").empty());
  EXPECT_TRUE(outputtest::FilesWithPrefix(receiver.LogDir(), "kivlog-127.0.0.3-").empty());
  ASSERT_TRUE(kivtest::WaitFor([&] {
    return receiver.Status().find(
               "Input\\Network\\PeersConnected(Peers connected to the network server):1\n") !=
           std::string::npos;
  }));
  receiver.Stop();
}
