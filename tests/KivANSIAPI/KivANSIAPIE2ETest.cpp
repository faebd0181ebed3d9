// Client processes using the API under the real dispatcher: a pause from
// kivtool reaching them, and a dispatcher that is killed and started again.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "KivANSIAPI/KivANSIAPI.h"
#include "KivANSIAPI/KivClientProcess.h"
#include "ServiceMonitor/WatchServiceStopUsingPID.h"
#include "Support/TestFork.h"
#include "TestSupport/Sandbox.h"

namespace {

const char* kConfig = R"(<?xml version="1.0"?>
<KIVConfig trace="1">
  <Logfile path="$(OLVAN_VORNEL_DIR)/log" size="1024" maxbackups="50" preserve_size="2048"
           preserve_maxbackups="50" log_format="binary"/>
  <Global><GLabel name="Flow" state="1"/></Global>
  <Module name="Net" state="1"/>
</KIVConfig>
)";

class ApiE2E : public ::testing::Test {
 protected:
  kivtest::Sandbox sandbox;
  std::string temp = sandbox.TempDir();
  uint32_t daemon = 0;

  void SetUp() override {
    sandbox.WriteConfig(kConfig);
    std::filesystem::create_directories(sandbox.Dir() + "/log");
  }
  void TearDown() override { Kill(); }
  void Start() {
    auto r = kivtest::Run("kivserver", {"start"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(kivtest::WaitFor([&] { return kivtest::FileExists(temp + "KivService.pid"); }));
    daemon = static_cast<uint32_t>(std::stoul(kivtest::ReadFile(temp + "KivService.pid")));
  }
  void Kill() {
    if (daemon == 0 || !WatchServiceStopUsingPID::IsProcessRunning(daemon)) return;
    kill(static_cast<pid_t>(daemon), SIGKILL);
    EXPECT_TRUE(kivtest::WaitFor([&] { return !WatchServiceStopUsingPID::IsProcessRunning(daemon); }));
  }
  std::string Path(const std::string& name) const { return sandbox.Dir() + "/" + name; }
};

bool WaitForFile(const std::string& path) {
  return kivtest::WaitFor([&] { return kivtest::FileExists(path); }, std::chrono::seconds(20));
}

// The dispatcher this process is registered with, 0 when none.
uint32_t RegisteredWith() {
  AutoLockingPointer<KivServiceClient> client(KivClientProcess::Proxy().ServiceClientPointer());
  return client ? client->DispatcherPid() : 0;
}

int Enabled() {
  int module = -1, label = -1;
  if (KivGetModuleHandle("Net", &module) != 0 || KivGetLabelHandle("Flow", &label) != 0) return -1;
  return KivTraceEnabledEx(module, KIV_NO_CLIENT, label);
}

}  // namespace

TEST_F(ApiE2E, PauseByKivtoolReachesARegisteredProcessUntilResume) {
  Start();
  std::string ready = Path("ready"), paused = Path("paused");
  pid_t observer = kivtest::StartChild([&] {
    if (Enabled() != 1 || RegisteredWith() == 0) return 1;
    kivtest::WriteFile(ready, "");
    if (!kivtest::WaitFor([] { return Enabled() == 0; })) return 2;
    kivtest::WriteFile(paused, "");
    if (!kivtest::WaitFor([] { return Enabled() == 1; })) return 3;
    std::exit(0);
  });
  ASSERT_TRUE(WaitForFile(ready));
  EXPECT_EQ(kivtest::Run("kivtool", {"pause"}).exitCode, 0);
  EXPECT_TRUE(WaitForFile(paused));
  EXPECT_EQ(kivtest::Run("kivtool", {"resume"}).exitCode, 0);
  EXPECT_EQ(kivtest::WaitChild(observer), 0);
}

TEST_F(ApiE2E, KilledDispatcherIsDroppedAndItsSuccessorJoined) {
  std::string ready = Path("ready"), dropped = Path("dropped"), rejoined = Path("rejoined");
  // The process starts before any dispatcher and registers once one runs.
  pid_t client = kivtest::StartChild([&] {
    if (Enabled() != 1 || RegisteredWith() != 0) return 1;
    kivtest::WriteFile(ready, "");
    uint32_t first = 0;
    if (!kivtest::WaitFor([&] { return (first = RegisteredWith()) != 0; }, std::chrono::seconds(20)))
      return 2;
    kivtest::WriteFile(ready + "2", std::to_string(first));
    if (!kivtest::WaitFor([] { return RegisteredWith() == 0; }, std::chrono::seconds(20))) return 3;
    kivtest::WriteFile(dropped, "");
    if (!kivtest::WaitFor(
            [&] {
              uint32_t now = RegisteredWith();
              return now != 0 && now != first;
            },
            std::chrono::seconds(20)))
      return 4;
    kivtest::WriteFile(rejoined, "");
    std::exit(0);
  });
  ASSERT_TRUE(WaitForFile(ready));
  Start();
  ASSERT_TRUE(WaitForFile(ready + "2"));
  EXPECT_EQ(kivtest::ReadFile(ready + "2"), std::to_string(daemon));
  Kill();
  EXPECT_TRUE(WaitForFile(dropped));
  Start();
  EXPECT_TRUE(WaitForFile(rejoined));
  EXPECT_EQ(kivtest::WaitChild(client), 0);
  // It left by un-registering: its rings are gone.
  EXPECT_TRUE(kivtest::WaitFor([&] {
    return !kivtest::FileExists(temp + "KivTraceBuffer" + std::to_string(client) + ".map") &&
           !kivtest::FileExists(temp + "KivServerMessageBuffer" + std::to_string(client) + ".map");
  }));
  EXPECT_EQ(kivtest::Run("kivserver", {"stop"}).exitCode, 0);
}
