#include "ServiceDaemon/KivServiceDaemon.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "ServiceDaemon/Keyboard.h"
#include "ServiceDaemon/KivServiceFactory.h"
#include "Support/TestFork.h"
#include "TestSupport/Sandbox.h"

using ::testing::StartsWith;

namespace {
struct DaemonTest : ::testing::Test {
  kivtest::Sandbox sandbox;
  std::string temp = sandbox.TempDir();
};

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}
}  // namespace

TEST_F(DaemonTest, PidFilesMustHoldAPositiveId) {
  std::filesystem::create_directories(temp);
  std::string file = temp + "X.pid";
  kivtest::WriteFile(file, "1234\n");
  EXPECT_EQ(KivDaemon::GetServicePID(file), 1234);
  // 0 or a negative id would make kill() signal whole process groups.
  for (const char* content : {"0\n", "-1\n", "", "abc", "\n"}) {
    kivtest::WriteFile(file, content);
    EXPECT_EQ(ErrorOf([&] { KivDaemon::GetServicePID(file); }), "Bad logic:Get PID Error") << content;
  }
  EXPECT_THAT(ErrorOf([&] { KivDaemon::GetServicePID(temp + "missing.pid"); }),
              StartsWith("Open PID FILE error [OS call failed:2("));
}

TEST_F(DaemonTest, StoredPidIsForTheGroupOnlyAndReadBack) {
  std::filesystem::create_directories(temp);
  KivDaemon::StoreServicePID(temp + "Me.pid");
  EXPECT_EQ(kivtest::ReadFile(temp + "Me.pid"), std::to_string(getpid()) + "\n");
  EXPECT_EQ(std::filesystem::status(temp + "Me.pid").permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::group_write);
  EXPECT_EQ(KivDaemon::GetServicePID(temp + "Me.pid"), getpid());
}

TEST_F(DaemonTest, ClearingTempKeepsOnlyTheLockFileAndNeverFollowsLinks) {
  std::string outside = sandbox.Dir() + "/outside";
  std::filesystem::create_directories(outside);
  kivtest::WriteFile(outside + "/precious", "keep me");
  std::filesystem::create_directories(temp + "sub/deeper");
  kivtest::WriteFile(temp + "sub/deeper/file", "x");
  kivtest::WriteFile(temp + "trace.txt", "old");
  kivtest::WriteFile(temp + "KivDispatcher.lck", "");
  std::filesystem::create_directory_symlink(outside, temp + "sub/link");
  std::filesystem::create_directory_symlink(outside, temp + "toplink");

  KivDaemon::CheckDirectoryStatus(temp + "KivDispatcher.lck");
  EXPECT_EQ(kivtest::ListDir(temp), std::vector<std::string>{"KivDispatcher.lck"});
  EXPECT_EQ(kivtest::ReadFile(outside + "/precious"), "keep me");

  KivDaemon::CheckDirectoryStatus();
  EXPECT_TRUE(kivtest::ListDir(temp).empty());
  std::filesystem::remove_all(sandbox.Dir() + "/temp");
  KivDaemon::CheckDirectoryStatus();  // recreates both levels
  EXPECT_TRUE(std::filesystem::is_directory(temp));
}

TEST_F(DaemonTest, LockIsSeenFromOtherProcessesUntilItsHolderEnds) {
  KivDaemon::CreateTempDirectory();
  std::string lockFile = temp + "KivDispatcher.lck";
  EXPECT_FALSE(KivDaemon::IsProcessStart(lockFile));  // missing file
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = kivtest::StartChild([&] {
    if (!KivDaemon::TryToLockFile(lockFile)) return 1;
    char c = 1;
    if (write(ready[1], &c, 1) != 1) return 2;
    return read(release[0], &c, 1) == 1 ? 0 : 3;
  });
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_TRUE(KivDaemon::IsProcessStart(lockFile));
  EXPECT_EQ(KivDaemon::LockHolder(lockFile), child);
  EXPECT_EQ(kivtest::RunInChild([&] { return KivDaemon::TryToLockFile(lockFile) ? 1 : 0; }), 0);
  ASSERT_EQ(write(release[1], &c, 1), 1);
  EXPECT_EQ(kivtest::WaitChild(child), 0);
  EXPECT_FALSE(KivDaemon::IsProcessStart(lockFile));
  EXPECT_EQ(KivDaemon::LockHolder(lockFile), 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

TEST_F(DaemonTest, StopNeverSignalsAProcessThatDoesNotHoldTheDaemonLock) {
  KivDaemon::CreateTempDirectory();
  pid_t bystander = kivtest::StartChild([] {
    for (;;) pause();
    return 0;
  });
  kivtest::WriteFile(temp + "KivDispatcher.pid", std::to_string(bystander) + "\n");
  EXPECT_THAT(ErrorOf([] { KivDaemon::Stop("KivDispatcher"); }),
              StartsWith(" pid does not exists  [OS call failed:3("));
  usleep(100 * 1000);
  int status;
  EXPECT_EQ(waitpid(bystander, &status, WNOHANG), 0) << "the bystander was signalled";
  kill(bystander, SIGKILL);
  kivtest::WaitChild(bystander);
}

TEST_F(DaemonTest, StopWithoutAnyPidFileFails) {
  // The LSB PID file may belong to a daemon of another installation; either
  // way nothing may be signalled from here.
  EXPECT_NE(ErrorOf([] { KivDaemon::Stop("NoSuchDaemon"); }), "");
}

TEST(DaemonSignals, FirstStopSignalRequestsStopSecondTakesTheDefaultAction) {
  int rc = kivtest::RunInChild([] {
    KivDaemon::m_StopRequest = false;
    KivDaemon::InstallSignalHandlers(false);
    raise(SIGPIPE);
    if (KivDaemon::m_StopRequest.load()) return 1;
    raise(SIGTERM);
    if (!KivDaemon::m_StopRequest.load()) return 2;
    struct sigaction now {};
    sigaction(SIGTERM, nullptr, &now);
    if (now.sa_handler != SIG_DFL) return 3;
    raise(SIGTERM);
    return 4;  // still alive: the second signal was caught again
  });
  EXPECT_EQ(rc, 128 + SIGTERM);
}

TEST(Keyboard, PipeInputCountsEveryByteAndEndOfInputIsNotAKey) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  Keyboard keyboard(fds[0]);
  EXPECT_FALSE(keyboard.IsTerminal());
  EXPECT_FALSE(keyboard.KeyPressed(10));
  ASSERT_EQ(write(fds[1], "q", 1), 1);
  EXPECT_TRUE(keyboard.KeyPressed(1000));
  close(fds[1]);
  EXPECT_FALSE(keyboard.KeyPressed(1000));
  EXPECT_FALSE(keyboard.KeyPressed(10));
  close(fds[0]);
}

namespace {
struct CountingProvider {
  static std::atomic<int> calls;
  static std::atomic<bool> destroyed;
  static std::atomic<bool> calledAfterDestruction;
  CountingProvider() { destroyed = false; }
  ~CountingProvider() {
    destroyed = true;
    usleep(50 * 1000);  // give a still-running timer the chance to call us
  }
  void Worker() {
    if (destroyed) calledAfterDestruction = true;
    ++calls;
  }
};
std::atomic<int> CountingProvider::calls{0};
std::atomic<bool> CountingProvider::destroyed{false};
std::atomic<bool> CountingProvider::calledAfterDestruction{false};
}  // namespace

TEST(KivServiceFactory, RunsTheRegisteredProviderOnItsTimerAndStopsItFirst) {
  SetKivServiceFactory(nullptr);
  EXPECT_EQ(ErrorOf([] { CreateKivService(); }), "Bad logic:No service factory registered");
  SetKivServiceFactory(&MakeKivService<CountingProvider>);
  auto service = CreateKivService();
  EXPECT_TRUE(kivtest::WaitFor([] { return CountingProvider::calls.load() >= 2; }));
  service.reset();
  EXPECT_TRUE(CountingProvider::destroyed.load());
  EXPECT_FALSE(CountingProvider::calledAfterDestruction.load());
  SetKivServiceFactory(nullptr);
}
