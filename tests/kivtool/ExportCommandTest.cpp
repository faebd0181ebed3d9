#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "KivToolTestSupport.h"
#include "TraceLogBuilder.h"

using kivtooltest::BinaryLog;
using kivtooltest::Block;
using kivtooltest::BlockAround;
using kivtooltest::kBanner;
using kivtooltest::Records;

namespace {

struct ExportSandbox : kivtooltest::ToolSandbox {
  std::string out = box.Dir() + "/out/";
  uint32_t sequence = 1;
  ExportSandbox() { mkdir(out.c_str(), 0777); }
  void Log(const std::string& name, const std::vector<std::vector<std::string>>& blocks) {
    std::vector<std::string> encoded;
    for (const auto& messages : blocks) encoded.push_back(Block(4242, messages, sequence));
    kivtest::WriteFile(logDir + name, BinaryLog(encoded));
  }
};

// The messages of the record lines after the title line: each line ends in
// its message.
std::vector<std::string> Messages(const std::string& text) {
  std::vector<std::string> messages;
  EXPECT_EQ(text.substr(0, 128), KivTextFileOutputSupport::GetHeader());
  std::istringstream lines(text.size() > 128 ? text.substr(128) : "");
  for (std::string line; std::getline(lines, line);) {
    messages.push_back(line.substr(line.rfind(' ') + 1));
  }
  return messages;
}

// Runs kivtool in `directory` as its current directory.
kivtest::RunResult RunIn(const std::string& directory, const std::vector<std::string>& args) {
  char previous[4096];
  EXPECT_NE(getcwd(previous, sizeof previous), nullptr);
  EXPECT_EQ(chdir(directory.c_str()), 0);
  auto r = kivtest::Run("kivtool", args);
  EXPECT_EQ(chdir(previous), 0);
  return r;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(ExportCommand, DirectoryToOneFileKeepsFileOrder) {
  ExportSandbox s;
  s.Log("kivlog-B.txt", {{"b1", "b2"}});
  s.Log("kivlog-A.txt", {{"a1"}, {"a2"}});
  auto r = kivtest::Run("kivtool", {"export", "-d", s.logDir, "-f", s.out + "out.txt", "-silent"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, kBanner);
  EXPECT_EQ(Messages(kivtest::ReadFile(s.out + "out.txt")), (Lines{"a1", "a2", "b1", "b2"}));
}

TEST(ExportCommand, DirectoryToOneFilePerLogFile) {
  ExportSandbox s;
  s.Log("kivlog-A.txt", {{"a1", "a2"}});
  s.Log("kivlog-AB.txt", {{"ab1"}});
  s.Log("kivlog-B.txt", {{"b1"}});
  auto r = kivtest::Run("kivtool", {"export", "-D", s.logDir, "-m", s.out, "-SILENT"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(kivtest::ListDir(s.out),
            (Lines{"EXPORT-kivlog-A.txt", "EXPORT-kivlog-AB.txt", "EXPORT-kivlog-B.txt"}));
  // Each output holds its own file only, not every file its name prefixes.
  EXPECT_EQ(Messages(kivtest::ReadFile(s.out + "EXPORT-kivlog-A.txt")), (Lines{"a1", "a2"}));
  EXPECT_EQ(Messages(kivtest::ReadFile(s.out + "EXPORT-kivlog-AB.txt")), (Lines{"ab1"}));
  EXPECT_EQ(Messages(kivtest::ReadFile(s.out + "EXPORT-kivlog-B.txt")), (Lines{"b1"}));
}

TEST(ExportCommand, NeitherFNorMWritesOneFilePerLogFileIntoTheCurrentDirectory) {
  ExportSandbox s;
  s.Log("kivlog-A.txt", {{"a1"}});
  auto r = RunIn(s.out, {"export", "-d", s.logDir, "-silent"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Messages(kivtest::ReadFile(s.out + "EXPORT-kivlog-A.txt")), (Lines{"a1"}));
}

TEST(ExportCommand, SourceFileWritesExportFileInCurrentDirectory) {
  ExportSandbox s;
  s.Log("kivlog-A.txt", {{"a1"}, {"a2"}});
  s.Log("kivlog-B.txt", {{"b1"}});
  auto r = RunIn(s.out, {"export", "-s", s.logDir + "kivlog-A.txt", "-silent"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(kivtest::ListDir(s.out), (Lines{"EXPORT-kivlog-A.txt"}));
  EXPECT_EQ(Messages(kivtest::ReadFile(s.out + "EXPORT-kivlog-A.txt")), (Lines{"a1", "a2"}));

  r = kivtest::Run("kivtool", {"export", "-s", s.logDir + "kivlog-B.txt", "-f", s.out + "b.txt", "-silent"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Messages(kivtest::ReadFile(s.out + "b.txt")), (Lines{"b1"}));
}

TEST(ExportCommand, JsonLogsAreCopiedAsTheyAre) {
  ExportSandbox s;
  s.Log("kivlog-A.txt", {{"a1"}});
  const std::string j1 = "{\"seq\":1}\n", j2 = "{\"seq\":2}\n";
  kivtest::WriteFile(s.logDir + "kivlog-J-1.json", j1);
  kivtest::WriteFile(s.logDir + "kivlog-J-2.json", j2);
  auto r = kivtest::Run("kivtool", {"export", "-d", s.logDir, "-m", s.out, "-silent"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(kivtest::ListDir(s.out),
            (Lines{"EXPORT-kivlog-A.txt", "EXPORT-kivlog-J-1.json", "EXPORT-kivlog-J-2.json"}));
  EXPECT_EQ(kivtest::ReadFile(s.out + "EXPORT-kivlog-J-2.json"), j2);

  // One file: the text of the binary logs, the JSON logs beside it in order.
  r = kivtest::Run("kivtool", {"export", "-d", s.logDir, "-f", s.out + "all.txt", "-silent"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Messages(kivtest::ReadFile(s.out + "all.txt")), (Lines{"a1"}));
  EXPECT_EQ(kivtest::ReadFile(s.out + "all.json"), j1 + j2);

  r = RunIn(s.out, {"export", "-s", s.logDir + "kivlog-J-1.json", "-silent"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(kivtest::ReadFile(s.out + "EXPORT-kivlog-J-1.json"), j1);
}

TEST(ExportCommand, SmallAndForeignFilesAreSkipped) {
  ExportSandbox s;
  s.Log("kivlog-A.txt", {{"a1"}});
  kivtest::WriteFile(s.logDir + "kivlog-B.txt", std::string(100, 'x'));
  kivtest::WriteFile(s.logDir + "kivlog-C.txt", std::string(300, 'y'));
  auto r = kivtest::Run("kivtool", {"export", "-d", s.logDir, "-f", s.out + "all.txt", "-silent"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Messages(kivtest::ReadFile(s.out + "all.txt")), (Lines{"a1"}));

  r = kivtest::Run("kivtool", {"export", "-d", s.logDir, "-m", s.out, "-silent"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(kivtest::ReadFile(s.out + "EXPORT-kivlog-B.txt"), KivTextFileOutputSupport::GetHeader());
  EXPECT_EQ(kivtest::ReadFile(s.out + "EXPORT-kivlog-C.txt"), KivTextFileOutputSupport::GetHeader());
}

TEST(ExportCommand, ProgressUnlessSilent) {
  ExportSandbox s;
  s.Log("kivlog-A.txt", {{"a1"}, {"a2"}});
  auto loud = kivtest::Run("kivtool", {"export", "-d", s.logDir, "-f", s.out + "x.txt"});
  EXPECT_EQ(loud.exitCode, 0);
  EXPECT_NE(loud.err.find("**********  [100%]"), std::string::npos) << loud.err;
  auto silent = kivtest::Run("kivtool", {"export", "-d", s.logDir, "-f", s.out + "y.txt", "-silent"});
  EXPECT_EQ(silent.err, kBanner);
  EXPECT_EQ(silent.out, "");
}

TEST(ExportCommand, DefaultsToTheConfiguredDirectoryAndSeparatorOption) {
  ExportSandbox s;
  s.Log("kivlog-A.txt", {{"a1"}});
  auto r = kivtest::Run("kivtool", {"export", "-f", s.out + "x.txt", "-l", ",", "-silent"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::string text = kivtest::ReadFile(s.out + "x.txt");
  EXPECT_NE(text.find(",  4242,         77,mod,lab,cli,a1\n"), std::string::npos) << text;
}

TEST(ExportCommand, EmptyOrMissingSourceIsAFailureThatWritesNothing) {
  ExportSandbox s;
  kivtest::WriteFile(s.logDir + "kivlog-C.txt", std::string(300, 'y'));  // foreign only
  for (const std::string& source : {s.logDir, s.box.Dir() + "/nonexistent"}) {
    auto r = kivtest::Run("kivtool", {"export", "-d", source, "-f", s.out + "x.txt"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find("Error description:no log files in " + source + "\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("[100%]"), std::string::npos) << r.err;
  }
  auto r = RunIn(s.out, {"export", "-s", s.logDir + "kivlog-Z.txt"});
  EXPECT_EQ(r.exitCode, 255);
  EXPECT_TRUE(kivtest::ListDir(s.out).empty());
}

TEST(ExportCommand, ReportsTheFilesWrittenAndTheirRecordsUnlessSilent) {
  ExportSandbox s;
  s.Log("kivlog-A.txt", {{"a1", "a2"}});
  s.Log("kivlog-B.txt", {{"b1"}});
  auto r = RunIn(s.out, {"export", "-d", s.logDir});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.err.find("Wrote 2 records to ./EXPORT-kivlog-A.txt\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Wrote 1 record to ./EXPORT-kivlog-B.txt\n"), std::string::npos) << r.err;
  r = RunIn(s.out, {"export", "-d", s.logDir, "-silent"});
  EXPECT_EQ(r.err, kBanner);
}

TEST(ExportCommand, TruncatedBlockEndsOnlyItsFileAndFails) {
  ExportSandbox s;
  std::string good = Block(1, {"a1", "a2"}, s.sequence);
  std::string cut = Block(1, {"lost"}, s.sequence);
  kivtest::WriteFile(s.logDir + "kivlog-A.txt", BinaryLog({good, cut.substr(0, cut.size() - 3)}));
  s.Log("kivlog-B.txt", {{"b1"}});
  auto r = kivtest::Run("kivtool", {"export", "-d", s.logDir, "-f", s.out + "x.txt", "-silent"});
  EXPECT_EQ(r.exitCode, 255);
  EXPECT_NE(r.err.find("Operation failed.\nError description:"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("kivlog-A.txt: " + std::to_string(cut.size() - 3) + " bytes skipped"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Messages(kivtest::ReadFile(s.out + "x.txt")), (Lines{"a1", "a2", "b1"}));
}

TEST(ExportCommand, GarbageBetweenBlocksKeepsWhatCameBeforeAndFails) {
  ExportSandbox s;
  std::string garbage;
  for (int i = 0; i < 200; ++i) garbage += static_cast<char>(i * 37 + 11);
  kivtest::WriteFile(s.logDir + "kivlog-A.txt",
                     BinaryLog({Block(1, {"a1"}, s.sequence), garbage, Block(1, {"a2"}, s.sequence)}));
  auto r = kivtest::Run("kivtool", {"export", "-d", s.logDir, "-f", s.out + "x.txt", "-silent"});
  EXPECT_EQ(r.exitCode, 255);
  EXPECT_NE(r.err.find("Operation failed.\nError description:"), std::string::npos) << r.err;
  Lines messages = Messages(kivtest::ReadFile(s.out + "x.txt"));
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0], "a1");
}

TEST(ExportCommand, RecordCutInsideABlockLosesOnlyTheRestOfThatBlockAndFails) {
  ExportSandbox s;
  std::string body = Records({"a1", "a1b"}, s.sequence);
  std::string cut = Records({"lost"}, s.sequence);
  std::string damaged = BlockAround(1, body + cut.substr(0, cut.size() - 2));
  kivtest::WriteFile(s.logDir + "kivlog-A.txt", BinaryLog({damaged, Block(1, {"a2"}, s.sequence)}));
  auto r = kivtest::Run("kivtool", {"export", "-d", s.logDir, "-f", s.out + "x.txt", "-silent"});
  EXPECT_EQ(r.exitCode, 255);
  EXPECT_NE(r.err.find("Operation failed.\nError description:1 damaged trace block"), std::string::npos)
      << r.err;
  EXPECT_EQ(Messages(kivtest::ReadFile(s.out + "x.txt")), (Lines{"a1", "a1b", "a2"}));
}

TEST(ExportCommand, SourceFileWithoutValueIsASyntaxError) {
  ExportSandbox s;
  auto r = kivtest::Run("kivtool", {"export", "-s", "-silent"});
  EXPECT_EQ(r.exitCode, 255);
  EXPECT_NE(r.err.find("Option -s needs a value.\n\nSyntax: kivtool export"), std::string::npos) << r.err;
}
