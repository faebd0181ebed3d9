#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <list>

#include "Support/CFileSystem.h"
#include "Support/CRuntimeInfo.h"
#include "Support/ConfigPath.h"
#include "Support/FileDescriptor.h"
#include "Support/SmartBuffer.h"
#include "TestSupport/Sandbox.h"

namespace {
// Sets or unsets environment variables for one test and restores them.
class EnvGuard {
 public:
  void Set(const char* name, const char* value) {
    Save(name);
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~EnvGuard() {
    for (auto it = m_Saved.rbegin(); it != m_Saved.rend(); ++it) {
      if (it->had)
        setenv(it->name.c_str(), it->value.c_str(), 1);
      else
        unsetenv(it->name.c_str());
    }
  }

 private:
  void Save(const char* name) {
    const char* v = getenv(name);
    m_Saved.push_back({name, v != nullptr, v ? v : ""});
  }
  struct Saved {
    std::string name;
    bool had;
    std::string value;
  };
  std::vector<Saved> m_Saved;
};
}  // namespace

TEST(CRuntimeInfo, ExpandsEnvironmentReferences) {
  EnvGuard env;
  env.Set("KIV_A", "/x");
  env.Set("KIV_B", nullptr);
  EXPECT_EQ(CRuntimeInfo::FormatEnvironmentVariables("$(KIV_A)$(KIV_B)"), "/x/");
  EXPECT_EQ(CRuntimeInfo::FormatEnvironmentVariables("pre$(KIV_A"), "pre");
  EXPECT_EQ(CRuntimeInfo::FormatEnvironmentVariables("$(KIV_A)/temp/KIV/"), "/x/temp/KIV/");
  EXPECT_EQ(CRuntimeInfo::FormatEnvironmentVariables("$(KIV_B)/temp/KIV/"), "/temp/KIV/");
  EXPECT_EQ(CRuntimeInfo::FormatEnvironmentVariables("no references"), "no references");
  env.Set("OLVAN_VORNEL_DIR", "/srv/vornel");
  EXPECT_EQ(CRuntimeInfo::TempDirectory(), "/srv/vornel/temp/KIV/");
  // A trailing "/" in the value makes a run of three: one pair collapses.
  env.Set("OLVAN_VORNEL_DIR", "/srv/vornel/");
  EXPECT_EQ(CRuntimeInfo::TempDirectory(), "/srv/vornel//temp/KIV/");
  // Unset, the installation directory is the one compiled in; other
  // variables still expand to nothing.
  env.Set("OLVAN_VORNEL_DIR", nullptr);
  EXPECT_EQ(CRuntimeInfo::TempDirectory(),
            std::string(CRuntimeInfo::kDefaultInstallationDirectory) + "/temp/KIV/");
  EXPECT_EQ(CRuntimeInfo::FormatEnvironmentVariables("$(KIV_B)/log"), "/log");
}

TEST(CRuntimeInfo, CollapsesDoubledSeparatorsWithoutOverlap) {
  EXPECT_EQ(CRuntimeInfo::RemoveRedundantDirectorySeparators("a///b"), "a//b");
  EXPECT_EQ(CRuntimeInfo::RemoveRedundantDirectorySeparators("a////b//c"), "a//b/c");
  EXPECT_EQ(CRuntimeInfo::RemoveRedundantDirectorySeparators("/a/b/"), "/a/b/");
}

TEST(ConfigPath, FirstSetNonEmptyVariableWins) {
  EnvGuard env;
  env.Set("KIV_FIRST", "");
  env.Set("KIV_SECOND", "/second");
  EXPECT_EQ(ConfigPath({"KIV_FIRST", "KIV_SECOND"}).Get(), "/second/");
  env.Set("KIV_FIRST", "/first/");
  EXPECT_EQ(ConfigPath({"KIV_FIRST", "KIV_SECOND"}).Get(), "/first/");
  env.Set("KIV_FIRST", nullptr);
  env.Set("KIV_SECOND", nullptr);
  EXPECT_EQ(ConfigPath({"KIV_FIRST", "KIV_SECOND"}).Get(), "");
}

TEST(ConfigPath, KivConfigurationFileLocation) {
  EnvGuard env;
  env.Set("QPLXCFGPATH", nullptr);
  env.Set("OLVAN_VORNEL_CFG", "/srv/conf");
  EXPECT_EQ(std::string(KivConfigPathPolicy()), "/srv/conf/cfg/KivConfigLinux.xml");
  env.Set("OLVAN_VORNEL_CFG", "/opt/x/cfg");
  EXPECT_EQ(KivConfigPathPolicy().Get(), "/opt/x/cfg/KivConfigLinux.xml");
  env.Set("OLVAN_VORNEL_CFG", nullptr);
  EXPECT_EQ(KivConfigPathPolicy().Get(),
            std::string(CRuntimeInfo::kDefaultConfigurationDirectory) + "/KivConfigLinux.xml");
  env.Set("QPLXCFGPATH", "/q");
  EXPECT_EQ(KivConfigPathPolicy().Get(), "/q/cfg/KivConfigLinux.xml");
}

TEST(SmartBuffer, GrowsByTheRoundedRequestAndKeepsTheContents) {
  SmartBuffer<32> buffer;
  EXPECT_EQ(buffer.Capacity(), 32u);
  for (int i = 0; i < 32; ++i) buffer.Data()[i] = static_cast<uint8_t>(i);
  buffer.ExpandSize(20);
  EXPECT_EQ(buffer.Capacity(), 32u);
  buffer.ExpandSize(100);
  EXPECT_EQ(buffer.Capacity(), 160u);
  for (int i = 0; i < 32; ++i) ASSERT_EQ(buffer.Data()[i], i);
  buffer.Data()[159] = 7;
  buffer.ExpandSize(161);
  EXPECT_EQ(buffer.Capacity(), 160u + 160u + 32u);
  EXPECT_EQ(buffer.Data()[159], 7);
}

TEST(CFileSystem, FindsEntriesByPrefixAndFragment) {
  kivtest::Sandbox sandbox;
  for (const char* name : {"KivLog_001.bin", "KivLog_002.txt", "Other_001.bin", "KivLog.bin"})
    kivtest::WriteFile(sandbox.Dir() + "/" + name, "");
  std::list<std::string> names{"kept"};
  CFileSystem::FindAllFiles(sandbox.Dir(), "KivLog", ".bin", names);
  ASSERT_EQ(names.front(), "kept");
  names.pop_front();
  names.sort();
  EXPECT_EQ(names, (std::list<std::string>{"KivLog.bin", "KivLog_001.bin"}));

  std::list<std::string> withBackslash;
  CFileSystem::FindAllFiles(sandbox.Dir() + "\\", "Other", "", withBackslash);
  EXPECT_EQ(withBackslash, (std::list<std::string>{"Other_001.bin"}));

  std::list<std::string> none;
  CFileSystem::FindAllFiles(sandbox.Dir() + "/missing", "", "", none);
  EXPECT_TRUE(none.empty());
}

TEST(CFileSystem, CreateDirectoriesMakesMissingParentsAndRefusesAFile) {
  kivtest::Sandbox sandbox;
  std::string nested = sandbox.Dir() + "/a/b/c\\";
  EXPECT_TRUE(CFileSystem::CreateDirectories(nested));
  EXPECT_TRUE(kivtest::FileExists(sandbox.Dir() + "/a/b/c"));
  EXPECT_TRUE(CFileSystem::CreateDirectories(sandbox.Dir() + "/a/b/"));  // already there

  kivtest::WriteFile(sandbox.Dir() + "/plain", "x");
  EXPECT_FALSE(CFileSystem::CreateDirectories(sandbox.Dir() + "/plain"));
  EXPECT_FALSE(CFileSystem::CreateDirectories(sandbox.Dir() + "/plain/below"));
}

TEST(FileDescriptor, OwnsExactlyOneDescriptorUntilReleased) {
  auto isOpen = [](int fd) { return fcntl(fd, F_GETFD) != -1; };
  const int first = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int second = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  {
    FileDescriptor owner(first);
    FileDescriptor moved(std::move(owner));
    EXPECT_FALSE(owner.valid());
    EXPECT_EQ(moved.get(), first);
    FileDescriptor other(second);
    other = std::move(moved);  // closes `second`
    EXPECT_FALSE(isOpen(second));
    EXPECT_EQ(other.release(), first);
    EXPECT_TRUE(owner.close());  // owning nothing is not a failure
  }
  EXPECT_TRUE(isOpen(first));  // released: nobody closed it
  {
    FileDescriptor owner(first);
    errno = ENOENT;
    owner.reset();  // an implicit close keeps the caller's errno
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(isOpen(first));
  }
  const int third = open("/dev/null", O_RDONLY | O_CLOEXEC);
  { FileDescriptor owner(third); }
  EXPECT_FALSE(isOpen(third));
}
