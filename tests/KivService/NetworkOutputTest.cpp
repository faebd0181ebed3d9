// The network output of a dispatcher: the wire format, the fallback files
// while no peer listens, and reconnection. Loopback only; the receiving end
// is a raw listener that keeps every byte.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "KivService/FallbackEnabledStream.h"
#include "KivService/KivTraceStreamDispatcher.h"
#include "KivService/NetworkStream.h"
#include "TraceOutputTestUtil.h"

using namespace outputtest;

namespace {

class NetworkOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logDir = sandbox.Dir() + "/logs";
    ASSERT_EQ(mkdir(logDir.c_str(), 0755), 0);
    UseLogDirectory(server.Config(), logDir);
    server.Config().m_NetworkMode = NetworkClient;
    server.Config().m_ServerName = "127.0.0.1";
    server.Config().m_ClientPort = FreePort();
  }
  std::unique_ptr<KivTraceStreamDispatcher> Make() {
    return std::make_unique<KivTraceStreamDispatcher>(server, collector, "LOCAL");
  }
  std::string Fallback() { return StatusValue(collector, "Output\\Network\\Fallback"); }
  std::vector<std::string> FallbackFiles() { return FilesWithPrefix(logDir, "kivlog-LOCAL-"); }
  static void Write(KivTraceStreamDispatcher& d, const Bytes& block) {
    EXPECT_TRUE(d.write(block.data(), static_cast<uint32_t>(block.size())));
  }

  kivtest::Sandbox sandbox;
  std::string logDir;
  StatusReport::Collector collector;
  ConfigServer server;
};

}  // namespace

TEST_F(NetworkOutputTest, NetworkModeWinsOverTheFileFormat) {
  server.Config().m_LogFormat = "binary";
  auto dispatcher = Make();
  EXPECT_EQ(dispatcher->CurrentOutputKind(), KivTraceStreamDispatcher::Network);
  EXPECT_EQ(StatusValue(collector, "Output\\Network\\RemoteServerPort"),
            std::to_string(server.Config().m_ClientPort));
  EXPECT_EQ(StatusValue(collector, "Output\\Network\\RemoteServerAddress"), "127.0.0.1");
  // No local file stream until a block needs the fallback.
  EXPECT_EQ(CountStatus(collector, "Output\\Local\\Format"), 0);
}

TEST_F(NetworkOutputTest, WithoutPeerBlocksGoToLocalFilesAndFallbackReadsOn) {
  server.Config().m_LogFormat = "text";
  auto dispatcher = Make();
  ASSERT_TRUE(kivtest::WaitFor([&] { return Fallback() == "on"; }));
  Write(*dispatcher, MakeBlock("fallback", 1));
  auto files = FallbackFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(kivtest::ReadFile(files[0]).find("fallback record 0"), std::string::npos);
  EXPECT_EQ(StatusValue(collector, "Output\\Local\\Format"), "text");
}

TEST_F(NetworkOutputTest, ConnectsOnceAPeerListensAndSendsLengthThenBlock) {
  auto dispatcher = Make();
  Bytes early = MakeBlock("early");
  Write(*dispatcher, early);
  EXPECT_EQ(Fallback(), "on");

  RawListener peer(static_cast<uint16_t>(server.Config().m_ClientPort));
  ASSERT_TRUE(peer.Bound());
  ASSERT_TRUE(kivtest::WaitFor([&] { return Fallback() == "no"; }));

  // The first block sent closes the fallback file; it keeps only the early block.
  Bytes small = MakeBlock("sent");
  Bytes big(65536, 0x5A);  // the stream forwards any block as it is
  Write(*dispatcher, small);
  Write(*dispatcher, big);
  const std::string expected = Message(small) + Message(big);
  EXPECT_EQ(expected.size(), 4 + small.size() + 65540);
  ASSERT_TRUE(kivtest::WaitFor([&] { return peer.Received().size() >= expected.size(); }));
  EXPECT_EQ(peer.Received(), expected);
  EXPECT_EQ(peer.Connections(), 1u);
  ASSERT_EQ(FallbackFiles().size(), 1u);
  EXPECT_EQ(BinaryData(FallbackFiles()[0]), AsText(early));
  EXPECT_EQ(CountStatus(collector, "Output\\Local\\Format"), 0);
}

TEST_F(NetworkOutputTest, HostNamesAreResolved) {
  server.Config().m_ServerName = "localhost";
  RawListener peer(static_cast<uint16_t>(server.Config().m_ClientPort));
  auto dispatcher = Make();
  ASSERT_TRUE(kivtest::WaitFor([&] { return Fallback() == "no"; }));
  Bytes block = MakeBlock("by name");
  Write(*dispatcher, block);
  ASSERT_TRUE(kivtest::WaitFor([&] { return peer.Received() == Message(block); }));
}

TEST_F(NetworkOutputTest, AnUnknownHostKeepsTheFallback) {
  server.Config().m_ServerName = "no-such-host.invalid";
  auto dispatcher = Make();
  ASSERT_TRUE(kivtest::WaitFor([&] { return Fallback() == "on"; }));
  Bytes block = MakeBlock("kept");
  Write(*dispatcher, block);
  EXPECT_EQ(AllBinaryData(logDir, "kivlog-LOCAL-"), AsText(block));
}

TEST_F(NetworkOutputTest, APeerThatGoesAwayCostsTheConnectionNotTheBlocks) {
  auto peer = std::make_unique<RawListener>(static_cast<uint16_t>(server.Config().m_ClientPort));
  auto dispatcher = Make();
  ASSERT_TRUE(kivtest::WaitFor([&] { return Fallback() == "no"; }));
  Bytes first = MakeBlock("first");
  Write(*dispatcher, first);
  ASSERT_TRUE(kivtest::WaitFor([&] { return peer->Received() == Message(first); }));

  // Without acknowledgements a block sent into a connection the peer has
  // just closed can vanish; once the failure shows, blocks land in the
  // fallback files whole.
  peer.reset();
  Bytes lost = MakeBlock("while failing");
  ASSERT_TRUE(kivtest::WaitFor([&] {
    Write(*dispatcher, lost);
    return !FallbackFiles().empty();
  }));
  Bytes kept = MakeBlock("kept locally");
  Write(*dispatcher, kept);
  // Whole blocks only: some copies of `lost`, then `kept`.
  std::string local = AllBinaryData(logDir, "kivlog-LOCAL-");
  ASSERT_GE(local.size(), lost.size() + kept.size());
  size_t copies = (local.size() - kept.size()) / lost.size();
  std::string expected;
  for (size_t i = 0; i < copies; ++i) expected += AsText(lost);
  EXPECT_EQ(local, expected + AsText(kept));
  EXPECT_EQ(Fallback(), "on");

  // The peer returns: the next tick reconnects and sending resumes.
  RawListener back(static_cast<uint16_t>(server.Config().m_ClientPort));
  ASSERT_TRUE(kivtest::WaitFor([&] { return Fallback() == "no"; }));
  Bytes again = MakeBlock("again");
  Write(*dispatcher, again);
  ASSERT_TRUE(kivtest::WaitFor([&] { return back.Received() == Message(again); }));
}

TEST_F(NetworkOutputTest, ABlockTooLargeToSendGoesToTheFallbackAndKeepsTheConnection) {
  RawListener peer(static_cast<uint16_t>(server.Config().m_ClientPort));
  auto dispatcher = Make();
  ASSERT_TRUE(kivtest::WaitFor([&] { return Fallback() == "no"; }));
  Bytes huge(47 + 1047551 + 1, 0x11);
  Write(*dispatcher, huge);
  EXPECT_EQ(AllBinaryData(logDir, "kivlog-LOCAL-"), AsText(huge));
  Bytes next = MakeBlock("next");
  Write(*dispatcher, next);
  ASSERT_TRUE(kivtest::WaitFor([&] { return peer.Received() == Message(next); }));
  EXPECT_EQ(peer.Connections(), 1u);
}

TEST_F(NetworkOutputTest, EveryRebuildMakesANewConnection) {
  RawListener peer(static_cast<uint16_t>(server.Config().m_ClientPort));
  auto dispatcher = Make();
  ASSERT_TRUE(kivtest::WaitFor([&] { return peer.Connections() == 1; }));
  server.BroadcastConfigChange();
  ASSERT_TRUE(kivtest::WaitFor([&] { return peer.Connections() == 2; }));
  dispatcher->Pause();
  EXPECT_EQ(CountStatus(collector, "Output\\Network\\Fallback"), 0);
  dispatcher->Resume();
  ASSERT_TRUE(kivtest::WaitFor([&] { return peer.Connections() == 3; }));
}
