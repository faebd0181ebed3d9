#include "ServiceMonitor/ServiceAvailabilityUsingPIDFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "Support/TestFork.h"
#include "TestSupport/Sandbox.h"

namespace {
struct ServiceAvailabilityTest : ::testing::Test {
  kivtest::Sandbox sandbox;
  void SetUp() override { std::filesystem::create_directories(sandbox.TempDir()); }
};
}  // namespace

TEST_F(ServiceAvailabilityTest, PublishesPidWhileAliveAndRemovesBothFiles) {
  std::string pidFile = sandbox.TempDir() + "KivService.pid";
  std::string lockFile = sandbox.TempDir() + "KivService.lck";
  {
    ServiceAvailabilityUsingPIDFile service("KivService");
    EXPECT_EQ(service.PidFilePath(), pidFile);
    EXPECT_EQ(kivtest::ReadFile(pidFile), std::to_string(getpid()) + "\n");
    EXPECT_TRUE(ExclusiveAccessUsingLockFile::IsHeld("KivService"));
  }
  EXPECT_FALSE(kivtest::FileExists(pidFile));
  EXPECT_FALSE(kivtest::FileExists(lockFile));
}

TEST_F(ServiceAvailabilityTest, SecondInstanceFailsWithoutTouchingTheFirstOnesFiles) {
  std::string pidFile = sandbox.TempDir() + "KivService.pid";
  ServiceAvailabilityUsingPIDFile service("KivService");
  std::string before = kivtest::ReadFile(pidFile);
  int rc = kivtest::RunInChild([] {
    try {
      ServiceAvailabilityUsingPIDFile second("KivService");
      return 1;
    } catch (const std::runtime_error& e) {
      return std::string(e.what()).rfind("Fail to lock the file", 0) == 0 ? 0 : 2;
    }
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(kivtest::ReadFile(pidFile), before);
  EXPECT_TRUE(ExclusiveAccessUsingLockFile::IsHeld("KivService"));
}

TEST_F(ServiceAvailabilityTest, UnwritablePidFileReleasesTheLock) {
  // A directory in the PID file's place makes its open fail.
  std::filesystem::create_directories(sandbox.TempDir() + "Blocked.pid");
  try {
    ServiceAvailabilityUsingPIDFile service("Blocked");
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Bad logic:Error open PID file");
  }
  EXPECT_FALSE(kivtest::FileExists(sandbox.TempDir() + "Blocked.lck"));
  // The name is free again once the obstacle is gone.
  std::filesystem::remove(sandbox.TempDir() + "Blocked.pid");
  ServiceAvailabilityUsingPIDFile service("Blocked");
  EXPECT_TRUE(kivtest::FileExists(sandbox.TempDir() + "Blocked.pid"));
}
