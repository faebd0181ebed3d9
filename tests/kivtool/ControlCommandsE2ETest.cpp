// kivtool's control and test commands against the real dispatcher.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include "KivService/KivServerLogReader.h"
#include "KivToolTestSupport.h"
#include "ServiceMonitor/WatchServiceStopUsingPID.h"
#include "TraceData/TraceStructures.h"

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

}  // namespace

TEST_F(ControlCommandsE2E, CommandsAreConfirmedAndEveryRunLeavesCleanly) {
  Start({"DIAGNOSTIC_MODE=1"});
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
