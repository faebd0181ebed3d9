// Two real kivserver daemons on loopback: one in client mode forwarding what
// its local client traces, one in server mode filing it under the sender's
// address; the sender falls back to local files while the receiver is away.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "KivService/KivServerLogReader.h"
#include "ServiceMonitor/WatchServiceStopUsingPID.h"
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
