#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "FakeFilterManager.h"
#include "KivConfigFileReader/KivConfigFileReader.h"
#include "Support/ConfigPath.h"
#include "Support/Logging.h"
#include "TestSupport/Sandbox.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

const char* kHead =
    R"(<KIVConfig trace="1"><Logfile path="p" size="1" maxbackups="1" preserve_size="1" preserve_maxbackups="1"/>)";

std::vector<std::string> Calls(const std::string& body) {
  FakeFilterManager manager;
  KivClientConfigProcessor<FakeFilterManager> processor(manager);
  KivConfigFileReader<KivClientConfigProcessor<FakeFilterManager>>(processor).ReadText(std::string(kHead) +
                                                                                       body + "</KIVConfig>");
  // Drop the fixed calls of the head so each test sees only its own part.
  EXPECT_GE(manager.calls.size(), 2u);
  manager.calls.erase(manager.calls.begin(), manager.calls.begin() + 2);
  return manager.calls;
}

}  // namespace

TEST(ClientConfigReader, HandsOverSettingsAndRulesInDocumentOrder) {
  EXPECT_THAT(Calls(R"(<StatusTrace state="off"/><Network mode="client"/><Client server_name="h"/>)"
                    R"(<Global><GLabel name="L1" state="1"/><Other/><GClient name="C1" state="1">)"
                    R"(<GClientLabel name="L2" state="0"/><MClientLabel name="ignored" state="1"/></GClient>)"
                    R"(<GLabel name="L3" state="yes"/></Global>)"
                    R"(<Module name="M" state="1"><MLabel name="L1" state="0"/><MClient name="C2" state="1">)"
                    R"(<MClientLabel name="L4" state="1"/></MClient></Module>)"
                    R"(<Stray/><Module name="N" state="1"/>)"),
              ElementsAre("status off", "network 1", "GLabel L1 2", "GClient C1 2", "GClientLabel C1/L2 0",
                          "GLabel L3 0", "Module M 2", "MLabel M/L1 0", "MClient M/C2 2",
                          "MClientLabel M/C2/L4 2", "Module N 2"));
}

TEST(ClientConfigReader, HeadSetsTraceSwitchAndFormatOnly) {
  FakeFilterManager manager;
  KivClientConfigProcessor<FakeFilterManager> processor(manager);
  KivConfigFileReader<KivClientConfigProcessor<FakeFilterManager>> reader(processor);
  reader.ReadText(
      R"(<KIVConfig trace="1"><Logfile path="$(HOME)/x" size="1" maxbackups="1" preserve_size="1" )"
      R"(preserve_maxbackups="1" duplicate_to_debug_console="1" log_format="binary"/></KIVConfig>)");
  EXPECT_THAT(manager.calls, ElementsAre("trace on", "console on", "format binary"));
  EXPECT_EQ(reader.RawLogPath(), "$(HOME)/x");

  manager.calls.clear();
  reader.ReadText(R"(<KIVConfig trace="0"><Logfile path="a"/><Global><GLabel name="L" state="1"/></Global>)"
                  "</KIVConfig>");
  EXPECT_THAT(manager.calls, ElementsAre("trace off"));
}

TEST(ClientConfigReader, SwitchedOffModulesAndClientsContributeNoRules) {
  EXPECT_THAT(Calls(R"(<Global/><Module name="M" state="0"><MLabel name="L" state="1"/>)"
                    R"(<MClient name="C" state="1"><MClientLabel name="L" state="1"/></MClient></Module>)"
                    R"(<Module name="M2" state="on"><MLabel name="L" state="1"/></Module>)"),
              IsEmpty());
  EXPECT_THAT(
      Calls(R"(<Global><GClient name="C" state="0"><GClientLabel name="L" state="1"/></GClient></Global>)"
            R"(<Module name="M" state="1"><MClient name="D" state="2"><MClientLabel name="L" state="1"/>)"
            R"(</MClient></Module>)"),
      ElementsAre("GClient C 0", "Module M 2", "MClient M/D 0"));
}

TEST(ClientConfigReader, RuleElementsWithoutNameOrStateAreSkippedAndReadingGoesOn) {
  EXPECT_THAT(Calls(R"(<Global><GClient state="1"><GClientLabel name="X" state="1"/></GClient>)"
                    R"(<GClient name="" state="1"><GClientLabel name="X" state="1"/></GClient>)"
                    R"(<GClient name="C"/><GLabel name="G" state="1"/></Global>)"
                    R"(<Module state="1"><MLabel name="X" state="1"/></Module>)"
                    R"(<Module name="M"><MLabel name="X" state="1"/></Module>)"
                    R"(<Module name="N" state="1"><MClient name="C"/><MClient state="0"/>)"
                    R"(<MLabel name="Y" state="1"/></Module>)"),
              ElementsAre("GLabel G 2", "Module N 2", "MLabel N/Y 2"));
}

TEST(ClientConfigReader, LabelWithoutNameOrStateEndsTheReading) {
  EXPECT_THAT(
      Calls(R"(<Global><GLabel name="A" state="1"/><GLabel name="B"/><GLabel name="C" state="1"/></Global>)"
            R"(<Module name="M" state="1"/>)"),
      ElementsAre("GLabel A 2"));
  EXPECT_THAT(
      Calls(
          R"(<Global/><Module name="M" state="1"><MLabel state="1"/></Module><Module name="N" state="1"/>)"),
      ElementsAre("Module M 2"));
}

TEST(ClientConfigReader, GlobalIsSearchedAfterTheLastSettingElement) {
  // "Global" before "Network" is not found, so no rule is read.
  EXPECT_THAT(Calls(R"(<Global><GLabel name="A" state="1"/></Global><Network mode="server"/>)"
                    R"(<Module name="M" state="1"/>)"),
              ElementsAre("network 0"));
  // A "Client" without host name ends the reading before "Global".
  EXPECT_THAT(Calls(R"(<Client port_number="1"/><Global><GLabel name="A" state="1"/></Global>)"), IsEmpty());
  // Modules before "Global" are not found either.
  EXPECT_THAT(Calls(R"(<Module name="M" state="1"/><Global/><Module name="N" state="1"/>)"),
              ElementsAre("Module N 2"));
}

TEST(MyConfigReader, KeepsOnlyTheRawLogDirectory) {
  kivtest::Sandbox sandbox;
  sandbox.WriteConfig(
      R"(<KIVConfig trace="1"><Logfile path="$(OLVAN_VORNEL_DIR)/log" size="1" maxbackups="1" )"
      R"(preserve_size="1" preserve_maxbackups="1"/></KIVConfig>)");
  MyConfigProcessor processor;
  KivConfigFileReader<MyConfigProcessor> reader(processor);
  reader.Read(KivConfigPathPolicy().Get());
  EXPECT_EQ(processor.LogPath(), "$(OLVAN_VORNEL_DIR)/log");
  EXPECT_EQ(reader.RawLogPath(), "$(OLVAN_VORNEL_DIR)/log");
}

// Runs `body` with diagnostic mode on inside a sandbox whose {temp} exists,
// and gives back the diagnostic log.
class DiagnosticLog : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("DIAGNOSTIC_MODE", "1", 1);
    Logging::ResetDiagnosticModeForTesting();
    std::filesystem::create_directories(m_Sandbox.TempDir());
  }
  void TearDown() override {
    unsetenv("DIAGNOSTIC_MODE");
    Logging::ResetDiagnosticModeForTesting();
  }
  std::string Log() const {
    std::string path = m_Sandbox.TempDir() + "trace.txt";
    return kivtest::FileExists(path) ? kivtest::ReadFile(path) : std::string();
  }
  kivtest::Sandbox m_Sandbox;
};

TEST_F(DiagnosticLog, ParseErrorIsLoggedWithTheParsersOwnDescription) {
  const char* broken = "<KIVConfig trace=\"1\"><Logfile path='a'></KIVConfig>";
  tinyxml2::XMLDocument reference;
  ASSERT_NE(reference.Parse(broken), tinyxml2::XML_SUCCESS);
  std::string description = reference.ErrorStr();
  ASSERT_FALSE(description.empty());

  FakeFilterManager manager;
  KivClientConfigProcessor<FakeFilterManager> processor(manager);
  KivConfigFileReader<KivClientConfigProcessor<FakeFilterManager>>(processor).ReadText(broken);
  EXPECT_THAT(manager.calls, IsEmpty());
  EXPECT_THAT(Log(), HasSubstr(description + "\n"));

  // The server reader logs the same (and also tells the system log).
  KivServerConfig config;
  ReadKivServerConfig(config, m_Sandbox.Dir() + "/missing.xml");
  EXPECT_THAT(Log(), HasSubstr("XML_ERROR_FILE_NOT_FOUND"));
}

TEST_F(DiagnosticLog, ReadingStepsLeaveTheirLines) {
  KivServerConfig config;
  KivServerConfigProcessor processor(config);
  KivConfigFileReader<KivServerConfigProcessor> reader(processor);
  reader.ReadText(std::string(kHead) + R"(<StatusTrace/><Global><GClient state="1"/></Global></KIVConfig>)");
  reader.ReadText(R"(<KIVConfig trace="1"><Logfile path="p" size="1" log_format="binary"/></KIVConfig>)");
  std::string log = Log();
  EXPECT_THAT(log, HasSubstr("Status tracing is enabled as default\n"));
  EXPECT_THAT(log, HasSubstr("GClient element without valid \"name\" or \"state\" skipped\n"));
  EXPECT_THAT(log, HasSubstr("Error: invalid maxbackups "));
  EXPECT_THAT(log, HasSubstr("Error while GetLogFileInfo\n"));
  // The failed step came before the format, so the format was not logged.
  EXPECT_THAT(log, Not(HasSubstr("BIANRY")));
}

TEST(ConfigDocumentReader, AttributeMatchIsExactAndSafe) {
  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.Parse(R"(<e a="1" b="" c="10"/>)"), tinyxml2::XML_SUCCESS);
  const tinyxml2::XMLElement* e = doc.FirstChildElement();
  EXPECT_TRUE(ConfigDocumentReader::IsXMLAttributeMatch(e, "a", "1"));
  EXPECT_FALSE(ConfigDocumentReader::IsXMLAttributeMatch(e, "b", "1"));
  EXPECT_TRUE(ConfigDocumentReader::IsXMLAttributeMatch(e, "b", ""));
  EXPECT_FALSE(ConfigDocumentReader::IsXMLAttributeMatch(e, "c", "1"));
  EXPECT_FALSE(ConfigDocumentReader::IsXMLAttributeMatch(e, "missing", "1"));
  EXPECT_FALSE(ConfigDocumentReader::IsXMLAttributeMatch(nullptr, "a", "1"));
}
