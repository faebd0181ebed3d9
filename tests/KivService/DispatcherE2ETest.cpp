// The complete dispatcher: the real kivserver daemon with protocol clients
// (this test process, or forked children) following the client protocol.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <set>
#include <sstream>

#include "KivService/KivServerLogReader.h"
#include "KivService/KivServiceTestSupport.h"
#include "ServiceMonitor/WatchServiceStopUsingPID.h"
#include "TestSupport/ProtocolClient.h"
#include "TraceData/TraceStructures.h"
#include "TraceService/TraceService.h"

using kivtest::ProtocolClient;
using ::testing::HasSubstr;
namespace Code = TracePacketShared;

namespace {
const uint32_t kSelf = static_cast<uint32_t>(getpid());

class DispatcherE2E : public ::testing::Test {
 protected:
  kivtest::Sandbox sandbox;
  std::string temp = sandbox.TempDir();
  std::string logDir = sandbox.Dir() + "/log/";
  uint32_t daemon = 0;

  void TearDown() override {
    if (daemon != 0 && WatchServiceStopUsingPID::IsProcessRunning(daemon)) {
      kill(static_cast<pid_t>(daemon), SIGKILL);
      kivtest::WaitFor([&] { return !WatchServiceStopUsingPID::IsProcessRunning(daemon); });
    }
  }

  // `launcher`: a program and its arguments that start kivserver in turn.
  void Start(const std::string& xml = kivtest::BinaryLogConfig(), std::vector<std::string> launcher = {}) {
    sandbox.WriteConfig(xml);
    std::filesystem::create_directories(logDir);
    launcher.push_back(kivtest::BinPath("kivserver"));
    launcher.push_back("start");
    auto r = kivtest::Run(launcher.front(), {launcher.begin() + 1, launcher.end()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // The PID file is published last, once the message ring exists.
    ASSERT_TRUE(kivtest::WaitFor([&] { return kivtest::FileExists(temp + "KivService.pid"); }));
    daemon = static_cast<uint32_t>(std::stoul(kivtest::ReadFile(temp + "KivService.pid")));
    ASSERT_TRUE(kivtest::FileExists(temp + "KivServerMessageBuffer.map"));
  }

  void Stop() {
    auto r = kivtest::Run("kivserver", {"stop"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(kivtest::WaitFor([&] { return !WatchServiceStopUsingPID::IsProcessRunning(daemon); }));
  }

  long StatusConnections() { return kivtest::ConnectionsIn(kivtest::ReadFile(temp + "KivServerStatus.txt")); }
  bool WaitConnections(long n) {
    return kivtest::WaitFor([&] { return StatusConnections() == n; }, std::chrono::seconds(15));
  }
  kivtest::LogContents Log() { return kivtest::ReadBinaryLog(logDir); }
  bool WaitDrainStatus(const std::string& value) {
    return kivtest::WaitFor([&] {
      return kivtest::ReadFile(temp + "KivServerStatus.txt")
                 .find("Connections\\DrainPriority(Scheduling of the drains of local connections):" + value +
                       "\n") != std::string::npos;
    });
  }
  static std::string WithDrainPriority(std::string config, const std::string& priority) {
    const std::string root = R"(<KIVConfig trace="1">)";
    return config.replace(config.find(root), root.size(),
                          R"(<KIVConfig trace="1" drain_priority=")" + priority + R"(">)");
  }
  // The dispatcher's threads under the real-time FIFO policy at `priority`.
  size_t RealTimeThreads(int priority) {
    size_t count = 0;
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(daemon) + "/task", error)) {
      const std::string stat = kivtest::ReadFile(task.path().string() + "/stat");
      const size_t name = stat.rfind(')');  // a thread gone meanwhile reads as nothing
      if (name == std::string::npos) continue;
      std::istringstream fields(stat.substr(name + 1));
      std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
      // From the state on: rt_priority is the 38th field, the policy the 39th.
      if (f.size() > 38 && f[37] == std::to_string(priority) && f[38] == std::to_string(SCHED_FIFO)) ++count;
    }
    return count;
  }
  bool WaitLogged(uint32_t sequence) {
    return kivtest::WaitFor([&] { return Log().IndexOf(sequence) >= 0; });
  }
};
}  // namespace

TEST_F(DispatcherE2E, ClientRegistersTracesAndLeavesThenStopCleansUp) {
  Start();
  std::vector<uint32_t> written;
  {
    ProtocolClient client;
    ASSERT_TRUE(client.Register());
    EXPECT_TRUE(WaitConnections(1));
    for (int i = 0; i < 200; ++i) written.push_back(client.WriteRecord("line " + std::to_string(i)));
    ASSERT_TRUE(client.WaitUntilDrained());
    ASSERT_TRUE(client.Unregister());
    EXPECT_TRUE(WaitConnections(0));
    // A running client's map files are its own to remove: by name, the
    // dispatcher could hit those of the client's next registration. (The
    // trace ring's went before the un-registration, as its proof.)
    EXPECT_TRUE(kivtest::FileExists(ProtocolClient::MessageRingFile(kSelf)));
  }

  auto log = Log();
  ASSERT_FALSE(log.records.empty());
  const auto& attach = log.records.front();
  EXPECT_EQ(attach.control, Code::ClientAttached);
  EXPECT_EQ(attach.controlPid, kSelf);
  EXPECT_EQ(attach.blockPid, daemon) << "control records come from the dispatcher";
  const auto& detach = log.records.back();
  EXPECT_EQ(detach.control, Code::ClientDetached);
  EXPECT_EQ(detach.controlPid, kSelf);
  EXPECT_EQ(detach.text, "");
  std::vector<uint32_t> logged;
  for (const auto& r : log.FromBlockPid(kSelf)) logged.push_back(r.sequence);
  EXPECT_EQ(logged, written);
  EXPECT_LT(attach.sequence, written.front());
  EXPECT_GT(detach.sequence, written.back());

  Stop();
  for (const char* name : {"KivServerMessageBuffer.map", "KivServerMessageLock.lck", "KivService.pid",
                           "KivService.lck", "KivRecordSequenceNumberSeed.map"})
    EXPECT_FALSE(kivtest::FileExists(temp + name)) << name;
}

TEST_F(DispatcherE2E, KilledClientIsRemovedAndItsDataKept) {
  Start();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    int rc = 1;
    try {
      ProtocolClient client;
      if (client.Register()) {
        uint32_t seq[3];
        for (auto& s : seq) s = client.WriteRecord("before the end");
        if (client.WaitUntilDrained() && write(fds[1], seq, sizeof seq) == sizeof seq) rc = 0;
      }
    } catch (...) {
    }
    if (rc == 0)
      for (;;) pause();
    _exit(rc);
  }
  close(fds[1]);
  uint32_t seq[3] = {};
  ASSERT_EQ(read(fds[0], seq, sizeof seq), static_cast<ssize_t>(sizeof seq));
  close(fds[0]);
  const uint32_t pid = static_cast<uint32_t>(child);
  EXPECT_TRUE(WaitConnections(1));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);

  EXPECT_TRUE(kivtest::WaitFor([&] {
    return !kivtest::FileExists(ProtocolClient::TraceRingFile(pid)) &&
           !kivtest::FileExists(ProtocolClient::MessageRingFile(pid));
  }));
  EXPECT_TRUE(WaitConnections(0));
  auto log = Log();
  for (uint32_t s : seq) EXPECT_GE(log.IndexOf(s), 0);
  auto detached = log.Controls(Code::ClientDetached);
  ASSERT_EQ(detached.size(), 1u);
  EXPECT_EQ(detached[0].controlPid, pid);
  EXPECT_EQ(detached[0].text, "Not received un-registration message from client.");
  EXPECT_GT(log.IndexOf(detached[0].sequence), log.IndexOf(seq[2]));
  Stop();
}

TEST_F(DispatcherE2E, RuntimeChangesFromClients) {
  std::string config = kivtest::BinaryLogConfig();
  Start(WithDrainPriority(config, "3"));
  ProtocolClient client;
  ASSERT_TRUE(client.Register());
  // A second registration from the same pid: confirmed again, one server.
  ASSERT_TRUE(client.Register());
  EXPECT_TRUE(WaitConnections(1));
  // Its drain runs under the real-time policy the file asks for, and the
  // status says so, until a reload of a file without it.
  EXPECT_TRUE(kivtest::WaitFor([&] { return RealTimeThreads(3) == 1; }));
  EXPECT_TRUE(WaitDrainStatus("FIFO 3"));

  // A configuration change from a process that never registered: no
  // confirmation, nothing forwarded, nothing paused.
  kivtest::SleepingChild other;
  ProtocolClient stranger(other.Pid());
  EXPECT_FALSE(stranger.RequestConfigChange(PauseTracing, std::chrono::milliseconds(1500)));
  client.Poll();
  EXPECT_EQ(client.CountMessages(MessageTypeRuntimeConfigChange), 0u);

  uint32_t before = client.WriteRecord("before the pause");
  ASSERT_TRUE(WaitLogged(before));
  ASSERT_TRUE(client.RequestConfigChange(PauseTracing));
  // Forwarded to every client, the sender included, unchanged.
  ASSERT_TRUE(client.WaitForMessages(MessageTypeRuntimeConfigChange, PauseTracing, 1));
  uint32_t lost = client.WriteRecord("while paused");
  ASSERT_TRUE(client.WaitUntilDrained());
  ASSERT_TRUE(client.RequestConfigChange(ResumeTracing));
  ASSERT_TRUE(client.WaitForMessages(MessageTypeRuntimeConfigChange, ResumeTracing, 1));
  uint32_t after = client.WriteRecord("after the resume");
  ASSERT_TRUE(WaitLogged(after));

  size_t filesBeforeReload = Log().files.size();
  sandbox.WriteConfig(config);
  ASSERT_TRUE(client.RequestConfigChange(ReloadConfigFile));
  ASSERT_TRUE(client.WaitForMessages(MessageTypeRuntimeConfigChange, ReloadConfigFile, 1));
  // The reload is forwarded before the dispatcher reads the file again; it is
  // done once its control record is in the log.
  ASSERT_TRUE(kivtest::WaitFor([&] { return Log().Controls(Code::ConfigurationReloaded).size() == 1; }));
  uint32_t reloaded = client.WriteRecord("after the reload");
  ASSERT_TRUE(WaitLogged(reloaded));
  EXPECT_EQ(RealTimeThreads(3), 0u);
  EXPECT_TRUE(WaitDrainStatus("normal"));

  ASSERT_TRUE(client.RequestConfigChange(PreservationOn));
  uint32_t preserved = client.WriteRecord("preserved");
  ASSERT_TRUE(WaitLogged(preserved));
  ASSERT_TRUE(client.RequestConfigChange(PreservationOff));
  uint32_t normal = client.WriteRecord("normal again");
  ASSERT_TRUE(WaitLogged(normal));
  client.Poll();
  EXPECT_EQ(client.CountMessages(MessageTypeRuntimeConfigChange, PreservationOn), 0u);
  EXPECT_EQ(client.CountMessages(MessageTypeRuntimeConfigChange, PreservationOff), 0u);
  EXPECT_EQ(client.CountMessages(MessageTypeRuntimeConfigChange), 3u);

  auto log = Log();
  EXPECT_EQ(log.Controls(Code::ClientAttached).size(), 1u);
  EXPECT_LT(log.IndexOf(lost), 0) << "data written while paused is lost";
  auto paused = log.Controls(Code::TracingPaused);
  auto resumed = log.Controls(Code::TracingResumed);
  ASSERT_EQ(paused.size(), 1u);
  ASSERT_EQ(resumed.size(), 1u);
  EXPECT_EQ(paused[0].controlPid, kSelf);
  // The pause record is the last before the gap, the resume record the
  // first after it.
  const long pauseAt = log.IndexOf(paused[0].sequence);
  EXPECT_EQ(log.IndexOf(before) + 1, pauseAt);
  EXPECT_EQ(pauseAt + 1, log.IndexOf(resumed[0].sequence));
  EXPECT_EQ(log.IndexOf(resumed[0].sequence) + 1, log.IndexOf(after));

  auto reloadRecords = log.Controls(Code::ConfigurationReloaded);
  ASSERT_EQ(reloadRecords.size(), 1u);
  EXPECT_GE(reloadRecords[0].file, filesBeforeReload) << "a reload starts a new file";
  EXPECT_EQ(log.records[log.IndexOf(reloaded)].file, reloadRecords[0].file);

  ASSERT_EQ(log.Controls(Code::PreservationOn).size(), 1u);
  ASSERT_EQ(log.Controls(Code::PreservationOff).size(), 1u);
  EXPECT_THAT(log.files[log.records[log.IndexOf(preserved)].file], HasSubstr("_p."));
  EXPECT_THAT(log.files[log.records[log.IndexOf(normal)].file], ::testing::Not(HasSubstr("_p.")));

  // An idle client is pinged about every 2 seconds.
  EXPECT_TRUE(client.WaitForMessages(MessageTypePing, -1, 1, std::chrono::seconds(15)));
  ASSERT_TRUE(client.Unregister());
  Stop();
}

TEST_F(DispatcherE2E, DrainPriorityRefusedLeavesTheDrainAsItWasAndTheStatusSaysWhy) {
  const std::string setpriv = "/usr/bin/setpriv";
  if (getuid() != 0 || !kivtest::FileExists(setpriv)) GTEST_SKIP() << "needs root and " << setpriv;
  // Root without the capability to change scheduling policies.
  Start(WithDrainPriority(kivtest::BinaryLogConfig(), "3"), {setpriv, "--bounding-set", "-sys_nice"});
  ProtocolClient client;
  ASSERT_TRUE(client.Register());
  ASSERT_TRUE(WaitLogged(client.WriteRecord("drained all the same")));
  EXPECT_TRUE(WaitDrainStatus("FIFO 3, refused: Operation not permitted"));
  EXPECT_EQ(RealTimeThreads(3), 0u);
  ASSERT_TRUE(client.Unregister());
  Stop();
}

TEST_F(DispatcherE2E, WithoutStatusTraceNoControlRecordsButDataFlows) {
  Start(kivtest::BinaryLogConfig(false));
  std::vector<uint32_t> written;
  {
    ProtocolClient client;
    ASSERT_TRUE(client.Register());
    written.push_back(client.WriteRecord("one"));
    ASSERT_TRUE(WaitLogged(written.back()));
    ASSERT_TRUE(client.RequestConfigChange(PauseTracing));
    ASSERT_TRUE(client.RequestConfigChange(ResumeTracing));
    ASSERT_TRUE(client.RequestConfigChange(PreservationOn));
    ASSERT_TRUE(client.RequestConfigChange(PreservationOff));
    ASSERT_TRUE(client.RequestConfigChange(ReloadConfigFile));
    written.push_back(client.WriteRecord("two"));
    ASSERT_TRUE(client.WaitUntilDrained());
    ASSERT_TRUE(client.Unregister());
  }
  Stop();
  auto log = Log();
  EXPECT_TRUE(log.Controls().empty());
  std::vector<uint32_t> logged;
  for (const auto& r : log.records) logged.push_back(r.sequence);
  EXPECT_EQ(logged, written);
}

TEST_F(DispatcherE2E, RegistrationWithoutRingsIsRefusedAndTheDispatcherGoesOn) {
  Start();
  kivtest::SleepingChild other;
  {
    // Only the message ring; no trace ring.
    ClientMessageReceivingStream ring(other.Pid());
    SmartBufferOutputStream<1024> encoded;
    EncodeMessage(MessageClientRegistration(other.Pid(), CodeRegister), encoded);
    ServerMessageSendingStream stream;
    ASSERT_TRUE(stream.write(encoded.Data(), encoded.GetLength()));
    // Not confirmed: wait long enough for several polls of the dispatcher.
    kivtest::ProtocolClient probe;
    ASSERT_TRUE(probe.Register());
    EXPECT_EQ(ring.GetDataLength(), 0u);
    ASSERT_TRUE(probe.Unregister());
  }
  EXPECT_TRUE(WaitConnections(0));
  EXPECT_TRUE(WatchServiceStopUsingPID::IsProcessRunning(daemon));
  Stop();
}
