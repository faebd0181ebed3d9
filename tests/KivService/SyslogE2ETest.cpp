// The syslog output against a real rsyslogd: a daemon of its own (foreground,
// own configuration and work directory, no system log sockets) listening on
// loopback with a plain and a TLS listener (certificates made by the openssl
// command at test time), writing every message it receives to a file. The
// dispatcher under test runs in network server mode with JSON log files, so
// one run covers local records, records of three network hosts, the
// structured data and the JSON files.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "KivService/KivServerLogReader.h"
#include "ServiceMonitor/WatchServiceStopUsingPID.h"
#include "TestSupport/ProtocolClient.h"
#include "TestSupport/RsyslogServer.h"
#include "TraceOutputTestUtil.h"

namespace fs = std::filesystem;
using kivtest::ProtocolClient;

namespace {

using Received = kivtest::SyslogReceived;

class SyslogE2E : public ::testing::Test {
 protected:
  kivtest::Sandbox sandbox;
  std::string temp = sandbox.TempDir();
  std::string logDir = sandbox.Dir() + "/log/";
  std::unique_ptr<kivtest::RsyslogServer> rsyslog;
  uint32_t daemon = 0;
  uint16_t networkPort = outputtest::FreePort();

  void SetUp() override {
    if (!kivtest::RsyslogServer::Available())
      GTEST_SKIP() << kivtest::RsyslogServer::kProgram << " is not installed (Debian package rsyslog)";
    rsyslog = std::make_unique<kivtest::RsyslogServer>(sandbox.Dir() + "/rsyslog");
    ASSERT_TRUE(rsyslog->CertsMade()) << "openssl could not make the test certificates";
    ASSERT_TRUE(rsyslog->Start());
  }
  void TearDown() override {
    if (daemon != 0 && WatchServiceStopUsingPID::IsProcessRunning(daemon)) {
      kivtest::Run("kivserver", {"stop"});
      if (!kivtest::WaitFor([&] { return !WatchServiceStopUsingPID::IsProcessRunning(daemon); }))
        kill(static_cast<pid_t>(daemon), SIGKILL);
    }
  }

  // A dispatcher receiving from the network, writing JSON log files and
  // sending to rsyslogd with `syslog` as the element's attributes.
  void StartDispatcher(const std::string& syslog) {
    sandbox.WriteConfig(R"(<?xml version="1.0"?>
<KIVConfig trace="1">
  <Logfile path="$(OLVAN_VORNEL_DIR)/log" size="1024" maxbackups="50" preserve_size="2048"
           preserve_maxbackups="50" log_format="json"/>
  <StatusTrace state="on"/>
  <Network mode="server"/>
  <Server port_number=")" +
                        std::to_string(networkPort) + R"(" max_connection="8"/>
  <Syslog state="1" server_name="127.0.0.1" sd_id="kiv@32473" )" +
                        syslog + R"(/>
</KIVConfig>
)");
    fs::create_directories(logDir);
    auto r = kivtest::Run("kivserver", {"start"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(kivtest::WaitFor([&] { return kivtest::FileExists(temp + "KivService.pid"); }));
    daemon = static_cast<uint32_t>(std::stoul(kivtest::ReadFile(temp + "KivService.pid")));
  }
  std::string Status(const std::string& key) {
    std::istringstream lines(kivtest::ReadFile(temp + "KivServerStatus.txt"));
    std::string line;
    while (std::getline(lines, line))
      if (line.rfind(key + "(", 0) == 0) return line.substr(line.find("):") + 2);
    return "<absent>";
  }
  // The dispatcher's diagnostic lines (DIAGNOSTIC_MODE=1) that mention `word`.
  std::string DiagnosticLines(const std::string& word) {
    std::istringstream lines(kivtest::ReadFile(temp + "trace.txt"));
    std::string line, found;
    while (std::getline(lines, line))
      if (line.find(word) != std::string::npos) found += line + "\n";
    return found;
  }
  std::vector<Received> From(const std::string& host) {
    std::vector<Received> out;
    for (const auto& m : rsyslog->Messages())
      if (m.host == host && m.msgid != "control") out.push_back(m);
    return out;
  }
};

// Sequence numbers of `messages` must be `expected`, once each and in order.
void ExpectSequence(const std::vector<Received>& messages, const std::vector<uint32_t>& expected,
                    const std::string& who) {
  std::vector<uint32_t> got;
  for (const auto& m : messages) got.push_back(static_cast<uint32_t>(std::stoul(m.Param("seq"))));
  EXPECT_EQ(got, expected) << who;
}

}  // namespace

TEST_F(SyslogE2E, LocalAndNetworkRecordsArriveOnceInOrderWithTheirFieldsAcrossARestart) {
  StartDispatcher("port_number=\"" + std::to_string(rsyslog->Port()) +
                  "\" transport=\"tcp\" app_name=\"kivtest\"");
  char self[256] = {};
  gethostname(self, sizeof self - 1);

  ProtocolClient client;
  ASSERT_TRUE(client.Register());
  std::vector<uint32_t> written;
  const std::string module = "mod]\"\\", clientName = "cli\"ent\\]";
  const char* labels[] = {"Error", "Warning", "Debug", "Verbose"};
  for (int i = 0; i < 40; ++i)
    written.push_back(client.WriteRecord("line " + std::to_string(i), module, labels[i % 4], clientName));
  ASSERT_TRUE(client.WaitUntilDrained());

  // Three hosts at once: network peers from 127.0.0.1 to 127.0.0.3, each
  // with its own dispatcher in the daemon, sending concurrently.
  constexpr int kBlocks = 30, kPerBlock = 5;
  std::vector<std::thread> peers;
  for (int h = 1; h <= 3; ++h)
    peers.emplace_back([&, h] {
      const std::string source = "127.0.0." + std::to_string(h);
      outputtest::RawPeer peer(networkPort, source.c_str());
      ASSERT_TRUE(peer.Connected()) << source;
      for (int b = 0; b < kBlocks; ++b) {
        std::vector<tracetest::Bytes> records;
        for (int r = 0; r < kPerBlock; ++r)
          records.push_back(
              tracetest::TextRecord(static_cast<uint32_t>(b * kPerBlock + r + 1), source + " record"));
        ASSERT_TRUE(peer.Send(outputtest::Message(tracetest::Block(records, 7000 + h, "claimed"))));
      }
      // Kept open until the daemon has filed everything (a close ends the dispatcher).
      kivtest::WaitFor([&] { return rsyslog->Messages().size() >= 40 + 3 * kBlocks * kPerBlock; },
                       std::chrono::seconds(30));
    });
  for (auto& t : peers) t.join();

  std::vector<Received> local = From(self);
  ASSERT_EQ(local.size(), written.size()) << "host " << self;
  ExpectSequence(local, written, "local");
  for (size_t i = 0; i < local.size(); ++i) {
    const Received& m = local[i];
    EXPECT_EQ(m.app, "kivtest");
    EXPECT_EQ(m.procid, std::to_string(getpid()));
    EXPECT_EQ(m.msgid, labels[i % 4]);
    EXPECT_EQ(m.pri, std::vector<std::string>({"11", "12", "15", "14"})[i % 4]) << "user facility, severity";
    EXPECT_EQ(m.Param("module"), module);
    EXPECT_EQ(m.Param("label"), labels[i % 4]);
    EXPECT_EQ(m.Param("client"), clientName);
    EXPECT_EQ(m.msg, "line " + std::to_string(i));
    EXPECT_EQ(m.sd.rfind("[kiv@32473 seq=", 0), 0u) << m.sd;
  }
  EXPECT_NE(local[0].sd.find(R"(module="mod\]\"\\")"), std::string::npos) << local[0].sd;
  std::vector<uint32_t> expected;
  for (uint32_t s = 1; s <= kBlocks * kPerBlock; ++s) expected.push_back(s);
  for (int h = 1; h <= 3; ++h) {
    const std::string host = "127.0.0." + std::to_string(h);
    std::vector<Received> fromHost = From(host);
    ExpectSequence(fromHost, expected, host);
    if (!fromHost.empty()) {
      EXPECT_EQ(fromHost[0].procid, std::to_string(7000 + h));
    }
  }
  EXPECT_TRUE(From("claimed").empty()) << "network blocks are filed under the peer's address";

  // rsyslogd goes away: records wait in the queue and arrive, once, when it is back.
  const size_t before = rsyslog->Messages().size();
  rsyslog->Stop();
  ASSERT_TRUE(kivtest::WaitFor([&] { return Status("Output\\Syslog\\Connected") == "no"; },
                               std::chrono::seconds(15)));
  for (int i = 40; i < 80; ++i)
    written.push_back(client.WriteRecord("line " + std::to_string(i), module, "Info", clientName));
  ASSERT_TRUE(client.WaitUntilDrained());
  ASSERT_TRUE(rsyslog->Start());
  ASSERT_TRUE(rsyslog->WaitForCount(before + 40));
  ExpectSequence(From(self), written, "local across the restart");
  EXPECT_EQ(Status("Output\\Syslog\\Dropped"), "0");

  // Every JSON log line parses with a strict parser and names its fields.
  ASSERT_TRUE(client.Unregister());
  std::string script = sandbox.Dir() + "/check.py";
  kivtest::WriteFile(script,
                     "import json,glob,sys\n"
                     "def bad(c): raise ValueError(c)\n"
                     "n=0\n"
                     "for f in sorted(glob.glob(sys.argv[1] + 'kivlog-*.json')):\n"
                     "  for line in open(f, encoding='utf-8'):\n"
                     "    r = json.loads(line, parse_constant=bad)\n"
                     "    assert {'time','seq','host','pid','tid','client','message'} <= r.keys(), r\n"
                     "    n += r.get('module') == sys.argv[2]\n"
                     "print(n)\n");
  std::string command = "python3 " + script + " " + logDir + " 'mod]\"\\'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char out[64] = {};
  size_t got = fread(out, 1, sizeof out - 1, pipe);
  EXPECT_EQ(pclose(pipe), 0) << "a JSON line failed to parse";
  EXPECT_EQ(std::string(out, got), "80\n");
}

TEST_F(SyslogE2E, TlsTransportVerifiesTheServerAndCarriesControlRecords) {
  StartDispatcher("port_number=\"" + std::to_string(rsyslog->TlsPort()) + "\" transport=\"tls\" tls_ca=\"" +
                  rsyslog->Ca() + "\"");
  ProtocolClient client;
  ASSERT_TRUE(client.Register());
  std::vector<uint32_t> written;
  for (int i = 0; i < 20; ++i) written.push_back(client.WriteRecord("tls " + std::to_string(i)));
  ASSERT_TRUE(client.WaitUntilDrained());
  ASSERT_TRUE(client.Unregister());
  ASSERT_TRUE(kivtest::WaitFor(
      [&] {
        for (const auto& m : rsyslog->Messages())
          if (m.msgid == "control" && m.Param("control") != "<none>")
            return From(m.host).size() >= written.size();
        return false;
      },
      std::chrono::seconds(30)))
      << DiagnosticLines("Syslog");
  char self[256] = {};
  gethostname(self, sizeof self - 1);
  ExpectSequence(From(self), written, "over TLS");
  // The status file is rewritten every second.
  const std::string server = "127.0.0.1:" + std::to_string(rsyslog->TlsPort()) + " tls";
  EXPECT_TRUE(kivtest::WaitFor([&] { return Status("Output\\Syslog\\Server") == server; }))
      << Status("Output\\Syslog\\Server");
}
