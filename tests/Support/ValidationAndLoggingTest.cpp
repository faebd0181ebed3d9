#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "Support/Logging.h"
#include "Support/TestFork.h"
#include "Support/Validation2Exception.h"
#include "TestSupport/Sandbox.h"

using ::testing::EndsWith;

TEST(Validation2Exception, OSCallCarriesTheSystemError) {
  errno = 0;
  int fd = open("/nonexistent-kiv-dir/file", O_RDONLY);
  try {
    Validation2Exception::CheckOSCall(fd >= 0, "Can not open it");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Can not open it [OS call failed:2(No such file or directory)]");
    const auto* extended = dynamic_cast<const GenericExtendedException*>(&e);
    ASSERT_NE(extended, nullptr);
    EXPECT_THAT(extended->File, EndsWith("ValidationAndLoggingTest.cpp"));
    EXPECT_STREQ(extended->what(), e.what());
  }
}

TEST(Validation2Exception, MessagesAndLocations) {
  try {
    Validation2Exception::CheckLogic(false, "x", "f", 7);
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Bad logic:x");
    const auto& extended = dynamic_cast<const GenericExtendedException&>(e);
    EXPECT_EQ(extended.File, "f");
    EXPECT_EQ(extended.Line, 7u);
  }
  try {
    Validation2Exception::CheckParameter(false, "p");
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Bad parameter:p");
  }
  try {
    Validation2Exception::CheckMemoryAllocation(false, "m");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Memory allocation failed:m");
  }
  EXPECT_NO_THROW(Validation2Exception::CheckLogic(true, "never"));
}

namespace {
// In a child (the mode is cached per process): sets DIAGNOSTIC_MODE (or
// unsets it for nullptr), fails one check and returns 0 if the check raised.
int FailOneCheckWithMode(const char* mode) {
  if (mode)
    setenv("DIAGNOSTIC_MODE", mode, 1);
  else
    unsetenv("DIAGNOSTIC_MODE");
  Logging::ResetDiagnosticModeForTesting();
  Logging::SetProgramPrefix("KIVSERVER: ");
  try {
    Validation2Exception::CheckLogic(false, "x", "some/file.cpp", 42);
  } catch (const std::logic_error&) {
    return 0;
  }
  return 1;
}
}  // namespace

TEST(Logging, DiagnosticModeOneWritesExactlyOneExtendedExceptionLine) {
  kivtest::Sandbox sandbox;
  std::filesystem::create_directories(sandbox.TempDir());
  ASSERT_EQ(kivtest::RunInChild([] { return FailOneCheckWithMode("1"); }), 0);
  std::string log = kivtest::ReadFile(sandbox.TempDir() + "trace.txt");
  std::regex line(R"(\d\d:\d\d:\d\d\.\d\d\d KIVSERVER: Extended exception:some/file\.cpp:42-Bad logic:x\n)");
  EXPECT_TRUE(std::regex_match(log, line)) << log;
}

TEST(Logging, ReportOSCallWritesTheCheckLineAndGoesOn) {
  kivtest::Sandbox sandbox;
  std::filesystem::create_directories(sandbox.TempDir());
  int rc = kivtest::RunInChild([] {
    setenv("DIAGNOSTIC_MODE", "1", 1);
    Logging::ResetDiagnosticModeForTesting();
    Logging::SetProgramPrefix("KIVSERVER: ");
    if (!Validation2Exception::ReportOSCall(true, "never")) return 1;
    errno = ENOENT;
    if (Validation2Exception::ReportOSCall(false, "Can not remove it", "some/file.cpp", 9)) return 2;
    return errno == ENOENT ? 0 : 3;
  });
  ASSERT_EQ(rc, 0);
  std::string log = kivtest::ReadFile(sandbox.TempDir() + "trace.txt");
  std::regex line(R"(\d\d:\d\d:\d\d\.\d\d\d KIVSERVER: Extended exception:some/file\.cpp:9-)"
                  R"(Can not remove it \[OS call failed:2\(No such file or directory\)\]\n)");
  EXPECT_TRUE(std::regex_match(log, line)) << log;
  // A log that cannot be written is passed over, not raised.
  std::filesystem::remove_all(sandbox.TempDir());
  EXPECT_EQ(kivtest::RunInChild([] {
              setenv("DIAGNOSTIC_MODE", "1", 1);
              Logging::ResetDiagnosticModeForTesting();
              return Validation2Exception::ReportOSCall(false, "x") ? 1 : 0;
            }),
            0);
}

TEST(Logging, OtherModesWriteNothing) {
  kivtest::Sandbox sandbox;
  std::filesystem::create_directories(sandbox.TempDir());
  for (const char* mode : {static_cast<const char*>(nullptr), "0", "true", "01", "", "1 "}) {
    EXPECT_EQ(kivtest::RunInChild([mode] { return FailOneCheckWithMode(mode); }), 0);
    EXPECT_FALSE(kivtest::FileExists(sandbox.TempDir() + "trace.txt")) << (mode ? mode : "(unset)");
  }
}

TEST(Logging, ModeIsReadOncePerProcess) {
  kivtest::Sandbox sandbox;
  std::filesystem::create_directories(sandbox.TempDir());
  int rc = kivtest::RunInChild([] {
    setenv("DIAGNOSTIC_MODE", "0", 1);
    Logging::ResetDiagnosticModeForTesting();
    if (Logging::GetDiagnosticMode() != 1) return 1;
    setenv("DIAGNOSTIC_MODE", "1", 1);
    return Logging::GetDiagnosticMode() == 1 ? 0 : 2;
  });
  EXPECT_EQ(rc, 0);
}

TEST(Logging, UnwritableLogFileRaisesTheIntegerOne) {
  kivtest::Sandbox sandbox;  // {temp} does not exist
  try {
    Logging::Write("text\n");
    FAIL();
  } catch (int code) {
    EXPECT_EQ(code, 1);
  }
}

TEST(Logging, SyncAppendsWholeLinesAndKeepsTheText) {
  kivtest::Sandbox sandbox;
  std::filesystem::create_directories(sandbox.TempDir());
  int rc = kivtest::RunInChild([] {
    Logging::SetProgramPrefix("KIVCLIENT: ");
    for (int i = 0; i < 2; ++i) {
      Logging log;
      log << "entry " << i << "\n";
      log.Sync();
      if (log.str() != "entry " + std::to_string(i) + "\n") return 1;
    }
    return 0;
  });
  ASSERT_EQ(rc, 0);
  std::string log = kivtest::ReadFile(sandbox.TempDir() + "trace.txt");
  std::regex lines(
      R"((\d\d:\d\d:\d\d\.\d\d\d KIVCLIENT: entry 0\n)(\d\d:\d\d:\d\d\.\d\d\d KIVCLIENT: entry 1\n))");
  EXPECT_TRUE(std::regex_match(log, lines)) << log;
}
