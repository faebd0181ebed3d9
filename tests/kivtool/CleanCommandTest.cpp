#include <gtest/gtest.h>

#include <sstream>

#include "KivToolTestSupport.h"
#include "kivtool/LogCleaner.h"

using kivtooltest::kBanner;
using kivtooltest::ToolSandbox;

namespace {

struct CleanSandbox : ToolSandbox {
  CleanSandbox() {
    kivtest::WriteFile(logDir + "kivlog-LOCAL-20040101-00h00m00.000s.txt", "a");
    kivtest::WriteFile(logDir + "kivlog-LOCAL-20040101-00h00m01.000s_p.txt", "b");
    kivtest::WriteFile(logDir + "kivlog-notes.txt.bak", "keep");
    kivtest::WriteFile(logDir + "other.txt", "keep");
    kivtest::WriteFile(logDir + "EXPORT-kivlog-A.txt", "keep");
    mkdir((logDir + "kivlog-dir.txt").c_str(), 0777);
  }
  std::vector<std::string> Left() const { return kivtest::ListDir(logDir); }
  const std::vector<std::string> kUntouched{"EXPORT-kivlog-A.txt", "kivlog-dir.txt", "kivlog-notes.txt.bak",
                                            "other.txt"};
  const std::vector<std::string> kAll{"EXPORT-kivlog-A.txt",
                                      "kivlog-LOCAL-20040101-00h00m00.000s.txt",
                                      "kivlog-LOCAL-20040101-00h00m01.000s_p.txt",
                                      "kivlog-dir.txt",
                                      "kivlog-notes.txt.bak",
                                      "other.txt"};
};

LogCleaner::Answer Ask(const std::string& input, std::string* shown = nullptr) {
  std::istringstream in(input);
  std::ostringstream out;
  LogCleaner::Answer answer = LogCleaner::Confirm("/logs/", in, out);
  if (shown) *shown = out.str();
  return answer;
}

}  // namespace

TEST(LogCleaner, RemovesOnlyLogFilesEndingInTxtOrJson) {
  CleanSandbox s;
  kivtest::WriteFile(s.logDir + "kivlog-LOCAL-20040101-00h00m02.000s.json", "{}\n");
  kivtest::WriteFile(s.logDir + "kivlog-LOCAL.json.txt", "x");  // both fragments: removed once
  kivtest::WriteFile(s.logDir + "kivlog-x.json.gz", "keep");
  EXPECT_EQ(LogCleaner::DeleteFile(s.logDir), 4u);
  unlink((s.logDir + "kivlog-x.json.gz").c_str());
  EXPECT_EQ(s.Left(), s.kUntouched);
}

TEST(LogCleaner, ConfirmationAnswers) {
  EXPECT_EQ(Ask("y"), LogCleaner::Answer::Yes);
  EXPECT_EQ(Ask("Y\n"), LogCleaner::Answer::Yes);
  EXPECT_EQ(Ask("n"), LogCleaner::Answer::No);
  EXPECT_EQ(Ask("  N  "), LogCleaner::Answer::No);
  EXPECT_EQ(Ask(""), LogCleaner::Answer::NoAnswer);
  std::string shown;
  EXPECT_EQ(Ask("yes maybe\nn", &shown), LogCleaner::Answer::No);
  EXPECT_EQ(shown,
            "Are you sure to delete all the log data stored in /logs/\n"
            "Please select (Y or N ) : Please select (Y or N ) : Please select (Y or N ) : ");
  EXPECT_EQ(Ask("yes"), LogCleaner::Answer::NoAnswer);
}

TEST(CleanCommand, YesDeletesAndSaysSo) {
  CleanSandbox s;
  for (const char* answer : {"y\n", "Y\n"}) {
    kivtest::WriteFile(s.logDir + "kivlog-X.txt", "x");
    auto r = kivtest::Run("kivtool", {"clean"}, answer);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, std::string(kBanner) + "Are you sure to delete all the log data stored in " + s.logDir +
                         "\nPlease select (Y or N ) : All log files have been deleted.\n");
    EXPECT_EQ(s.Left(), s.kUntouched);
  }
}

TEST(CleanCommand, NoCancelsAfterRepeatedPrompts) {
  CleanSandbox s;
  auto r = kivtest::Run("kivtool", {"CLEAN"}, "yes\nn\n");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, std::string(kBanner) + "Are you sure to delete all the log data stored in " + s.logDir +
                       "\nPlease select (Y or N ) : Please select (Y or N ) : ");
  EXPECT_EQ(s.Left(), s.kAll);
}

TEST(CleanCommand, ForceAsksAndPrintsNothing) {
  CleanSandbox s;
  auto r = kivtest::Run("kivtool", {"clean", "-F"}, "n\n");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, kBanner);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(s.Left(), s.kUntouched);
}

TEST(CleanCommand, InputEndingBeforeAnAnswerDeletesNothing) {
  CleanSandbox s;
  auto r = kivtest::Run("kivtool", {"clean"}, "maybe");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("no log files have been deleted"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("All log files have been deleted."), std::string::npos) << r.err;
  EXPECT_EQ(s.Left(), s.kAll);
}

TEST(CleanCommand, EmptyDirectoryStillAsksAndConfirms) {
  ToolSandbox s;
  auto r = kivtest::Run("kivtool", {"clean"}, "Y");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.err.find("Please select (Y or N ) : All log files have been deleted.\n"), std::string::npos)
      << r.err;
}

TEST(CleanCommand, ConfigurationWithoutLogDirectoryIsAFailedOperation) {
  ToolSandbox s;
  kivtest::WriteFile(s.logDir + "kivlog-X.txt", "x");
  s.box.WriteConfig("<KIVConfig trace=\"0\"/>");
  auto r = kivtest::Run("kivtool", {"clean", "-f"});
  EXPECT_EQ(r.exitCode, 255);
  EXPECT_NE(r.err.find("Operation failed.\nError description:"), std::string::npos) << r.err;
  EXPECT_TRUE(kivtest::FileExists(s.logDir + "kivlog-X.txt"));
}
