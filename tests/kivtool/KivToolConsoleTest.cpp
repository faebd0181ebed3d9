#include <gtest/gtest.h>

#include "KivToolTestSupport.h"

namespace {
const char* kHelp =
    "Syntax: kivtool command [options]\n"
    "\n"
    "kivtool pause: Pause tracing temporary\n"
    "kivtool resume: Resume from temporary paused tracing\n"
    "kivtool reload: Reload configuration\n"
    "kivtool preservation -[on|off]: Turn on/off preservation mode\n"
    "kivtool export [-d source_dir|-s source_file] [-f [dest_file]|-m dest_dir]: Export trace data\n"
    "       if [-silent] tag is on, no status output to console\n"
    "kivtool clean [-f]: Clean and remove all log files\n"
    "kivtool follow [-d log_dir] [filters] [-format text|json|csv] [-utc]: Show records as they are written\n"
    "kivtool status: Show the state of the dispatcher\n"
    "kivtool command -h: Usage of a command, its filters and output formats\n";
}

TEST(KivToolConsole, SyntaxErrorsShowTheirTextAndTheHelp) {
  kivtooltest::ToolSandbox s;
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {{{"nosuch", "-x"}, "Invalid command"},
               {{}, "Incorrect number of arguments"},
               {{"clean", "f"}, "Incorrect option syntax"},
               {{"clean", "-"}, "Missing option name"}};
  for (const Case& c : cases) {
    auto r = kivtest::Run("kivtool", c.args);
    EXPECT_EQ(r.exitCode, 255) << c.message;
    EXPECT_EQ(r.err, std::string(kivtooltest::kBanner) + c.message + ".\n\n" + kHelp);
    EXPECT_EQ(r.out, "");
  }
}

TEST(KivToolConsole, HelpRunsNothingAndBadOptionsNameThemselvesWithTheCommandsUsage) {
  kivtooltest::ToolSandbox s;
  for (const char* overview : {"help", "--help", "-h"}) {
    auto r = kivtest::Run("kivtool", {overview});
    EXPECT_EQ(r.exitCode, 0) << overview;
    EXPECT_EQ(r.out, kHelp) << overview;
  }
  auto usage = kivtest::Run("kivtool", {"export", "-d", "/nonexistent", "--help"});
  EXPECT_EQ(usage.exitCode, 0);
  ASSERT_EQ(usage.out.rfind("Syntax: kivtool export ", 0), 0u) << usage.out;
  EXPECT_EQ(usage.err, kivtooltest::kBanner);  // no failure: the export did not run

  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {{{"pause", "-x"}, "Unknown option -x"},
               {{"export", "-d"}, "Option -d needs a value"},
               {{"export", "-m", "-silent"}, "Option -m needs a value"},
               {{"follow", "-since"}, "Option -since needs a value"},
               {{"clean", "-f", "-yes"}, "Unknown option -yes"}};
  for (const Case& c : cases) {
    auto r = kivtest::Run("kivtool", c.args);
    EXPECT_EQ(r.exitCode, 255) << c.message;
    std::string usageText = kivtest::Run("kivtool", {c.args[0], "-h"}).out;
    EXPECT_EQ(r.err, std::string(kivtooltest::kBanner) + c.message + ".\n\n" + usageText);
  }
}
