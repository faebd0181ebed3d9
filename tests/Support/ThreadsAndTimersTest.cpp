#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>

#include "Support/AutoSingleton.h"
#include "Support/Logging.h"
#include "Support/MultithreadizedObject.h"
#include "Support/TestFork.h"
#include "Support/TimerClassMemberFunction.h"
#include "TestSupport/Sandbox.h"

namespace {
struct RaisingTarget {
  std::atomic<int> calls{0};
  void Worker() {
    ++calls;
    throw std::runtime_error("every time");
  }
};

struct SlowTarget {
  std::atomic<bool> inside{false};
  std::atomic<bool> finished{false};
  void Worker() {
    if (inside.exchange(true)) return;  // only the first call is slow
    usleep(300 * 1000);
    finished = true;
  }
};

struct Counted {
  static std::atomic<int> alive;
  static std::atomic<int> created;
  Counted() {
    ++alive;
    ++created;
  }
  ~Counted() { --alive; }
  int value = 0;
};
std::atomic<int> Counted::alive{0};
std::atomic<int> Counted::created{0};

struct OneShot {
  std::atomic<int> runs{0};
  void Worker() { ++runs; }
};
}  // namespace

TEST(TimerClassMemberFunction, KeepsCallingATargetThatRaises) {
  RaisingTarget target;
  TimerClassMemberFunction<RaisingTarget, true> timer(target, 10);
  EXPECT_TRUE(kivtest::WaitFor([&] { return target.calls.load() >= 3; }));
}

TEST(TimerClassMemberFunction, DestructionWaitsForTheCallInProgress) {
  SlowTarget target;
  auto timer = std::make_unique<TimerClassMemberFunction<SlowTarget, true>>(target, 1000);
  ASSERT_TRUE(kivtest::WaitFor([&] { return target.inside.load(); }));
  timer.reset();
  EXPECT_TRUE(target.finished.load());
}

TEST(MultithreadizedObject, RunsWorkerOnceAndJoins) {
  OneShot shot;
  {
    MultithreadizedObject<OneShot, true> thread(shot);
    EXPECT_TRUE(kivtest::WaitFor([&] { return thread.Finished(); }));
  }
  EXPECT_EQ(shot.runs.load(), 1);
}

TEST(MultithreadizedObject, DiagnosticModeLogsCreationAndReturn) {
  kivtest::Sandbox sandbox;
  std::filesystem::create_directories(sandbox.TempDir());
  int rc = kivtest::RunInChild([] {
    setenv("DIAGNOSTIC_MODE", "1", 1);
    Logging::ResetDiagnosticModeForTesting();
    OneShot shot;
    { MultithreadizedObject<OneShot, true> thread(shot); }
    return shot.runs.load() == 1 ? 0 : 1;
  });
  ASSERT_EQ(rc, 0);
  std::string log = kivtest::ReadFile(sandbox.TempDir() + "trace.txt");
  EXPECT_NE(log.find("Thread: Thread "), std::string::npos) << log;
  EXPECT_NE(log.find(" created.\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Thread: Worker function for thread ID:"), std::string::npos) << log;
  EXPECT_NE(log.find(" returns:0\n"), std::string::npos) << log;
}

TEST(MultithreadizedObject, AStartedThreadIsJoinedEvenWhenTheDiagnosticLogCannotBeOpened) {
  // The sandbox's temp directory is never made, so every diagnostic line
  // fails, as it does when descriptors run out.
  kivtest::Sandbox sandbox;
  int rc = kivtest::RunInChild([] {
    setenv("DIAGNOSTIC_MODE", "1", 1);
    Logging::ResetDiagnosticModeForTesting();
    OneShot shot;
    try {
      TimerClassMemberFunction<OneShot, true> timer(shot, 10);
      if (!kivtest::WaitFor([&] { return shot.runs.load() >= 2; })) return 2;
    } catch (...) {
      return 3;  // raised although the thread was running
    }
    return 0;
  });
  EXPECT_EQ(rc, 0);
}

TEST(AutoSingleton, HandlesShareOneInstanceUntilTheLastGoes) {
  int createdBefore = Counted::created.load();
  auto first = std::make_unique<AutoSingleton<Counted>>();
  auto second = std::make_unique<AutoSingleton<Counted>>();
  EXPECT_EQ(first->Get(), second->Get());
  EXPECT_EQ(Counted::alive.load(), 1);
  (*first)->value = 5;
  first.reset();
  EXPECT_EQ(Counted::alive.load(), 1);
  EXPECT_EQ((*second)->value, 5);
  second.reset();
  EXPECT_EQ(Counted::alive.load(), 0);
  AutoSingleton<Counted> fresh;
  EXPECT_EQ(fresh->value, 0);
  EXPECT_EQ(Counted::created.load(), createdBefore + 2);
}
