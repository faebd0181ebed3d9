#include "CommandProcess/CmdProcess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
// Remembers the options of its last call.
struct Recorder : CommandLineParser::CommandProcessor {
  int calls = 0;
  CommandLineParser::CommandOptions seen;
  void Process(CommandLineParser::CommandOptions& options) override {
    ++calls;
    seen = options;
  }
};

struct CmdProcessTest : ::testing::Test {
  CommandLineParser parser;
  Recorder start, exportCmd;
  void SetUp() override {
    parser.AddCommandProcessor("start", &start);
    parser.AddCommandProcessor("Export", &exportCmd);
  }
  void Run(std::vector<const char*> args) { parser.Process(static_cast<int>(args.size()), args.data()); }
  // The SyntaxException text for `args`, or "" when none was raised.
  std::string SyntaxError(std::vector<const char*> args) {
    try {
      Run(args);
    } catch (const CommandLineParser::SyntaxException& e) {
      return e.what();
    }
    return "";
  }
};
}  // namespace

TEST_F(CmdProcessTest, RepeatedOptionKeepsTheFirstValueAndNamesIgnoreCase) {
  Run({"START", "-a", "1", "-A", "2"});
  ASSERT_EQ(start.calls, 1);
  ASSERT_EQ(start.seen.size(), 1u);
  EXPECT_EQ(start.seen.Get("A"), "1");
}

TEST_F(CmdProcessTest, OptionsWithAndWithoutValues) {
  Run({"export", "-in", "File.BIN", "-v"});
  ASSERT_EQ(exportCmd.calls, 1);
  EXPECT_EQ(exportCmd.seen.Get("IN"), "File.BIN");  // values keep their case
  EXPECT_TRUE(exportCmd.seen.Has("V"));
  EXPECT_EQ(exportCmd.seen.Get("V"), "");
  EXPECT_FALSE(exportCmd.seen.Has("in"));
  // A word starting with "-" is never a value.
  Run({"export", "-in", "-v"});
  EXPECT_EQ(exportCmd.seen.Get("IN"), "");
  EXPECT_TRUE(exportCmd.seen.Has("V"));
}

TEST_F(CmdProcessTest, SyntaxMessages) {
  EXPECT_EQ(SyntaxError({}), "Incorrect number of arguments");
  EXPECT_EQ(SyntaxError({"start", "value"}), "Incorrect option syntax");
  EXPECT_EQ(SyntaxError({"start", "-"}), "Missing option name");
  EXPECT_EQ(SyntaxError({"start", "-x", "1", "2"}), "Incorrect option syntax");
  EXPECT_EQ(SyntaxError({"nosuch", "-x"}), "Invalid command");
  EXPECT_EQ(SyntaxError({"nosuch", "x"}), "Incorrect option syntax");
  EXPECT_EQ(start.calls, 0);
  try {
    parser.Process(1, nullptr);
    FAIL();
  } catch (const CommandLineParser::SyntaxException& e) {
    EXPECT_STREQ(e.what(), "Invalid arguments");
    EXPECT_GT(e.Line, 0u);
    EXPECT_FALSE(e.File.empty());
  }
}

TEST_F(CmdProcessTest, MissingOptionValueIsASyntaxError) {
  Run({"start", "-x"});
  try {
    start.seen.Get("Y");
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Command option not found");
  }
}

TEST_F(CmdProcessTest, RegistrationKeepsTheFirstProcessorAndRejectsNull) {
  Recorder later;
  parser.AddCommandProcessor("START", &later);
  Run({"start"});
  EXPECT_EQ(start.calls, 1);
  EXPECT_EQ(later.calls, 0);
  try {
    parser.AddCommandProcessor("other", nullptr);
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Bad parameter:NewProcessor is not a valid pointer");
  }
}

TEST_F(CmdProcessTest, ProcessorFailuresPassThroughUnchanged) {
  struct Failing : CommandLineParser::CommandProcessor {
    void Process(CommandLineParser::CommandOptions&) override { throw std::runtime_error("boom"); }
  } failing;
  parser.AddCommandProcessor("fail", &failing);
  try {
    Run({"FAIL"});
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "boom");
  }
}
