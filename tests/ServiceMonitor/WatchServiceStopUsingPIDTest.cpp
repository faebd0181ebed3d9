#include "ServiceMonitor/WatchServiceStopUsingPID.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <stdexcept>

#include "Support/TestFork.h"

namespace {
struct CountingWatch : WatchServiceStopUsingPID {
  int stopped = 0;
  bool raise = false;
  void OnServiceStopped() override {
    ++stopped;
    if (raise) throw std::runtime_error("handler failure");
  }
};
}  // namespace

TEST(WatchServiceStopUsingPID, RunningProcessIsLeftAlone) {
  CountingWatch watch;
  EXPECT_TRUE(watch.Check(static_cast<uint32_t>(getpid())));
  EXPECT_EQ(watch.stopped, 0);
  EXPECT_EQ(WatchServiceStopUsingPID::StatusFilePath(4711), "/proc/4711/status");
}

TEST(WatchServiceStopUsingPID, ZombieAndReapedProcessesCountAsStopped) {
  pid_t child = kivtest::StartChild([] {
    pause();
    return 0;
  });
  ASSERT_GT(child, 0);
  CountingWatch watch;
  EXPECT_TRUE(watch.Check(static_cast<uint32_t>(child)));
  kill(child, SIGKILL);
  // Not reaped yet: a zombie has ended all the same.
  for (int i = 0; i < 1000 && WatchServiceStopUsingPID::IsProcessRunning(static_cast<uint32_t>(child)); ++i)
    usleep(10000);
  EXPECT_FALSE(watch.Check(static_cast<uint32_t>(child)));
  EXPECT_EQ(watch.stopped, 1);
  kivtest::WaitChild(child);
  EXPECT_FALSE(watch.Check(static_cast<uint32_t>(child)));
  EXPECT_EQ(watch.stopped, 2);
  EXPECT_FALSE(WatchServiceStopUsingPID::IsProcessRunning(0));
}

TEST(WatchServiceStopUsingPID, FailureOfTheHandlerIsDiscarded) {
  pid_t child = kivtest::StartChild([] { return 0; });
  kivtest::WaitChild(child);
  CountingWatch watch;
  watch.raise = true;
  EXPECT_NO_THROW(EXPECT_FALSE(watch.Check(static_cast<uint32_t>(child))));
  EXPECT_EQ(watch.stopped, 1);
}
