// kivtool's control and test commands against the real dispatcher.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <filesystem>
#include <string>
#include <vector>

#include "KivService/KivServerLogReader.h"
#include "KivToolTestSupport.h"
#include "ServiceMonitor/WatchServiceStopUsingPID.h"
#include "TestSupport/ProtocolClient.h"
#include "TraceData/TraceStructures.h"
#include "TraceLogBuilder.h"

namespace {

namespace Code = TracePacketShared;

const char* kConfig = R"(<?xml version="1.0"?>
<KIVConfig trace="1">
  <Logfile path="$(OLVAN_VORNEL_DIR)/log" size="1024" maxbackups="50" preserve_size="2048"
           preserve_maxbackups="50" log_format="binary"/>
  <StatusTrace state="on"/>
  <Global><GLabel name="Flow" state="1"/></Global>
  <Module name="Net" state="1"><MLabel name="Io" state="0"/></Module>
</KIVConfig>
)";

class ControlCommandsE2E : public ::testing::Test {
 protected:
  kivtooltest::ToolSandbox s;
  std::string temp = s.box.TempDir();
  uint32_t daemon = 0;

  void SetUp() override { s.box.WriteConfig(kConfig); }
  void TearDown() override {
    if (daemon != 0 && WatchServiceStopUsingPID::IsProcessRunning(daemon)) {
      kill(static_cast<pid_t>(daemon), SIGKILL);
      kivtest::WaitFor([&] { return !WatchServiceStopUsingPID::IsProcessRunning(daemon); });
    }
  }
  void Start(const std::vector<std::string>& env = {}) {
    auto r = kivtest::Run("kivserver", {"start"}, "", env);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(kivtest::WaitFor([&] { return kivtest::FileExists(temp + "KivService.pid"); }));
    daemon = static_cast<uint32_t>(std::stoul(kivtest::ReadFile(temp + "KivService.pid")));
  }
  void Stop() {
    EXPECT_EQ(kivtest::Run("kivserver", {"stop"}).exitCode, 0);
    EXPECT_TRUE(kivtest::WaitFor([&] { return !WatchServiceStopUsingPID::IsProcessRunning(daemon); }));
  }
  // Map files of client processes left in {temp}.
  std::vector<std::string> ClientRings() const {
    std::vector<std::string> rings;
    for (const auto& name : kivtest::ListDir(temp))
      if ((name.rfind("KivTraceBuffer", 0) == 0 || name.rfind("KivServerMessageBuffer", 0) == 0) &&
          name != "KivServerMessageBuffer.map")
        rings.push_back(name);
    return rings;
  }
};

std::string Banner() { return kivtooltest::kBanner; }

// A running "kivtool follow" whose standard output is read as it comes.
class Follower {
 public:
  explicit Follower(const std::vector<std::string>& args) {
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    m_Pid = fork();
    if (m_Pid == 0) {
      dup2(out[1], STDOUT_FILENO);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, STDERR_FILENO);
      std::vector<const char*> argv = {"kivtool", "follow"};
      for (const std::string& a : args) argv.push_back(a.c_str());
      argv.push_back(nullptr);
      execv(kivtest::BinPath("kivtool").c_str(), const_cast<char* const*>(argv.data()));
      _exit(127);
    }
    close(out[1]);
    m_Out = out[0];
  }
  ~Follower() {
    if (m_Pid > 0 && waitpid(m_Pid, nullptr, WNOHANG) == 0) {
      kill(m_Pid, SIGKILL);
      waitpid(m_Pid, nullptr, 0);
    }
    close(m_Out);
  }
  // Reads until `text` has been printed or `deadline` passes.
  bool WaitFor(const std::string& text, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (m_Text.find(text) == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{m_Out, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      ssize_t n = read(m_Out, buffer, sizeof buffer);
      if (n <= 0) return false;
      m_Text.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }
  // Sends SIGINT; the exit status, or -1 when it does not end in time.
  int Interrupt() {
    kill(m_Pid, SIGINT);
    int status = 0;
    bool ended = kivtest::WaitFor([&] { return waitpid(m_Pid, &status, WNOHANG) == m_Pid; });
    m_Pid = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& Text() const { return m_Text; }

 private:
  pid_t m_Pid = -1;
  int m_Out = -1;
  std::string m_Text;
};

}  // namespace

TEST_F(ControlCommandsE2E, CommandsAreConfirmedAndEveryRunLeavesCleanly) {
  auto none = kivtest::Run("kivtool", {"status"});
  EXPECT_EQ(none.exitCode, 3);
  EXPECT_NE(none.out.find("Dispatcher:         not running\n"), std::string::npos) << none.out;
  Start({"DIAGNOSTIC_MODE=1"});
  // The first status report of a new dispatcher may come before its entries.
  kivtest::RunResult status;
  kivtest::WaitFor([&] {
    status = kivtest::Run("kivtool", {"status"});
    return status.out.find("  Connections\\Local = ") != std::string::npos;
  });
  EXPECT_EQ(status.exitCode, 0);
  for (const std::string& line : std::vector<std::string>{
           "running, pid " + std::to_string(daemon) + ", up 00:00:", s.box.ConfigFile() + " (found)\n",
           "Log directory:      " + s.box.Dir() + "/log\n", "Output format:      binary",
           "Output mode:        local files\n", "Clients connected:  0\n",
           "  Connections\\Local = 0   (Number of connections"})
    EXPECT_NE(status.out.find(line), std::string::npos) << line << "\n" << status.out;

  // Help runs nothing: no file, no registration (counted below), no prompt.
  const std::string cwd = s.box.Dir() + "/cwd";
  std::filesystem::create_directories(cwd);
  for (const char* command : {"pause", "resume", "reload", "preservation", "export", "follow", "clean",
                              "status", "test", "performance"}) {
    for (const char* help : {"-h", "--help"}) {
      auto r = kivtest::Run("/bin/sh", {"-c", "cd " + cwd + " && exec " + kivtest::BinPath("kivtool") + " " +
                                                  command + " -f " + help});
      EXPECT_EQ(r.exitCode, 0) << command;
      EXPECT_EQ(r.out.rfind(std::string("Syntax: kivtool ") + command, 0), 0u) << command << r.out;
      EXPECT_EQ(r.err, Banner()) << command;
    }
  }
  EXPECT_TRUE(kivtest::ListDir(cwd).empty());
  struct Case {
    std::vector<std::string> args;
    std::string announcement;
    uint32_t control;
  } cases[] = {{{"pause"}, "Pause tracing... ", Code::TracingPaused},
               {{"resume"}, "Resume tracing... ", Code::TracingResumed},
               {{"reload"}, "Reloading configuration... ", Code::ConfigurationReloaded},
               {{"preservation", "-on"}, "Activating preservation mode... ", Code::PreservationOn},
               {{"preservation"}, "Deactivating preservation mode ...", Code::PreservationOff}};
  for (const Case& c : cases) {
    auto r = kivtest::Run("kivtool", c.args);
    EXPECT_EQ(r.exitCode, 0) << c.args[0];
    EXPECT_EQ(r.err, Banner() + c.announcement + "succeeded.\n");
    EXPECT_TRUE(kivtest::WaitFor([&] { return ClientRings().empty(); })) << c.args[0];
  }
  Stop();

  // Each run registered, asked for its change and un-registered at its exit:
  // none of them counts as a crashed client. (While paused the dispatcher
  // writes no records, so the log alone cannot show every run.)
  std::string diagnostics = kivtest::ReadFile(temp + "trace.txt");
  auto count = [&](const std::string& text) {
    size_t n = 0;
    for (size_t at = diagnostics.find(text); at != std::string::npos; at = diagnostics.find(text, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("Received registration from client:"), 5u);
  EXPECT_EQ(count("Received un-registration from client:"), 5u);
  auto log = kivtest::ReadBinaryLog(s.logDir);
  for (const auto& detached : log.Controls(Code::ClientDetached))
    EXPECT_NE(detached.text, "Not received un-registration message from client.");
  for (const Case& c : cases) EXPECT_EQ(log.Controls(c.control).size(), 1u) << c.args[0];
}

TEST_F(ControlCommandsE2E, TestCommandAnswersAsConfiguredAndPauseFailsOnceTheDispatcherIsGone) {
  Start();
  auto flow = kivtest::Run("kivtool", {"test", "-m", "Net", "-l", "Flow"});
  EXPECT_EQ(flow.exitCode, 0);
  EXPECT_EQ(flow.out,
            "KIV module handle for \"Net\" is 0\nKIV label handle for \"Flow\" is 0\n"
            "KIV tracing status with module \"Net\" and label \"Flow\" is enabled.\n");
  auto io = kivtest::Run("kivtool", {"test", "-m", "Net", "-l", "Io", "-c", "Anyone"});
  EXPECT_EQ(io.out,
            "KIV module handle for \"Net\" is 0\nKIV label handle for \"Io\" is 1\n"
            "KIV tracing status with module \"Net\", client \"Anyone\" and label \"Io\" is disabled.\n");
  // Every query registers and leaves; the output stays open meanwhile, so
  // twelve of them add records to the same file instead of starting (and,
  // under a file count limit, pruning) one file each.
  const auto logFiles = kivtest::ListDir(s.logDir);
  ASSERT_FALSE(logFiles.empty());
  for (int query = 2; query < 12; ++query)
    EXPECT_EQ(kivtest::Run("kivtool", {"test", "-m", "Net", "-l", "Flow"}).exitCode, 0);
  EXPECT_TRUE(kivtest::WaitFor([&] { return ClientRings().empty(); }));  // every query has left
  EXPECT_EQ(kivtest::ListDir(s.logDir), logFiles);
  Stop();
  EXPECT_TRUE(ClientRings().empty());

  auto pause = kivtest::Run("kivtool", {"pause"});
  EXPECT_EQ(pause.exitCode, 255);
  EXPECT_EQ(pause.err,
            Banner() + "Pause tracing... Operation failed.\nError description:Pause Tracing...Failed \n\n");
}

TEST_F(ControlCommandsE2E, FollowShowsTheTailThenEveryNewRecordAcrossRotationAndRestart) {
  // A log written before: its last ten records are shown first.
  uint32_t sequence = 1;
  std::vector<std::string> old;
  for (int i = 1; i <= 12; ++i) old.push_back("old" + std::to_string(i) + ";");
  const std::string first = s.logDir + "kivlog-LOCAL-20260101-10h00m00.000s.txt";
  kivtest::WriteFile(first, kivtooltest::BinaryLog({kivtooltest::Block(10, old, sequence)}));
  Follower follower({"-d", s.logDir, "-format", "json"});
  ASSERT_TRUE(follower.WaitFor("old12;"));
  EXPECT_EQ(follower.Text().find("old2;"), std::string::npos);
  EXPECT_NE(follower.Text().find("old3;"), std::string::npos);

  // A block appended to the file appears within 200 ms.
  const std::string fresh = kivtooltest::Block(10, {"fresh;"}, sequence);
  {
    int file = open(first.c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(write(file, fresh.data(), fresh.size()), static_cast<ssize_t>(fresh.size()));
    close(file);
  }
  EXPECT_TRUE(follower.WaitFor("fresh;", std::chrono::milliseconds(200))) << follower.Text();

  // A text log appearing is followed line by line.
  kivtest::WriteFile(s.logDir + "kivlog-LOCAL-20260101-10h00m01.000s.txt",
                     KivTextFileOutputSupport::GetHeader() + "12/31/2025 10:00:01.000 text-line;\npartial");
  EXPECT_TRUE(follower.WaitFor("text-line;\n")) << follower.Text();
  EXPECT_EQ(follower.Text().find("partial"), std::string::npos);

  // The dispatcher's own files: a new series at each start, rotation within
  // one (1 KB files).
  std::string config = kConfig;
  config.replace(config.find("size=\"1024\""), 12, "size=\"1\"");
  s.box.WriteConfig(config);
  Start();
  {
    kivtest::ProtocolClient client;
    ASSERT_TRUE(client.Register());
    client.WriteRecord("first-run;");
    EXPECT_TRUE(follower.WaitFor("first-run;")) << follower.Text();
    // 1 KiB files: a few records more rotate into new files.
    for (int i = 0; i < 8; ++i)
      client.WriteRecord("rotating-" + std::to_string(i) + ";" + std::string(300, 'r'));
    EXPECT_TRUE(follower.WaitFor("rotating-7;")) << follower.Text();
    client.Unregister();
  }
  Stop();
  Start();
  {
    kivtest::ProtocolClient client;
    ASSERT_TRUE(client.Register());
    client.WriteRecord("second-run;");
    EXPECT_TRUE(follower.WaitFor("second-run;")) << follower.Text();
    client.Unregister();
  }
  for (int i = 0; i < 8; ++i)
    EXPECT_NE(follower.Text().find("rotating-" + std::to_string(i) + ";"), std::string::npos) << i;
  // The two files written here, two or more of the first run, one of the second.
  EXPECT_GE(kivtest::ListDir(s.logDir).size(), 5u);
  EXPECT_EQ(follower.Interrupt(), 0);
}
