#include "Support/InterProcessLock.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "Support/AutoSync.h"
#include "Support/ExclusiveAccessUsingLockFile.h"
#include "Support/SharedMemory.h"
#include "Support/TestFork.h"
#include "TestSupport/Sandbox.h"

namespace {
struct InterProcessLockTest : ::testing::Test {
  kivtest::Sandbox sandbox;
  void SetUp() override { std::filesystem::create_directories(sandbox.TempDir()); }
};

// Read-yield-write on a shared counter: loses updates unless the lock
// serialises the two processes.
int Increment(const char* lockName, int rounds) {
  SharedMemory counter("Counter");
  InterProcessLock lock(lockName);
  for (int i = 0; i < rounds; ++i) {
    AutoSync<InterProcessLock> guard(lock);
    volatile uint32_t* value = reinterpret_cast<volatile uint32_t*>(counter.Data());
    uint32_t seen = *value;
    sched_yield();
    *value = seen + 1;
  }
  return 0;
}
}  // namespace

TEST_F(InterProcessLockTest, SerialisesProcesses) {
  SharedMemory counter("Counter", 4);
  pid_t a = kivtest::StartChild([] { return Increment("CounterLock", 2000); });
  pid_t b = kivtest::StartChild([] { return Increment("CounterLock", 2000); });
  EXPECT_EQ(kivtest::WaitChild(a), 0);
  EXPECT_EQ(kivtest::WaitChild(b), 0);
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(counter.Data()), 4000u);
}

TEST_F(InterProcessLockTest, WaiterGetsTheLockOnlyAfterRelease) {
  SharedMemory flag("Flag", 4);
  InterProcessLock lock("FlagLock");
  pid_t child;
  {
    AutoSync<InterProcessLock> guard(lock);
    child = kivtest::StartChild([] {
      SharedMemory shared("Flag");
      InterProcessLock mine("FlagLock");
      AutoSync<InterProcessLock> held(mine);
      *reinterpret_cast<volatile uint32_t*>(shared.Data()) = 1;
      return 0;
    });
    // Whatever the child's speed, it cannot have written while we hold the lock.
    usleep(200 * 1000);
    EXPECT_EQ(*reinterpret_cast<volatile uint32_t*>(flag.Data()), 0u);
  }
  EXPECT_EQ(kivtest::WaitChild(child), 0);
  EXPECT_EQ(*reinterpret_cast<volatile uint32_t*>(flag.Data()), 1u);
}

TEST_F(InterProcessLockTest, TwoObjectsInOneProcessExcludeEachOther) {
  InterProcessLock first("Local");
  InterProcessLock second("Local");
  std::atomic<bool> entered{false};
  std::thread other;
  {
    AutoSync<InterProcessLock> guard(first);
    other = std::thread([&] {
      AutoSync<InterProcessLock> held(second);
      entered = true;
    });
    usleep(100 * 1000);
    EXPECT_FALSE(entered.load());
  }
  other.join();
  EXPECT_TRUE(entered.load());
}

TEST_F(InterProcessLockTest, DestructionRemovesTheFileAndANewObjectRecreatesIt) {
  std::string path = sandbox.TempDir() + "Gone.lck";
  {
    InterProcessLock lock("Gone");
    EXPECT_TRUE(kivtest::FileExists(path));
  }
  EXPECT_FALSE(kivtest::FileExists(path));
  InterProcessLock again("Gone");
  AutoSync<InterProcessLock> guard(again);
  EXPECT_TRUE(kivtest::FileExists(path));
}

TEST_F(InterProcessLockTest, MissingDirectoryIsAnError) {
  std::filesystem::remove_all(sandbox.TempDir());
  try {
    InterProcessLock lock("X");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Unable to open lock file [OS call failed:2(", 0), 0u) << e.what();
  }
}

TEST_F(InterProcessLockTest, ExclusiveAccessRefusesASecondHolderAndKeepsItsFile) {
  std::string path = sandbox.TempDir() + "Only.lck";
  {
    ExclusiveAccessUsingLockFile first("Only");
    EXPECT_TRUE(ExclusiveAccessUsingLockFile::IsHeld("Only"));
    int rc = kivtest::RunInChild([] {
      try {
        ExclusiveAccessUsingLockFile second("Only");
        return 1;
      } catch (const std::runtime_error& e) {
        return std::string(e.what()).rfind("Fail to lock the file", 0) == 0 ? 0 : 2;
      }
    });
    EXPECT_EQ(rc, 0);
    // Also refused inside the same process.
    EXPECT_THROW(ExclusiveAccessUsingLockFile("Only"), std::runtime_error);
    EXPECT_TRUE(kivtest::FileExists(path));
    EXPECT_TRUE(ExclusiveAccessUsingLockFile::IsHeld("Only"));
  }
  EXPECT_FALSE(kivtest::FileExists(path));
  EXPECT_FALSE(ExclusiveAccessUsingLockFile::IsHeld("Only"));
  // Free again: another process may take it now.
  EXPECT_EQ(kivtest::RunInChild([] {
              ExclusiveAccessUsingLockFile again("Only");
              return 0;
            }),
            0);
}

TEST_F(InterProcessLockTest, ExclusiveAccessIsReleasedWhenTheHolderDies) {
  int rc = kivtest::RunInChild([] {
    new ExclusiveAccessUsingLockFile("Crash");  // never destroyed: the process just ends
    _exit(0);
    return 0;
  });
  ASSERT_EQ(rc, 0);
  EXPECT_TRUE(kivtest::FileExists(sandbox.TempDir() + "Crash.lck"));
  EXPECT_FALSE(ExclusiveAccessUsingLockFile::IsHeld("Crash"));
  ExclusiveAccessUsingLockFile taken("Crash");
  EXPECT_TRUE(ExclusiveAccessUsingLockFile::IsHeld("Crash"));
}

TEST_F(InterProcessLockTest, ExclusiveAccessOpenFailureIsALogicError) {
  std::filesystem::remove_all(sandbox.TempDir());
  try {
    ExclusiveAccessUsingLockFile lock("Nowhere");
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Bad logic:Error opening lock file, exclusive access denined");
  }
}
