#include "ServiceMonitor/WatchServiceStopUsingPID.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <stdexcept>

#include "ServiceMonitor/WatchedProcess.h"
#include "Support/TestFork.h"
#include "TestSupport/Sandbox.h"

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
  WatchedProcess self(static_cast<uint32_t>(getpid()));
  EXPECT_TRUE(self.HasDescriptor());
  EXPECT_TRUE(watch.Check(self));
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
  const WatchedProcess handle(static_cast<uint32_t>(child));
  EXPECT_TRUE(handle.IsRunning());
  kill(child, SIGKILL);
  // Not reaped yet: a zombie has ended all the same.
  EXPECT_TRUE(kivtest::WaitFor([&] { return !handle.IsRunning(); }));
  EXPECT_FALSE(WatchServiceStopUsingPID::IsProcessRunning(static_cast<uint32_t>(child)));
  EXPECT_FALSE(watch.Check(static_cast<uint32_t>(child)));
  EXPECT_EQ(watch.stopped, 1);
  const WatchedProcess ofTheZombie(static_cast<uint32_t>(child));
  EXPECT_FALSE(ofTheZombie.IsRunning());
  kivtest::WaitChild(child);
  EXPECT_FALSE(watch.Check(static_cast<uint32_t>(child)));
  EXPECT_FALSE(watch.Check(handle));
  EXPECT_EQ(watch.stopped, 3);
  EXPECT_FALSE(WatchedProcess(static_cast<uint32_t>(child)).IsRunning());
  EXPECT_FALSE(WatchServiceStopUsingPID::IsProcessRunning(0));
  EXPECT_FALSE(WatchedProcess(0).IsRunning());
}

// A process whose main thread has ended shows as a zombie while its other
// threads go on; it runs until the last of them ends. A process killed by a
// signal passes through the same state while its threads are torn down,
// still holding its descriptors and file locks.
TEST(WatchServiceStopUsingPID, ZombieMainThreadWithThreadsLeftStillRuns) {
  pid_t child = fork();
  if (child == 0) {
    // The main thread ends alone through the plain exit call: pthread_exit
    // would unwind into the test framework's catch-all and abort.
    pthread_t thread;
    if (pthread_create(
            &thread, nullptr,
            [](void*) -> void* {
              for (;;) pause();
            },
            nullptr) != 0)
      _exit(1);
    syscall(SYS_exit, 0);
  }
  ASSERT_GT(child, 0);
  const std::string status = WatchServiceStopUsingPID::StatusFilePath(static_cast<uint32_t>(child));
  const bool mainThreadEnded = kivtest::WaitFor([&] {
    const std::string text = kivtest::ReadFile(status);
    return text.find("\nState:\tZ") != std::string::npos;
  });
  CountingWatch watch;
  EXPECT_TRUE(mainThreadEnded);
  EXPECT_TRUE(WatchServiceStopUsingPID::IsProcessRunning(static_cast<uint32_t>(child)));
  EXPECT_TRUE(watch.Check(static_cast<uint32_t>(child)));
  const WatchedProcess handle(static_cast<uint32_t>(child));
  EXPECT_TRUE(watch.Check(handle));
  EXPECT_EQ(watch.stopped, 0);

  kill(child, SIGKILL);
  EXPECT_TRUE(kivtest::WaitFor([&] { return !handle.IsRunning(); }));
  EXPECT_FALSE(WatchServiceStopUsingPID::IsProcessRunning(static_cast<uint32_t>(child)));
  EXPECT_FALSE(watch.Check(static_cast<uint32_t>(child)));
  EXPECT_EQ(watch.stopped, 1);
  EXPECT_EQ(kivtest::WaitChild(child), 128 + SIGKILL);
}

TEST(WatchServiceStopUsingPID, FailureOfTheHandlerIsDiscarded) {
  pid_t child = kivtest::StartChild([] { return 0; });
  kivtest::WaitChild(child);
  CountingWatch watch;
  watch.raise = true;
  EXPECT_NO_THROW(EXPECT_FALSE(watch.Check(static_cast<uint32_t>(child))));
  EXPECT_EQ(watch.stopped, 1);
}
