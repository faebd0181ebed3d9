#include <gtest/gtest.h>

#include "KivToolTestSupport.h"
#include "kivtool/ExportCommand.h"

namespace {
ExportRequest Request(std::initializer_list<std::pair<const std::string, std::string>> options) {
  CommandLineParser::CommandOptions parsed;
  parsed.insert(options.begin(), options.end());
  return ExportCommandProcessor::MakeRequest(parsed);
}
}  // namespace

TEST(ExportOptions, SourceAndOutputSelection) {
  kivtooltest::ToolSandbox s;
  // D wins over S; only F without M gives one output file.
  ExportRequest r = Request({{"D", "/d"}, {"S", "/x/kivlog-A.txt"}, {"F", "out"}, {"M", "/m"}});
  EXPECT_FALSE(r.fromFile);
  EXPECT_EQ(r.source, "/d");
  EXPECT_FALSE(r.singleOutput);
  EXPECT_EQ(r.output, "/m");

  r = Request({{"D", "/d"}, {"F", ""}});
  EXPECT_TRUE(r.singleOutput);
  EXPECT_EQ(r.output, "");  // the exporter's default, kivexport.txt

  r = Request({{"S", "/x/kivlog-A.txt"}, {"M", "/m"}, {"L", ","}, {"SILENT", ""}});
  EXPECT_TRUE(r.fromFile);
  EXPECT_EQ(r.source, "/x/kivlog-A.txt");
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(r.render.separator, ",");
  EXPECT_FALSE(r.showProgress);

  // No D (or an empty one): the configured directory, expanded.
  r = Request({{"D", ""}});
  EXPECT_EQ(r.source, s.box.Dir() + "/log");
  EXPECT_FALSE(r.singleOutput);
  EXPECT_EQ(r.render.separator, " ");
  EXPECT_TRUE(r.showProgress);
}

TEST(ExportOptions, PathSplitting) {
  EXPECT_EQ(LogExporter::SplitPath("/var/log/kivlog-A.txt"),
            (std::pair<std::string, std::string>{"/var/log", "kivlog-A.txt"}));
  EXPECT_EQ(LogExporter::SplitPath("kivlog-A.txt"),
            (std::pair<std::string, std::string>{"./", "kivlog-A.txt"}));
  EXPECT_EQ(LogExporter::BaseName("kivlog-A.txt"), "kivlog-A");
  EXPECT_EQ(LogExporter::BaseName("x.txt"), "x");
  EXPECT_EQ(LogExporter::BaseName(".txt"), ".txt");
}
