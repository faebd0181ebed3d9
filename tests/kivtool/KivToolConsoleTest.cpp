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
    "kivtool clean [-f]: Clean and remove all log files\n";
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
