#include "ServiceMonitor/WatchServiceStartUsingPIDFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ServiceMonitor/ServiceAvailabilityUsingPIDFile.h"
#include "Support/TestFork.h"
#include "TestSupport/Sandbox.h"

namespace {
struct RecordingStartWatch : WatchServiceStartUsingPIDFile {
  std::vector<uint32_t> started;
  void OnServiceStarted(uint32_t pid) override { started.push_back(pid); }
};

struct StartWatchTest : ::testing::Test {
  kivtest::Sandbox sandbox;
  void SetUp() override { std::filesystem::create_directories(sandbox.TempDir()); }
  std::string Temp(const char* file) const { return sandbox.TempDir() + file; }
};

uint32_t Parse(const char* text) { return WatchServiceStartUsingPIDFile::ParsePid(text, std::strlen(text)); }

// The id of a process that has ended and been reaped.
uint32_t GonePid() {
  pid_t child = kivtest::StartChild([] { return 0; });
  kivtest::WaitChild(child);
  return static_cast<uint32_t>(child);
}
}  // namespace

TEST(StartWatchPidText, OnlyPlainDecimalIdsCount) {
  EXPECT_EQ(Parse("4711\n"), 4711u);
  EXPECT_EQ(Parse("4711"), 4711u);
  EXPECT_EQ(Parse("2147483647\n"), 2147483647u);
  for (const char* bad : {"", "\n", "0\n", "-5\n", " 12\n", "12 \n", "12\n\n", "1x\n", "2147483648\n",
                          "99999999999999999999\n"})
    EXPECT_EQ(Parse(bad), 0u) << bad;
}

TEST_F(StartWatchTest, RunningServiceIsReportedWithItsPid) {
  RecordingStartWatch watch;
  EXPECT_FALSE(watch.Check("KivService"));  // nothing published yet
  {
    ServiceAvailabilityUsingPIDFile service("KivService");
    EXPECT_TRUE(watch.Check("KivService"));
    ASSERT_EQ(watch.started.size(), 1u);
    EXPECT_EQ(watch.started[0], static_cast<uint32_t>(getpid()));
    EXPECT_EQ(WatchServiceStartUsingPIDFile::RunningServicePid("KivService"),
              static_cast<uint32_t>(getpid()));
    EXPECT_EQ(WatchServiceStartUsingPIDFile::RunningServicePid("Other"), 0u);
  }
  EXPECT_FALSE(watch.Check("KivService"));
  EXPECT_EQ(watch.started.size(), 1u);
}

TEST_F(StartWatchTest, StaleOrDamagedFilesMeanNotRunning) {
  RecordingStartWatch watch;
  // Files a crashed service left behind: nobody holds the lock, whether the
  // recorded process is gone or its id now belongs to a live process.
  kivtest::WriteFile(Temp("KivService.lck"), "");
  kivtest::WriteFile(Temp("KivService.pid"), std::to_string(GonePid()) + "\n");
  EXPECT_FALSE(watch.Check("KivService"));
  kivtest::WriteFile(Temp("KivService.pid"), std::to_string(getpid()) + "\n");
  EXPECT_FALSE(watch.Check("KivService"));
  std::filesystem::remove(Temp("KivService.lck"));

  // A live holder of the lock, but a PID file that is damaged or names a
  // process that is gone.
  ServiceAvailabilityUsingPIDFile service("KivService");
  for (std::string text :
       {std::string(), std::string("garbage\n"), std::string(100, '7'), std::to_string(GonePid()) + "\n"}) {
    kivtest::WriteFile(Temp("KivService.pid"), text);
    EXPECT_FALSE(watch.Check("KivService")) << text;
  }
  std::filesystem::remove(Temp("KivService.pid"));
  EXPECT_FALSE(watch.Check("KivService"));
  EXPECT_TRUE(watch.started.empty());
}

TEST_F(StartWatchTest, AServiceInAnotherProcessIsSeenUntilItEnds) {
  int ready[2], finish[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(finish), 0);
  pid_t child = kivtest::StartChild([&] {
    ServiceAvailabilityUsingPIDFile service("KivService");
    char c = 1;
    if (write(ready[1], &c, 1) != 1) return 1;
    if (read(finish[0], &c, 1) != 1) return 2;
    return 0;
  });
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  RecordingStartWatch watch;
  EXPECT_TRUE(watch.Check("KivService"));
  ASSERT_EQ(watch.started.size(), 1u);
  EXPECT_EQ(watch.started[0], static_cast<uint32_t>(child));
  ASSERT_EQ(write(finish[1], &c, 1), 1);
  EXPECT_EQ(kivtest::WaitChild(child), 0);
  EXPECT_FALSE(watch.Check("KivService"));
  for (int fd : {ready[0], ready[1], finish[0], finish[1]}) close(fd);
}

TEST_F(StartWatchTest, FailureOfTheHandlerReachesTheCaller) {
  struct Throwing : WatchServiceStartUsingPIDFile {
    void OnServiceStarted(uint32_t) override { throw std::runtime_error("registration failed"); }
  } watch;
  ServiceAvailabilityUsingPIDFile service("KivService");
  EXPECT_THROW(watch.Check("KivService"), std::runtime_error);
}
