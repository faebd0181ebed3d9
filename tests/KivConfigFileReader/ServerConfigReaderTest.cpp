#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "KivConfigFileReader/KivConfigFileReader.h"
#include "TestSupport/Sandbox.h"

namespace {

const char* kLogfile =
    R"(<Logfile path="/var/log/kiv" size="2048" maxbackups="3" preserve_size="10" preserve_maxbackups="4"/>)";

// Settings preset to values the reader never produces, so that untouched
// fields are visible.
KivServerConfig Sentinel() {
  KivServerConfig c;
  c.m_TraceEnabled = true;
  c.m_LogDirectory = "untouched";
  c.m_LogFormat = "untouched";
  c.m_ServerName = "untouched";
  c.m_StatusTrace = false;
  c.m_NetworkMode = NetworkClient;
  c.m_MaxBackups = c.m_MaxFileSize = c.m_PreserveMaxBackups = c.m_PreserveMaxFileSize = 7;
  c.m_ServerMaxConnection = c.m_ServerPort = c.m_ClientPort = 7;
  c.m_DrainPriority = 7;
  return c;
}

KivServerConfig ReadInto(KivServerConfig config, const std::string& xml) {
  KivServerConfigProcessor processor(config);
  KivConfigFileReader<KivServerConfigProcessor>(processor).ReadText(xml);
  return config;
}

std::string Doc(const std::string& body, const std::string& root = R"(<KIVConfig trace="1">)") {
  return root + body + "</KIVConfig>";
}

}  // namespace

TEST(ServerConfigReader, OnlyAnExactTraceOneReadsTheFile) {
  for (const char* root : {R"(<KIVConfig trace="0">)", "<KIVConfig>", R"(<KIVConfig trace="1 ">)",
                           R"(<KIVConfig trace=" 1">)", R"(<KIVConfig Trace="1">)"}) {
    KivServerConfig c = ReadInto(Sentinel(), Doc(kLogfile, root));
    EXPECT_FALSE(c.m_TraceEnabled) << root;
    EXPECT_EQ(c.m_LogDirectory, "untouched") << root;
    EXPECT_EQ(c.m_MaxFileSize, 7u) << root;
  }
  // No root element at all: off as well.
  EXPECT_FALSE(ReadInto(Sentinel(), "<Other trace=\"1\"/>").m_TraceEnabled);

  KivServerConfig c = ReadInto(Sentinel(), Doc(kLogfile));
  EXPECT_TRUE(c.m_TraceEnabled);
  EXPECT_EQ(c.m_LogDirectory, "/var/log/kiv\\");
  EXPECT_EQ(c.m_MaxFileSize, 2048u * 1024);
  EXPECT_EQ(c.m_MaxBackups, 3u);
  EXPECT_EQ(c.m_PreserveMaxFileSize, 10u * 1024);
  EXPECT_EQ(c.m_PreserveMaxBackups, 4u);
  EXPECT_EQ(c.m_LogFormat, "text");
  // Elements that are absent leave their settings alone.
  EXPECT_FALSE(c.m_StatusTrace);
  EXPECT_EQ(c.m_NetworkMode, NetworkClient);
  EXPECT_EQ(c.m_ServerName, "untouched");
}

TEST(ServerConfigReader, SizesAreKilobytesWithDefaultsForZeroAndNonNumbers) {
  struct Case {
    const char* size;
    const char* backups;
    uint32_t bytes;
    uint32_t count;
  } cases[] = {
      {"0", "0", 100u * 1024, 10},
      {"abc", "x", 100u * 1024, 10},
      {"", "", 100u * 1024, 10},
      {"  12kb", "+5", 12u * 1024, 5},
      {"-1", "-1", 0xFFFFFC00u, 0xFFFFFFFFu},  // negative: its unsigned image, held below 4 GiB
      {"4194304", "99999999999999999999", 0xFFFFFC00u, static_cast<uint32_t>(INT32_MAX)},
      {"4194303", "2147483648", 4194303u * 1024, static_cast<uint32_t>(INT32_MAX)},
  };
  for (const auto& k : cases) {
    std::string logfile = std::string(R"(<Logfile path="p" size=")") + k.size + R"(" maxbackups=")" +
                          k.backups + R"(" preserve_size=")" + k.size + R"(" preserve_maxbackups=")" +
                          k.backups + R"("/>)";
    KivServerConfig c = ReadInto(Sentinel(), Doc(logfile));
    EXPECT_EQ(c.m_MaxFileSize, k.bytes) << k.size;
    EXPECT_EQ(c.m_PreserveMaxFileSize, k.bytes) << k.size;
    EXPECT_EQ(c.m_MaxBackups, k.count) << k.backups;
    EXPECT_EQ(c.m_PreserveMaxBackups, k.count) << k.backups;
  }
}

TEST(ServerConfigReader, DrainPriorityIsDigitsHeldAtTheHighestAndZeroOtherwise) {
  const struct {
    const char* attribute;
    uint32_t priority;
  } cases[] = {{"", 0},
               {R"( drain_priority="5")", 5},
               {R"( drain_priority="0")", 0},
               {R"( drain_priority="50")", 49},
               {R"( drain_priority="99999999999999999999")", 49},
               {R"( drain_priority="-1")", 0},
               {R"( drain_priority=" 3")", 0},
               {R"( drain_priority="3x")", 0},
               {R"( drain_priority="")", 0}};
  for (const auto& k : cases) {
    // Absent or unusable, a re-read file takes back what an earlier one set.
    const KivServerConfig c =
        ReadInto(Sentinel(), Doc(kLogfile, std::string(R"(<KIVConfig trace="1")") + k.attribute + ">"));
    EXPECT_EQ(c.m_DrainPriority, k.priority) << k.attribute;
  }
}

TEST(ServerConfigReader, MissingLogfileAttributesStopTheReadingWhereTheyAre) {
  // No "Logfile": nothing after it is read either.
  KivServerConfig c = ReadInto(Sentinel(), Doc(R"(<StatusTrace state="on"/><Network mode="server"/>)"));
  EXPECT_TRUE(c.m_TraceEnabled);
  EXPECT_FALSE(c.m_StatusTrace);
  EXPECT_EQ(c.m_NetworkMode, NetworkClient);

  // "size" present, "maxbackups" missing: the path and size stay applied.
  c = ReadInto(Sentinel(), Doc(R"(<Logfile path="/a" size="1" preserve_size="2" preserve_maxbackups="3"/>)"
                               R"(<Network mode="server"/>)"));
  EXPECT_EQ(c.m_LogDirectory, "/a\\");
  EXPECT_EQ(c.m_MaxFileSize, 1024u);
  EXPECT_EQ(c.m_MaxBackups, 7u);
  EXPECT_EQ(c.m_PreserveMaxFileSize, 7u);
  EXPECT_EQ(c.m_NetworkMode, NetworkClient);

  // No "path": nothing of the element is applied.
  c = ReadInto(Sentinel(),
               Doc(R"(<Logfile size="1" maxbackups="1" preserve_size="2" preserve_maxbackups="3"/>)"));
  EXPECT_EQ(c.m_LogDirectory, "untouched");
  EXPECT_EQ(c.m_MaxFileSize, 7u);
}

TEST(ServerConfigReader, LogDirectoryIsExpandedAndEndsInOneBackslash) {
  kivtest::Sandbox sandbox;
  KivServerConfig c = ReadInto(
      Sentinel(), Doc(R"(<Logfile path="$(OLVAN_VORNEL_DIR)/logs" size="1" maxbackups="1" preserve_size="1" )"
                      R"(preserve_maxbackups="1"/>)"));
  EXPECT_EQ(c.m_LogDirectory, sandbox.Dir() + "/logs\\");
}

TEST(ServerConfigReader, OnlyLowerCaseBinarySelectsBinaryLogFiles) {
  auto format = [](const std::string& attribute) {
    return ReadInto(Sentinel(), Doc(R"(<Logfile path="p" size="1" maxbackups="1" preserve_size="1" )"
                                    R"(preserve_maxbackups="1" )" +
                                    attribute + "/>"))
        .m_LogFormat;
  };
  EXPECT_EQ(format(R"(log_format="binary")"), "binary");
  EXPECT_EQ(format(R"(log_format="BINARY")"), "text");
  EXPECT_EQ(format(R"(log_format="Binary")"), "text");
  EXPECT_EQ(format(R"(log_format="binary ")"), "text");
  EXPECT_EQ(format(R"(log_format="text")"), "text");
  EXPECT_EQ(format(""), "text");
}

TEST(ServerConfigReader, StatusTraceIsOnUnlessStateSaysOtherwise) {
  auto status = [](const char* element, bool preset) {
    KivServerConfig s = Sentinel();
    s.m_StatusTrace = preset;
    return ReadInto(s, Doc(std::string(kLogfile) + element)).m_StatusTrace;
  };
  EXPECT_TRUE(status("<StatusTrace/>", false));
  EXPECT_TRUE(status(R"(<StatusTrace state="on"/>)", false));
  EXPECT_FALSE(status(R"(<StatusTrace state="off"/>)", true));
  EXPECT_FALSE(status(R"(<StatusTrace state="ON"/>)", true));
}

TEST(ServerConfigReader, NetworkModeWordsAreCaseSensitive) {
  auto mode = [](const char* element) {
    return ReadInto(Sentinel(), Doc(std::string(kLogfile) + element)).m_NetworkMode;
  };
  EXPECT_EQ(mode(R"(<Network mode="server"/>)"), NetworkServer);
  EXPECT_EQ(mode(R"(<Network mode="client"/>)"), NetworkClient);
  EXPECT_EQ(mode(R"(<Network mode="Server"/>)"), NetworkNone);
  EXPECT_EQ(mode("<Network/>"), NetworkNone);
  EXPECT_EQ(mode(""), NetworkClient);  // no element: untouched
}

TEST(ServerConfigReader, EachSearchContinuesAfterTheElementFoundLast) {
  KivServerConfig c = ReadInto(
      Sentinel(), Doc(std::string(kLogfile) + R"(<Server port_number="1111"/><Network mode="server"/>)"));
  EXPECT_EQ(c.m_NetworkMode, NetworkServer);
  EXPECT_EQ(c.m_ServerPort, 7u);

  // Unknown elements in between are skipped.
  c = ReadInto(Sentinel(),
               Doc(std::string(kLogfile) + R"(<Junk/><StatusTrace/><Other/><Server port_number="1111"/>)"
                                           R"(<Client port_number="2222" server_name="peer"/>)"));
  EXPECT_TRUE(c.m_StatusTrace);
  EXPECT_EQ(c.m_ServerPort, 1111u);
  EXPECT_EQ(c.m_ServerMaxConnection, 1u);
  EXPECT_EQ(c.m_ClientPort, 2222u);
  EXPECT_EQ(c.m_ServerName, "peer");
}

TEST(ServerConfigReader, PortsDefaultAndClientWithoutHostStopsAfterItsPort) {
  KivServerConfig c =
      ReadInto(Sentinel(), Doc(std::string(kLogfile) + R"(<Server/><Client server_name="h"/>)"));
  EXPECT_EQ(c.m_ServerPort, 3456u);
  EXPECT_EQ(c.m_ServerMaxConnection, 1u);
  EXPECT_EQ(c.m_ClientPort, 3456u);
  EXPECT_EQ(c.m_ServerName, "h");

  c = ReadInto(Sentinel(), Doc(std::string(kLogfile) + R"(<Client port_number="4000"/>)"));
  EXPECT_EQ(c.m_ClientPort, 4000u);
  EXPECT_EQ(c.m_ServerName, "untouched");
}

TEST(ServerConfigReader, TheDefaultProductFileIsValid) {
  kivtest::Sandbox sandbox;
  KivServerConfig c = Sentinel();
  ReadKivServerConfig(c, std::string(KIV_SOURCE_DIR) + "/cfg/KivConfigLinux.xml");
  EXPECT_TRUE(c.m_TraceEnabled);
  EXPECT_EQ(c.m_LogFormat, "binary");
  EXPECT_EQ(c.m_LogDirectory, sandbox.Dir() + "/log\\");
  EXPECT_TRUE(c.m_StatusTrace);
  EXPECT_EQ(c.m_NetworkMode, NetworkNone);
  EXPECT_GT(c.m_MaxFileSize, 0u);
  EXPECT_GT(c.m_MaxBackups, 0u);
}

TEST(ServerConfigReader, MissingOrBrokenFilesLeaveTheSettingsAlone) {
  kivtest::Sandbox sandbox;
  KivServerConfig c = Sentinel();
  ReadKivServerConfig(c, sandbox.Dir() + "/no/such/file.xml");
  EXPECT_EQ(c.m_LogDirectory, "untouched");
  EXPECT_TRUE(c.m_TraceEnabled);

  for (std::string text : {std::string("<KIVConfig trace=\"1\">"), std::string("\x01\xff<<>>"), std::string(),
                           Doc(std::string(kLogfile) + "<Network mode='server'>")}) {
    c = ReadInto(Sentinel(), text);
    EXPECT_EQ(c.m_LogDirectory, "untouched") << text;
    EXPECT_EQ(c.m_NetworkMode, NetworkClient) << text;
  }
}

TEST(ServerConfigReader, HostileDocumentsAreReadWithoutHarm) {
  std::string huge(1 << 20, '9');
  KivServerConfig c =
      ReadInto(Sentinel(), Doc(R"(<Logfile path=")" + huge + R"(" size=")" + huge + R"(" maxbackups=")" +
                               huge + R"(" preserve_size="-)" + huge +
                               R"(" preserve_maxbackups="1"/><Client server_name=")" + huge + R"("/>)"));
  EXPECT_EQ(c.m_LogDirectory.size(), huge.size() + 1);
  EXPECT_EQ(c.m_MaxFileSize, 0xFFFFFC00u);
  EXPECT_EQ(c.m_MaxBackups, static_cast<uint32_t>(INT32_MAX));
  EXPECT_EQ(c.m_ServerName, huge);

  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<Module name='m' state='1'>";
  c = ReadInto(Sentinel(), Doc(std::string(kLogfile) + "<Global/>" + deep));
  // The parser refuses the nesting before anything is applied.
  EXPECT_EQ(c.m_LogDirectory, "untouched");
}

TEST(ServerConfigReader, JsonLogFormatAndSyslogElementWithDefaultsAndRefusals) {
  std::string jsonLog = kLogfile;
  jsonLog.insert(jsonLog.size() - 2, R"( log_format="json")");
  EXPECT_EQ(ReadInto(Sentinel(), Doc(jsonLog)).m_LogFormat, "json");

  // Defaults; the element counts wherever it stands among the optional ones.
  KivServerConfig c = ReadInto(
      Sentinel(),
      Doc(std::string(kLogfile) + R"(<Syslog state="1" server_name="relay"/><Network mode="server"/>)"));
  EXPECT_EQ(c.m_NetworkMode, NetworkServer);
  SyslogSettings expected;
  expected.m_On = true;
  expected.m_Server = "relay";
  EXPECT_EQ(c.m_Syslog, expected);

  c = ReadInto(Sentinel(),
               Doc(std::string(kLogfile) + R"(<Server port_number="1"/><Syslog state="1" server_name="r"
      transport="tls" tls_ca="/ca.pem" tls_certificate="/c.pem" tls_key="/k.pem" app_name="app" sd_id="x@1"
      queue_size="64"/>)"));
  EXPECT_TRUE(c.m_Syslog.m_On);
  EXPECT_TRUE(c.m_Syslog.m_Tls);
  EXPECT_EQ(c.m_Syslog.m_Port, 6514u);
  EXPECT_EQ(c.m_Syslog.m_TlsKey, "/k.pem");
  EXPECT_EQ(c.m_Syslog.m_AppName, "app");
  EXPECT_EQ(c.m_Syslog.m_SdId, "x@1");
  EXPECT_EQ(c.m_Syslog.m_QueueKilobytes, 64u);

  // Off, absent, or unusable: the output is off and the rest still read.
  for (const char* element : {"", R"(<Syslog state="0" server_name="r"/>)", R"(<Syslog state="1"/>)",
                              R"(<Syslog state="1" server_name="r" port_number="70000"/>)",
                              R"(<Syslog state="1" server_name="r" port_number="5x"/>)",
                              R"(<Syslog state="1" server_name="r" transport="udp"/>)",
                              R"(<Syslog state="1" server_name="r" transport="tls"/>)",
                              R"(<Syslog state="1" server_name="r" tls_certificate="/c.pem"/>)",
                              R"(<Syslog state="1" server_name="r" sd_id="a b"/>)",
                              R"(<Syslog state="1" server_name="r" sd_id="a]"/>)",
                              R"(<Syslog state="1" server_name="r" app_name=""/>)",
                              R"(<Syslog state="1" server_name="r" queue_size="0"/>)"}) {
    KivServerConfig off = Sentinel();
    off.m_Syslog.m_On = true;
    off = ReadInto(off,
                   Doc(std::string(kLogfile) + element + R"(<Global><GLabel name="E" state="1"/></Global>)"));
    EXPECT_FALSE(off.m_Syslog.m_On) << element;
  }
}
