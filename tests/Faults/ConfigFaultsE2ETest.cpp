// A configuration file that is missing, empty, not XML or with huge
// attribute values, at the dispatcher's start and at a reload; a log
// directory that cannot be used.

#include <gtest/gtest.h>

#include <charconv>

#include "Faults/FaultSupport.h"
#include "TestSupport/ProtocolClient.h"

namespace {

struct BadConfig {
  const char* name;
  bool missing;
  std::string content;
  bool parseError;  // the reader reports a parser error
};

std::vector<BadConfig> BadConfigs() {
  std::string hugeName(1 << 20, 'M');
  std::string hugeNumber(1 << 20, '9');
  return {
      {"missing", true, "", true},
      {"empty", false, "", true},
      {"not XML", false, "this is not <XML> at all & <<<", true},
      {"huge attribute values", false,
       "<?xml version=\"1.0\"?>\n<KIVConfig trace=\"1\">\n  <Logfile path=\"$(OLVAN_VORNEL_DIR)/log\" "
       "size=\"" +
           hugeNumber + "\" maxbackups=\"" + hugeNumber +
           "\" preserve_size=\"1\" preserve_maxbackups=\"1\" log_format=\"binary\"/>\n  <Network "
           "mode=\"none\"/>\n"
           "  <Global><GLabel name=\"Error\" state=\"1\"/></Global>\n  <Module name=\"" +
           hugeName + "\" state=\"1\"><MLabel name=\"" + hugeName +
           "\" state=\"1\"/></Module>\n</KIVConfig>\n",
       false},
  };
}

class ConfigFaultsE2E : public ::testing::Test {
 protected:
  kivtest::Sandbox sandbox;
  std::string logDir = sandbox.Dir() + "/log";
  faults::Dispatcher dispatcher{sandbox};
  const std::vector<std::string> diagnostic{"DIAGNOSTIC_MODE=1"};

  void SetUp() override { std::filesystem::create_directories(logDir); }

  void Install(const BadConfig& bad) {
    if (bad.missing) {
      std::filesystem::remove(sandbox.ConfigFile());
    } else {
      sandbox.WriteConfig(bad.content);
    }
  }
  size_t ParseErrorsReported() {
    const std::string log = kivtest::ReadFile(sandbox.TempDir() + "trace.txt");
    size_t count = 0;
    for (size_t at = log.find("XML_ERROR"); at != std::string::npos; at = log.find("XML_ERROR", at + 1))
      ++count;
    return count;
  }
  // The client removes its own map files; a client of the same pid made at
  // once registers over fresh files the dispatcher leaves alone.
  static void Leave(kivtest::ProtocolClient& client) { ASSERT_TRUE(client.Unregister()); }
  // Records "<tag>#0..count-1;" through a registered protocol client.
  void WriteRecords(const std::string& tag, long count) {
    kivtest::ProtocolClient client;
    ASSERT_TRUE(client.Register());
    for (long n = 0; n < count; ++n) client.WriteRecord(tag + "#" + std::to_string(n) + ";");
    ASSERT_TRUE(client.WaitUntilDrained());
    Leave(client);
  }
  size_t Exported(const std::string& tag) {
    auto e = faults::ExportDirectory(logDir, sandbox.Dir() + "/export");
    EXPECT_EQ(e.run.exitCode, 0) << e.run.out << e.run.err;
    return faults::RecordNumbers(e.text, tag).size();
  }
};

}  // namespace

TEST_F(ConfigFaultsE2E, BadFileAtStartThenFixedByReload) {
  for (const auto& bad : BadConfigs()) {
    SCOPED_TRACE(bad.name);
    Install(bad);
    ASSERT_TRUE(dispatcher.Start(diagnostic));
    // It serves clients and control requests on its defaults.
    {
      kivtest::ProtocolClient client;
      ASSERT_TRUE(client.Register());
      ASSERT_TRUE(client.RequestConfigChange(PauseTracing));
      ASSERT_TRUE(client.RequestConfigChange(ResumeTracing));
      Leave(client);
    }
    if (bad.parseError) {
      EXPECT_GE(ParseErrorsReported(), 1u);
    }
    // A good file and a reload: the records go where the file says.
    sandbox.WriteConfig(faults::Config());
    {
      kivtest::ProtocolClient client;
      ASSERT_TRUE(client.Register());
      ASSERT_TRUE(client.RequestConfigChange(ReloadConfigFile));
      Leave(client);
    }
    const std::string tag = std::string("start-") + (bad.name[0] == 'h'   ? "huge"
                                                     : bad.name[0] == 'n' ? "notxml"
                                                                          : bad.name);
    WriteRecords(tag, 50);
    ASSERT_TRUE(dispatcher.Running());
    ASSERT_TRUE(dispatcher.Stop());
    EXPECT_EQ(Exported(tag), 50u);
    faults::ReportCounts(std::string("config at start: ") + bad.name, 50, static_cast<long>(Exported(tag)));
  }
}

TEST_F(ConfigFaultsE2E, BadFileAtReloadKeepsTheSettingsItHad) {
  sandbox.WriteConfig(faults::Config());
  ASSERT_TRUE(dispatcher.Start(diagnostic));
  long written = 0;
  WriteRecords("before", 50);
  written += 50;
  int round = 0;
  for (const auto& bad : BadConfigs()) {
    SCOPED_TRACE(bad.name);
    const size_t reported = ParseErrorsReported();
    Install(bad);
    {
      kivtest::ProtocolClient client;
      ASSERT_TRUE(client.Register());
      ASSERT_TRUE(client.RequestConfigChange(ReloadConfigFile));
      Leave(client);
    }
    if (bad.parseError) {
      EXPECT_GT(ParseErrorsReported(), reported);
    }
    WriteRecords("reload" + std::to_string(round), 50);
    written += 50;
    ASSERT_TRUE(dispatcher.Running());
    sandbox.WriteConfig(faults::Config());
    ++round;
  }
  ASSERT_TRUE(dispatcher.Stop());
  long exported = static_cast<long>(Exported("before"));
  EXPECT_EQ(exported, 50);
  for (int r = 0; r < round; ++r) {
    const long n = static_cast<long>(Exported("reload" + std::to_string(r)));
    EXPECT_EQ(n, 50) << "after " << BadConfigs()[r].name;
    exported += n;
  }
  faults::ReportCounts("config at reload: missing, empty, not XML, huge values", written, exported);
}

TEST_F(ConfigFaultsE2E, UnusableLogDirectoryIsReportedAndItsLossesToldOnceItWorks) {
  const std::string status = sandbox.TempDir() + "KivServerStatus.txt";
  const std::string pid = std::to_string(getpid());
  // The value of a status entry, empty while there is none.
  auto value = [&](const std::string& key) {
    const std::string text = kivtest::FileExists(status) ? kivtest::ReadFile(status) : "";
    const size_t at = text.find("\n" + key + "(");
    const size_t colon = at == std::string::npos ? at : text.find("):", at);
    if (colon == std::string::npos) return std::string();
    return text.substr(colon + 2, text.find('\n', colon) - colon - 2);
  };
  // A regular file where the directory was; the directory comes back later.
  const std::string away = sandbox.Dir() + "/log-away";
  auto blockDirectory = [&] {
    std::filesystem::rename(logDir, away);
    kivtest::WriteFile(logDir, "not a directory");
  };
  auto freeDirectory = [&] {
    std::filesystem::remove(logDir);
    std::filesystem::rename(away, logDir);
  };
  sandbox.WriteConfig(faults::Config());
  blockDirectory();
  ASSERT_TRUE(dispatcher.Start(diagnostic));
  WriteRecords("u1", 50);
  EXPECT_TRUE(kivtest::WaitFor(
      [&] {
        // A count, or -1 while the entry is not one.
        const std::string lost = value("Totals\\LostOutputFailure");
        long n = -1;
        const auto parsed = std::from_chars(lost.data(), lost.data() + lost.size(), n);
        return parsed.ec == std::errc() && parsed.ptr == lost.data() + lost.size() && n >= 50;
      },
      std::chrono::seconds(20)));
  EXPECT_NE(value("Totals\\OutputErrors"), "0");
  EXPECT_NE(value("Totals\\LastOutputError"), "none");
  EXPECT_NE(value("Totals\\LastOutputErrorTime"), "none");
  EXPECT_NE(kivtest::ReadFile(sandbox.TempDir() + "trace.txt").find("Trace output LOCAL failed"),
            std::string::npos);
  freeDirectory();
  WriteRecords("u2", 30);

  // The same after a reload that rebuilds the output over an unusable directory.
  blockDirectory();
  {
    kivtest::ProtocolClient client;
    ASSERT_TRUE(client.Register());
    ASSERT_TRUE(client.RequestConfigChange(ReloadConfigFile));
    for (long n = 0; n < 40; ++n) client.WriteRecord("u3#" + std::to_string(n) + ";");
    ASSERT_TRUE(client.WaitUntilDrained());
    freeDirectory();
    for (long n = 0; n < 20; ++n) client.WriteRecord("u4#" + std::to_string(n) + ";");
    ASSERT_TRUE(client.WaitUntilDrained());
    Leave(client);
  }
  ASSERT_TRUE(dispatcher.Stop());
  auto e = faults::ExportDirectory(logDir, sandbox.Dir() + "/export");
  EXPECT_EQ(e.run.exitCode, 0) << e.run.err;
  EXPECT_EQ(faults::RecordNumbers(e.text, "u1").size(), 0u);
  EXPECT_EQ(faults::RecordNumbers(e.text, "u3").size(), 0u);
  EXPECT_EQ(faults::RecordNumbers(e.text, "u2").size(), 30u);
  EXPECT_EQ(faults::RecordNumbers(e.text, "u4").size(), 20u);
  const size_t first = e.text.find("[Control message from process " + pid + "]:50 records lost \n");
  const size_t second = e.text.find("[Control message from process " + pid + "]:40 records lost \n");
  ASSERT_NE(first, std::string::npos) << e.text;
  ASSERT_NE(second, std::string::npos) << e.text;
  EXPECT_LT(first, e.text.find("u2#0;"));
  EXPECT_LT(e.text.rfind("u2#"), second);
  EXPECT_LT(second, e.text.find("u4#0;"));
}
