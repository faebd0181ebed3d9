#include "Support/SharedMemory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>

#include "Support/MappedAccess.h"
#include "Support/SharedFutex.h"
#include "Support/TestFork.h"
#include "TestSupport/Sandbox.h"

using ::testing::EndsWith;
using ::testing::StartsWith;

namespace {
struct SharedMemoryTest : ::testing::Test {
  kivtest::Sandbox sandbox;
  void SetUp() override { std::filesystem::create_directories(sandbox.TempDir()); }
};
}  // namespace

TEST_F(SharedMemoryTest, CreatorAndOpenerSeeTheSameBytesAcrossProcesses) {
  SharedMemory created("Ring", 524);
  EXPECT_EQ(created.Length(), 524u);
  EXPECT_EQ(created.Path(), sandbox.TempDir() + "Ring.map");
  EXPECT_TRUE(created.Owner());
  std::memcpy(created.Data(), "hello", 5);

  int rc = kivtest::RunInChild([] {
    SharedMemory opened("Ring");
    if (opened.Owner() || opened.Length() != 524) return 1;
    if (std::memcmp(opened.Data(), "hello", 5) != 0) return 2;
    std::memcpy(opened.Data() + 100, "back", 4);
    return 0;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(std::memcmp(created.Data() + 100, "back", 4), 0);
}

// Another process's mapping of the same file shares the wait: a child
// blocked on the word (seen in its system call) is woken by the parent.
TEST_F(SharedMemoryTest, WaiterOnAWordInAnotherProcessIsWokenThroughItsOwnMapping) {
  SharedMemory created("Wake", 64);
  auto* word = reinterpret_cast<uint32_t*>(created.Data() + 4);
  const pid_t child = kivtest::StartChild([] {
    SharedMemory opened("Wake");
    return static_cast<int>(SharedFutex::Wait(reinterpret_cast<uint32_t*>(opened.Data() + 4), 0, 60000));
  });
  kivtest::ChildGuard guard(child);
  // The number and arguments of the call it is blocked in: the futex, expecting 0.
  const std::string inWait = std::to_string(SYS_futex) + " ";
  ASSERT_TRUE(kivtest::WaitFor([&] {
    const std::string call = kivtest::ReadFile("/proc/" + std::to_string(child) + "/syscall");
    return call.rfind(inWait, 0) == 0 && call.find(" 0x0 0x0 ") != std::string::npos;
  }));
  std::atomic_ref<uint32_t>(*word).store(1);
  EXPECT_TRUE(SharedFutex::Wake(word));
  EXPECT_EQ(guard.Wait(), static_cast<int>(SharedFutex::Waited::Woken));
}

TEST_F(SharedMemoryTest, OnlyTheCreatorRemovesTheFile) {
  std::string path = sandbox.TempDir() + "Owned.map";
  {
    SharedMemory created("Owned", 64);
    { SharedMemory opened("Owned"); }
    EXPECT_TRUE(kivtest::FileExists(path));
  }
  EXPECT_FALSE(kivtest::FileExists(path));
}

TEST_F(SharedMemoryTest, OpeningMapsTheCurrentFileLength) {
  kivtest::WriteFile(sandbox.TempDir() + "Odd.map", std::string(37, 'x'));
  SharedMemory opened("Odd");
  EXPECT_EQ(opened.Length(), 37u);
  EXPECT_EQ(opened.Data()[36], 'x');
}

TEST_F(SharedMemoryTest, MissingFileReportsTheSystemError) {
  try {
    SharedMemory opened("Missing");
    FAIL() << "opened a missing file";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), StartsWith("Can not open file"));
    EXPECT_THAT(e.what(), EndsWith("[OS call failed:2(No such file or directory)]"));
  }
}

TEST_F(SharedMemoryTest, ZeroLengthFileCannotBeMapped) {
  kivtest::WriteFile(sandbox.TempDir() + "Empty.map", "");
  try {
    SharedMemory opened("Empty");
    FAIL() << "mapped an empty file";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), StartsWith("Can not open file mapping"));
  }
  // Creating with size 0 fails the same way and leaves no descriptor behind.
  EXPECT_THROW(SharedMemory("Zero", 0), std::runtime_error);
}

TEST_F(SharedMemoryTest, MissingTempDirectoryFailsCreation) {
  std::filesystem::remove_all(sandbox.TempDir());
  try {
    SharedMemory created("Ring", 16);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), StartsWith("Can not create for shared memory [OS call failed:2("));
  }
}

TEST_F(SharedMemoryTest, MapFileModeFollowsTheInstallationDirectory) {
  ASSERT_EQ(chmod(sandbox.Dir().c_str(), 0750), 0);
  {
    SharedMemory created("Mode", 16);
    struct stat st;
    ASSERT_EQ(stat(created.Path().c_str(), &st), 0);
    // Others get nothing, the installation's group read and write.
    EXPECT_EQ(st.st_mode & 0777, 0660u);
  }
  ASSERT_EQ(chmod(sandbox.Dir().c_str(), 0777), 0);
  SharedMemory open("Mode2", 16);
  struct stat st;
  ASSERT_EQ(stat(open.Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(SharedMemoryTest, CreatingTruncatesAStaleFile) {
  kivtest::WriteFile(sandbox.TempDir() + "Stale.map", std::string(4096, 'z'));
  SharedMemory created("Stale", 32);
  struct stat st;
  ASSERT_EQ(stat(created.Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 32);
  EXPECT_EQ(created.Data()[0], 0);
}

TEST_F(SharedMemoryTest, TruncationWhileMappedIsSeenItsFaultCaughtAndTheCreatorRestoresTheLength) {
  SharedMemory created("Cut", 8192);
  SharedMemory opened("Cut");
  ASSERT_EQ(truncate(created.Path().c_str(), 0), 0);
  EXPECT_FALSE(opened.IsIntact());
  char byte = 1;
  EXPECT_FALSE(MappedAccess::Copy(&byte, opened.Data() + 4096, 1));
  // A word there cannot be waited on: reported, not faulted, not slept on.
  auto* word = reinterpret_cast<uint32_t*>(opened.Data() + 4096);
  EXPECT_EQ(SharedFutex::Wait(word, 0, 60000), SharedFutex::Waited::Failed);
  EXPECT_FALSE(opened.RestoreLength());  // only the creator may
  ASSERT_TRUE(created.RestoreLength());
  EXPECT_TRUE(opened.IsIntact());
  EXPECT_TRUE(MappedAccess::Copy(&byte, opened.Data() + 4096, 1));
  EXPECT_EQ(byte, 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // A fault outside any guarded step keeps its default action (a sanitizer
  // would report it as a crash of its own).
  EXPECT_EQ(kivtest::RunInChild([&] {
              MappedAccess::Install();
              if (truncate(created.Path().c_str(), 0) != 0) return 1;
              return static_cast<int>(opened.Data()[4096]);
            }),
            128 + SIGBUS);
#endif
}

TEST_F(SharedMemoryTest, PlantedLinksHardLinksAndForeignFilesAreRefused) {
  const std::string temp = sandbox.TempDir();
  kivtest::WriteFile(sandbox.Dir() + "/victim", "victim");
  std::filesystem::create_symlink(sandbox.Dir() + "/victim", temp + "Link.map");
  std::filesystem::create_hard_link(sandbox.Dir() + "/victim", temp + "Hard.map");
  ASSERT_EQ(mkfifo((temp + "Fifo.map").c_str(), 0600), 0);
  kivtest::WriteFile(temp + "Foreign.map", std::string(64, 'f'));
  ASSERT_EQ(chown((temp + "Foreign.map").c_str(), 4321, 4321), 0);
  for (const char* name : {"Link", "Hard", "Fifo"}) EXPECT_ANY_THROW(SharedMemory opened(name)) << name;
  EXPECT_ANY_THROW(SharedMemory opened("Foreign", SharedMemory::OwnedBy{1234}));
  SharedMemory foreignOwner("Foreign", SharedMemory::OwnedBy{4321});
  // Creating over a planted link replaces the link, never writes through it.
  { SharedMemory created("Link", 16); }
  EXPECT_EQ(kivtest::ReadFile(sandbox.Dir() + "/victim"), "victim");
}
