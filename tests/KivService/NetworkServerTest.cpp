// The network server: each connection's blocks filed under the peer's
// address, two dispatchers forwarding over loopback, restarts, and peers
// that send damaged or hostile streams.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

#include "KivService/KivNetworkServerManager.h"
#include "KivService/KivTraceStreamDispatcher.h"
#include "TraceOutputTestUtil.h"

using namespace outputtest;

namespace {

class NetworkServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    serverLogs = sandbox.Dir() + "/server-logs";
    clientLogs = sandbox.Dir() + "/client-logs";
    ASSERT_EQ(mkdir(serverLogs.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(clientLogs.c_str(), 0755), 0);
    UseLogDirectory(serverConfig.Config(), serverLogs);
    serverConfig.Config().m_NetworkMode = NetworkServer;
    serverConfig.Config().m_ServerPort = 0;  // any free port
    // A backlog deep enough that connects in a row never wait for a SYN
    // retry while the loop thread waits for a busy core.
    serverConfig.Config().m_ServerMaxConnection = 128;
    manager = std::make_unique<KivNetworkServerManager>(
        serverCollector, serverConfig, [this](const std::string& line) { refusals.Add(line); });
    serverConfig.BroadcastConfigChange();
    ASSERT_TRUE(manager->IsRunning());
    port = manager->Port();
    // Later restarts listen on the same port.
    serverConfig.Config().m_ServerPort = port;
  }
  void TearDown() override { manager.reset(); }

  // A sending dispatcher in client mode aimed at the server.
  std::unique_ptr<KivTraceStreamDispatcher> MakeSender() {
    UseLogDirectory(clientConfig.Config(), clientLogs);
    clientConfig.Config().m_NetworkMode = NetworkClient;
    clientConfig.Config().m_ServerName = "127.0.0.1";
    clientConfig.Config().m_ClientPort = port;
    return std::make_unique<KivTraceStreamDispatcher>(clientConfig, clientCollector, "LOCAL");
  }
  std::string SenderFallback() { return StatusValue(clientCollector, "Output\\Network\\Fallback"); }
  std::string Filed(const std::string& peer) { return AllBinaryData(serverLogs, "kivlog-" + peer + "-"); }
  bool WaitForConnections(size_t n) {
    return kivtest::WaitFor([&] { return manager->ConnectionCount() == n; });
  }
  NetworkServerOptions& Options() { return serverConfig.Config().m_ServerOptions; }
  // The refusal lines logged so far that contain `text`.
  size_t Refusals(const std::string& text) { return refusals.Count(text); }
  bool WaitForStatus(const std::string& key, const std::string& value) {
    return kivtest::WaitFor([&] { return StatusValue(serverCollector, "Input\\Network\\" + key) == value; });
  }

  struct Lines {
    std::mutex lock;
    std::vector<std::string> lines;
    void Add(const std::string& line) {
      std::lock_guard<std::mutex> guard(lock);
      lines.push_back(line);
    }
    size_t Count(const std::string& text) {
      std::lock_guard<std::mutex> guard(lock);
      return static_cast<size_t>(std::count_if(
          lines.begin(), lines.end(), [&](const auto& l) { return l.find(text) != std::string::npos; }));
    }
  } refusals;

  kivtest::Sandbox sandbox;
  std::string serverLogs, clientLogs;
  StatusReport::Collector serverCollector, clientCollector;
  ConfigServer serverConfig, clientConfig;
  std::unique_ptr<KivNetworkServerManager> manager;
  uint16_t port = 0;
};

// Two authorities made by the openssl command line: "good" signs the
// server's certificate (naming 127.0.0.1) and a sender's, "other" signs a
// stranger's.
std::string MakeCertificates(const std::string& dir) {
  std::string script = "set -e; cd '" + dir + R"(';

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out $1.key 2>/dev/null; }
ca() { key $1; openssl req -x509 -new -key $1.key -subj /CN=$1 -days 2 -out $1.pem; }
leaf() { key $1; openssl req -new -key $1.key -subj /CN=$1 -out $1.csr;
  printf 'subjectAltName=IP:127.0.0.1
' > $1.ext;
  openssl x509 -req -in $1.csr -CA $2.pem -CAkey $2.key -CAcreateserial -days 2 -extfile $1.ext -out $1.pem 2>/dev/null; }
ca good; ca other; leaf server good; leaf sender good; leaf stranger other)";
  kivtest::WriteFile(dir + "/certificates.sh", script + "\n");
  return std::system(("bash '" + dir + "/certificates.sh' >/dev/null").c_str()) == 0 ? dir + "/" : "";
}

NetworkTlsFiles TlsFiles(const std::string& dir, const std::string& name, const std::string& ca) {
  return {dir + name + ".pem", dir + name + ".key", dir + ca + ".pem"};
}

// A TLS peer that trusts the server but shows `certificate` (none when
// empty); true when the server then ends the connection.
bool TlsPeerIsClosed(uint16_t port, const std::string& dir, const std::string& certificate) {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL_CTX_load_verify_locations(context, (dir + "good.pem").c_str(), nullptr);
  if (!certificate.empty()) {
    SSL_CTX_use_certificate_file(context, (dir + certificate + ".pem").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(context, (dir + certificate + ".key").c_str(), SSL_FILETYPE_PEM);
  }
  RawPeer peer(port);
  int fd = peer.Descriptor();
  SSL* session = SSL_new(context);
  SSL_set_fd(session, fd);
  SSL_connect(session);  // with TLS 1.3 the server judges our certificate after this
  SSL_write(session, "\x01\0\0\0x", 5);
  bool closed = kivtest::WaitFor([&] { return peer.ClosedByServer(); });
  SSL_free(session);
  SSL_CTX_free(context);
  return closed;
}

}  // namespace

TEST_F(NetworkServerTest, RunsOnlyInServerMode) {
  serverConfig.Config().m_NetworkMode = NetworkNone;
  serverConfig.BroadcastConfigChange();
  EXPECT_FALSE(manager->IsRunning());
  RawPeer refused(port);
  EXPECT_FALSE(refused.Connected());
  serverConfig.Config().m_NetworkMode = NetworkServer;
  serverConfig.BroadcastConfigChange();
  EXPECT_TRUE(manager->IsRunning());
  RawPeer accepted(port);
  EXPECT_TRUE(accepted.Connected());
}

TEST_F(NetworkServerTest, ForwardedBlocksArriveByteForByteInFilesNamedAfterThePeer) {
  auto sender = MakeSender();
  ASSERT_TRUE(kivtest::WaitFor([&] { return SenderFallback() == "no"; }));
  std::string expected;
  for (int i = 0; i < 5; ++i) {
    Bytes block = MakeBlock("forwarded " + std::to_string(i), i + 1);
    EXPECT_TRUE(sender->write(block.data(), static_cast<uint32_t>(block.size())));
    expected += AsText(block);
  }
  ASSERT_TRUE(kivtest::WaitFor([&] { return Filed("127.0.0.1").size() >= expected.size(); }));
  EXPECT_EQ(Filed("127.0.0.1"), expected);
  EXPECT_EQ(FilesWithPrefix(serverLogs, "kivlog-127.0.0.1-").size(), 1u);
  EXPECT_TRUE(FilesWithPrefix(clientLogs, "kivlog-").empty());
}

TEST_F(NetworkServerTest, StoppedServerMakesTheSenderFallBackUntilItReturns) {
  auto sender = MakeSender();
  ASSERT_TRUE(kivtest::WaitFor([&] { return SenderFallback() == "no"; }));
  Bytes first = MakeBlock("first");
  sender->write(first.data(), static_cast<uint32_t>(first.size()));
  ASSERT_TRUE(kivtest::WaitFor([&] { return Filed("127.0.0.1") == AsText(first); }));

  // Stopping happens inside a broadcast and ends the live connection.
  serverConfig.Config().m_NetworkMode = NetworkNone;
  serverConfig.BroadcastConfigChange();
  Bytes during = MakeBlock("during the outage");
  ASSERT_TRUE(kivtest::WaitFor([&] {
    sender->write(during.data(), static_cast<uint32_t>(during.size()));
    return !FilesWithPrefix(clientLogs, "kivlog-LOCAL-").empty();
  }));
  EXPECT_EQ(SenderFallback(), "on");

  serverConfig.Config().m_NetworkMode = NetworkServer;
  serverConfig.BroadcastConfigChange();
  ASSERT_TRUE(manager->IsRunning());
  ASSERT_TRUE(kivtest::WaitFor([&] { return SenderFallback() == "no"; }));
  Bytes back = MakeBlock("back again");
  sender->write(back.data(), static_cast<uint32_t>(back.size()));
  // The restarted server files the new connection's data in a new series.
  ASSERT_TRUE(kivtest::WaitFor([&] {
    std::string all = Filed("127.0.0.1");
    return all.size() >= AsText(back).size() &&
           all.compare(all.size() - AsText(back).size(), std::string::npos, AsText(back)) == 0;
  }));
  EXPECT_EQ(FilesWithPrefix(serverLogs, "kivlog-127.0.0.1-").size(), 2u);
}

TEST_F(NetworkServerTest, ABlockCutShortByTheCloseLeavesNoTrace) {
  Bytes whole = MakeBlock("whole"), cut = MakeBlock("cut short");
  {
    RawPeer peer(port);
    ASSERT_TRUE(peer.Connected());
    std::string partial = Message(whole) + Message(cut);
    ASSERT_TRUE(peer.Send(partial.substr(0, partial.size() - 5)));
  }
  ASSERT_TRUE(WaitForConnections(0));
  ASSERT_TRUE(kivtest::WaitFor([&] { return Filed("127.0.0.1") == AsText(whole); }));
  {
    RawPeer lengthOnly(port);
    ASSERT_TRUE(lengthOnly.Send(Message(cut).substr(0, 4)));
  }
  ASSERT_TRUE(WaitForConnections(0));
  EXPECT_EQ(Filed("127.0.0.1"), AsText(whole));
}

TEST_F(NetworkServerTest, PeersFromTwoAddressesGetTwoFileSeries) {
  RawPeer one(port, "127.0.0.1"), two(port, "127.0.0.2");
  ASSERT_TRUE(one.Connected());
  ASSERT_TRUE(two.Connected());
  Bytes a = MakeBlock("from one"), b = MakeBlock("from two");
  ASSERT_TRUE(one.Send(Message(a)));
  ASSERT_TRUE(two.Send(Message(b)));
  ASSERT_TRUE(kivtest::WaitFor([&] { return Filed("127.0.0.1") == AsText(a); }));
  ASSERT_TRUE(kivtest::WaitFor([&] { return Filed("127.0.0.2") == AsText(b); }));
}

TEST_F(NetworkServerTest, HostilePeersEndOnlyTheirOwnConnection) {
  RawPeer good(port, "127.0.0.2");
  Bytes first = MakeBlock("good first"), second = MakeBlock("good second");
  ASSERT_TRUE(good.Send(Message(first)));

  // An announced length of 4 GiB - 1, and one just above the largest block.
  RawPeer huge(port), justAbove(port);
  ASSERT_TRUE(huge.Send(std::string("\xFF\xFF\xFF\xFF", 4) + "payload"));
  ASSERT_TRUE(justAbove.Send(Message(Bytes(47 + 1047551 + 1, 0x22)).substr(0, 4)));
  // Random garbage that happens to announce a huge length at once.
  RawPeer garbage(port);
  ASSERT_TRUE(garbage.Send(std::string(64, '\xA7')));
  // Connects and goes at once.
  { RawPeer quitter(port); }
  // Trickles a valid message byte by byte across several receive steps.
  RawPeer slow(port, "127.0.0.3");
  Bytes trickled = MakeBlock("trickled", 1);
  std::string message = Message(trickled);
  for (size_t i = 0; i < message.size(); i += message.size() / 8 + 1) {
    ASSERT_TRUE(slow.Send(message.substr(i, message.size() / 8 + 1)));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }

  ASSERT_TRUE(kivtest::WaitFor([&] { return huge.ClosedByServer(); }));
  ASSERT_TRUE(kivtest::WaitFor([&] { return justAbove.ClosedByServer(); }));
  ASSERT_TRUE(kivtest::WaitFor([&] { return garbage.ClosedByServer(); }));
  ASSERT_TRUE(kivtest::WaitFor([&] { return Filed("127.0.0.3") == AsText(trickled); }));
  ASSERT_TRUE(WaitForConnections(2));  // `good` and `slow` remain
  ASSERT_TRUE(good.Send(Message(second)));
  ASSERT_TRUE(kivtest::WaitFor([&] { return Filed("127.0.0.2") == AsText(first) + AsText(second); }));
  // Nothing of the refused streams was filed.
  EXPECT_EQ(Filed("127.0.0.1"), "");
}

TEST_F(NetworkServerTest, RestartsWhilePeersConnectAndSendNeverHang) {
  // Connections are made and ended on the listen thread while broadcasts stop
  // the server and wait for that thread: neither may wait for the other.
  // Restarts a little over one listen period apart catch the listen step
  // while it is accepting.
  serverConfig.Config().m_ServerMaxConnection = 128;  // a deep backlog: many accepts per listen step
  serverConfig.BroadcastConfigChange();
  std::atomic<bool> stop{false};
  std::vector<std::thread> peers;
  for (int t = 0; t < 3; ++t)
    peers.emplace_back([&] {
      Bytes block = MakeBlock("churn");
      while (!stop) {
        RawPeer peer(port);
        if (peer.Connected()) peer.Send(Message(block));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  for (int i = 0; i < 40; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + (i % 7) * 3));
    serverConfig.BroadcastConfigChange();
  }
  stop = true;
  for (auto& p : peers) p.join();
  EXPECT_TRUE(manager->IsRunning());
  // Still serving after the churn.
  RawPeer last(port, "127.0.0.4");
  Bytes block = MakeBlock("after churn");
  ASSERT_TRUE(last.Send(Message(block)));
  ASSERT_TRUE(kivtest::WaitFor([&] { return Filed("127.0.0.4") == AsText(block); }));
}

TEST_F(NetworkServerTest, RefusedPeersGetNoFileAndOneLogLineEach) {
  Options().m_AllowedPeers = "10.0.0.0/8, 127.0.0.2 ,::1";
  Options().m_MaxPeers = 64;
  serverConfig.BroadcastConfigChange();
  Bytes block = MakeBlock("refused or not");

  RawPeer outsider(port, "127.0.0.1");
  outsider.Send(Message(block));  // may already fail: the server closes at once
  ASSERT_TRUE(kivtest::WaitFor([&] { return outsider.ClosedByServer(); }));

  std::vector<std::unique_ptr<RawPeer>> allowed;
  for (int i = 0; i < 64; ++i) allowed.push_back(std::make_unique<RawPeer>(port, "127.0.0.2"));
  ASSERT_TRUE(WaitForConnections(64));
  RawPeer extra(port, "127.0.0.2");
  ASSERT_TRUE(kivtest::WaitFor([&] { return extra.ClosedByServer(); }));
  ASSERT_TRUE(allowed.back()->Send(Message(block)));
  ASSERT_TRUE(kivtest::WaitFor([&] { return Filed("127.0.0.2") == AsText(block); }));

  EXPECT_EQ(Refusals("refused 127.0.0.1: address not allowed"), 1u);
  EXPECT_EQ(Refusals("refused 127.0.0.2: limit reached (max_peers 64)"), 1u);
  EXPECT_EQ(Refusals("refused"), 2u);
  EXPECT_TRUE(FilesWithPrefix(serverLogs, "kivlog-127.0.0.1-").empty());
  EXPECT_TRUE(WaitForStatus("PeersConnected", "64"));
  EXPECT_TRUE(WaitForStatus("PeersRefused\\AddressNotAllowed", "1"));
  EXPECT_TRUE(WaitForStatus("PeersRefused\\LimitReached", "1"));
  EXPECT_TRUE(WaitForStatus("BytesReceived", std::to_string(Message(block).size())));

  // An allow-list that cannot be read starts no server (fail closed).
  Options().m_AllowedPeers = "127.0.0.2, 127.0.0.300";
  serverConfig.BroadcastConfigChange();
  EXPECT_FALSE(manager->IsRunning());
}

TEST_F(NetworkServerTest, StalledPeersCloseAtTheIdleTimeoutAndTheGreediestGoesOverMaxPending) {
  Options().m_IdleTimeoutSeconds = 1;
  Options().m_MaxPendingKilobytes = 1024;
  serverConfig.BroadcastConfigChange();
  Bytes big(600 * 1024, 0x5A);
  std::string partial = Message(big).substr(0, 4 + 500 * 1024);

  RawPeer stalled(port), greedy(port, "127.0.0.3"), modest(port, "127.0.0.4"), steady(port, "127.0.0.2");
  ASSERT_TRUE(stalled.Send(Message(big).substr(0, 3)));
  ASSERT_TRUE(modest.Send(partial.substr(0, 300 * 1024)));
  ASSERT_TRUE(WaitForConnections(4));
  ASSERT_TRUE(greedy.Send(partial));                       // 800 KB held in all: still within the bound
  ASSERT_TRUE(greedy.Send(std::string(300 * 1024, 'x')));  // past it: the greediest goes
  ASSERT_TRUE(kivtest::WaitFor([&] { return greedy.ClosedByServer(); }));
  EXPECT_FALSE(modest.ClosedByServer());

  // A peer that completes blocks outlives the timeout; the stalled one not.
  Bytes block = MakeBlock("steady");
  size_t sent = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!(stalled.ClosedByServer() && modest.ClosedByServer()) &&
         std::chrono::steady_clock::now() < deadline) {
    ASSERT_TRUE(steady.Send(Message(block)));
    ++sent;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // pacing, well inside the timeout
  }
  ASSERT_TRUE(stalled.ClosedByServer() && modest.ClosedByServer());
  ASSERT_TRUE(steady.Send(Message(block)));
  ++sent;
  std::string expected;
  for (size_t i = 0; i < sent; ++i) expected += AsText(block);
  ASSERT_TRUE(kivtest::WaitFor([&] { return Filed("127.0.0.2") == expected; }));
  EXPECT_FALSE(steady.ClosedByServer());
  EXPECT_EQ(Refusals("refused"), 0u) << "closing served peers is no refusal";
}

TEST_F(NetworkServerTest, TlsServerTakesOnlyPeersWithACertificateFromItsAuthority) {
  std::string dir = MakeCertificates(sandbox.Dir());
  ASSERT_FALSE(dir.empty()) << "openssl could not make the certificates";
  Options().m_Tls = TlsFiles(dir, "server", "good");
  serverConfig.BroadcastConfigChange();
  ASSERT_TRUE(manager->IsRunning());

  // A sender with a certificate of the same authority files as over TCP,
  // blocks of every size in order, however the records fall into reads.
  clientConfig.Config().m_ClientTls = TlsFiles(dir, "sender", "good");
  auto sender = MakeSender();
  ASSERT_TRUE(kivtest::WaitFor([&] { return SenderFallback() == "no"; }));
  std::string expected;
  for (int i = 0; i < 30; ++i) {
    Bytes series = MakeBlock("encrypted " + std::to_string(i), 1 + i * 97);
    EXPECT_TRUE(sender->write(series.data(), static_cast<uint32_t>(series.size())));
    expected += AsText(series);
  }
  ASSERT_TRUE(kivtest::WaitFor([&] { return Filed("127.0.0.1").size() >= expected.size(); }));
  ASSERT_EQ(Filed("127.0.0.1"), expected);
  sender.reset();
  ASSERT_TRUE(WaitForConnections(0));

  {
    RawPeer plain(port, "127.0.0.2");
    ASSERT_TRUE(plain.Send(Message(MakeBlock("plain"))));
    ASSERT_TRUE(kivtest::WaitFor([&] { return plain.ClosedByServer(); }));
  }
  EXPECT_TRUE(TlsPeerIsClosed(port, dir, ""));
  EXPECT_TRUE(TlsPeerIsClosed(port, dir, "stranger"));
  ASSERT_TRUE(kivtest::WaitFor([&] { return Refusals("refused") == 3u; }));
  EXPECT_EQ(Refusals("refused 127.0.0.2: handshake failed"), 1u);
  EXPECT_EQ(Refusals("refused 127.0.0.1: certificate not trusted (no certificate)"), 1u);
  EXPECT_EQ(Refusals("refused 127.0.0.1: certificate not trusted"), 2u);
  EXPECT_EQ(Filed("127.0.0.1"), expected);
  EXPECT_TRUE(FilesWithPrefix(serverLogs, "kivlog-127.0.0.2-").empty());

  // A sender that does not trust the server's authority never sends to it.
  clientConfig.Config().m_ClientTls = TlsFiles(dir, "stranger", "other");
  auto doubting = MakeSender();
  ASSERT_TRUE(kivtest::WaitFor([&] { return SenderFallback() == "on"; }));
  Bytes kept = MakeBlock("kept home");
  doubting->write(kept.data(), static_cast<uint32_t>(kept.size()));
  EXPECT_EQ(AllBinaryData(clientLogs, "kivlog-LOCAL-"), AsText(kept));
  EXPECT_EQ(Filed("127.0.0.1"), expected);
}

TEST_F(NetworkServerTest, PeersNeverTakeTheDescriptorsKeptForTheRestOfTheProcess) {
  // A low descriptor limit for this process while the server runs; the
  // server keeps a quarter of it (at most 128) for everything else.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  struct Restore {
    rlimit limit;
    ~Restore() { setrlimit(RLIMIT_NOFILE, &limit); }
  } restore{saved};
  Options().m_MaxPeers = 1000;
  serverConfig.BroadcastConfigChange();

  // Each peer costs this process two descriptors (both ends).
  std::vector<std::unique_ptr<RawPeer>> peers;
  while (Refusals("descriptor reserve") == 0 && peers.size() < 200) {
    peers.push_back(std::make_unique<RawPeer>(port, "127.0.0.2"));
    ASSERT_TRUE(peers.back()->Connected());
    kivtest::WaitFor([&] { return manager->ConnectionCount() + Refusals("refused") == peers.size(); });
  }
  ASSERT_EQ(Refusals("refused 127.0.0.2: limit reached (descriptor reserve)"), 1u);
  EXPECT_LT(manager->ConnectionCount(), 192u);
  // The reserve is there: the rest of the process can still open files.
  std::vector<int> files;
  for (int i = 0; i < 40; ++i) files.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
  EXPECT_TRUE(std::all_of(files.begin(), files.end(), [](int fd) { return fd >= 0; }));
  for (int fd : files) close(fd);
  // And a served peer still files its blocks.
  Bytes block = MakeBlock("beside the reserve");
  ASSERT_TRUE(peers.front()->Send(Message(block)));
  ASSERT_TRUE(kivtest::WaitFor([&] { return Filed("127.0.0.2") == AsText(block); }));
}
