// The socket layer over loopback only: 127.0.0.1, and 127.0.0.2 as a second
// source address.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SocketStream/SocketStream.h"
#include "TestSupport/Sandbox.h"

using namespace SocketStream;

namespace {

// What every RecordingServer received, by peer address.
struct Recorder {
  std::mutex lock;
  std::map<std::string, std::vector<std::string>> byPeer;

  void Add(const std::string& peer, const uint8_t* data, uint32_t length) {
    std::lock_guard<std::mutex> guard(lock);
    byPeer[peer].emplace_back(reinterpret_cast<const char*>(data), length);
  }
  std::vector<std::string> Of(const std::string& peer) {
    std::lock_guard<std::mutex> guard(lock);
    return byPeer[peer];
  }
  size_t Count(const std::string& peer) { return Of(peer).size(); }
};
Recorder* g_Recorder = nullptr;

class RecordingServer : public Server {
 public:
  using Server::Server;
  void OnReceived(const uint8_t* data, uint32_t length) override {
    g_Recorder->Add(PeerAddress(), data, length);
  }
};

class SocketLoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override { g_Recorder = &recorder; }
  void TearDown() override {
    manager.reset();
    g_Recorder = nullptr;
  }
  void StartServer(uint32_t backlog = 1) {
    manager = std::make_unique<ServerManager<RecordingServer>>(0, backlog);
  }
  std::unique_ptr<WriteStream> Connect(const std::string& host = "127.0.0.1") {
    return std::make_unique<WriteStream>(std::make_unique<Client>(host, manager->Port()));
  }

  Recorder recorder;
  std::unique_ptr<ServerManager<RecordingServer>> manager;
};

// A plain blocking socket connected from `source` to 127.0.0.1:port.
int RawConnect(uint16_t port, const char* source = "127.0.0.1") {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_GE(fd, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, source, &local.sin_addr);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &peer.sin_addr);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer), 0);
  return fd;
}

void RawSend(int fd, const std::string& bytes) {
  ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

std::string Framed(const std::string& body) {
  uint8_t header[4];
  EncodeLength(static_cast<uint32_t>(body.size()), header);
  return std::string(reinterpret_cast<char*>(header), 4) + body;
}

// True once the server has closed its side of `fd`.
bool ClosedByPeer(int fd) {
  char c;
  return recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

std::string Pattern(size_t size, int seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + seed) >> 3);
  return s;
}

TEST_F(SocketLoopbackTest, BlocksArriveWholeAndInOrder) {
  StartServer();
  auto stream = Connect();
  std::vector<std::string> sent = {Pattern(1, 1), Pattern(47, 2), Pattern(65536, 3),
                                   Pattern(kMaxMessageLength, 4)};
  for (const auto& block : sent) stream->write(block.data(), static_cast<uint32_t>(block.size()));
  stream->write(nullptr, 0);  // an empty message is legal and files nothing
  stream->write("end", 3);
  sent.push_back("end");
  ASSERT_TRUE(kivtest::WaitFor([&] { return recorder.Count("127.0.0.1") == sent.size(); }));
  EXPECT_TRUE(recorder.Of("127.0.0.1") == sent);
  EXPECT_THROW(stream->write(sent[3].data(), kMaxMessageLength + 1), std::logic_error);
  EXPECT_FALSE(stream->Broken()) << "an oversized block is refused before anything is sent";
}

TEST_F(SocketLoopbackTest, TheWireCarriesALittleEndianLengthAndTheBlock) {
  ListenSocket listener(0, 1);
  auto stream = std::make_unique<WriteStream>(std::make_unique<Client>("localhost", listener.Port()));
  std::string peer;
  int fd = -1;
  ASSERT_TRUE(kivtest::WaitFor([&] { return (fd = listener.AcceptOne(peer).Release()) >= 0; }));
  Shared accepted(fd);
  EXPECT_EQ(peer, "127.0.0.1");
  std::string block = Pattern(65536, 9);
  stream->write(block.data(), 65536);
  stream.reset();  // closes: the reader sees the end of the stream

  std::string wire;
  char buffer[8192];
  for (;;) {
    pollfd p{accepted.Descriptor(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    ssize_t n = recv(accepted.Descriptor(), buffer, sizeof buffer, 0);
    ASSERT_GE(n, 0);
    if (n == 0) break;
    wire.append(buffer, static_cast<size_t>(n));
  }
  ASSERT_EQ(wire.size(), 65540u);
  EXPECT_EQ(wire.substr(0, 4), std::string("\x00\x00\x01\x00", 4));
  EXPECT_TRUE(wire.substr(4) == block);
}

TEST_F(SocketLoopbackTest, EachSourceAddressIsItsOwnConnection) {
  StartServer(1);  // a backlog of 1 does not limit the connections served
  // One at a time: a backlog of 1 queues only so many connections between
  // two 100 ms listen steps.
  auto first = Connect();
  ASSERT_TRUE(kivtest::WaitFor([&] { return manager->ConnectionCount() == 1; }));
  int second = RawConnect(manager->Port(), "127.0.0.2");
  ASSERT_TRUE(kivtest::WaitFor([&] { return manager->ConnectionCount() == 2; }));
  auto third = Connect();
  first->write("one", 3);
  RawSend(second, Framed("two"));
  third->write("three", 5);
  ASSERT_TRUE(
      kivtest::WaitFor([&] { return recorder.Count("127.0.0.1") == 2 && recorder.Count("127.0.0.2") == 1; }));
  EXPECT_EQ(recorder.Of("127.0.0.2"), std::vector<std::string>{"two"});
  // A connection's thread can deliver before the listen step that accepted
  // it has published the new count.
  EXPECT_TRUE(kivtest::WaitFor([&] { return manager->ConnectionCount() == 3; }));
  close(second);
  ASSERT_TRUE(kivtest::WaitFor([&] { return manager->ConnectionCount() == 2; }));
}

TEST_F(SocketLoopbackTest, HostilePeersEndOnlyTheirOwnConnection) {
  StartServer();
  auto good = Connect();
  good->write("before", 6);
  ASSERT_TRUE(kivtest::WaitFor([&] { return manager->ConnectionCount() == 1; }));

  int garbage = RawConnect(manager->Port());
  RawSend(garbage, "GARBAGE GARBAGE GARBAGE");
  int huge = RawConnect(manager->Port(), "127.0.0.2");
  RawSend(huge, std::string("\xFF\xFF\xFF\xFF", 4));
  int cutShort = RawConnect(manager->Port(), "127.0.0.2");
  RawSend(cutShort, Framed("whole") + Framed("never finished").substr(0, 9));
  int immediate = RawConnect(manager->Port());
  close(immediate);
  int stalled = RawConnect(manager->Port(), "127.0.0.2");
  RawSend(stalled, Framed("stalled for ever").substr(0, 6));
  int trickle = RawConnect(manager->Port(), "127.0.0.2");
  std::string slow = Framed("trickled");
  std::thread trickler([&] {
    for (char c : slow) {
      RawSend(trickle, std::string(1, c));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
  });

  EXPECT_TRUE(kivtest::WaitFor([&] { return ClosedByPeer(garbage) && ClosedByPeer(huge); }));
  close(cutShort);
  good->write("during", 6);
  trickler.join();
  ASSERT_TRUE(
      kivtest::WaitFor([&] { return recorder.Count("127.0.0.2") == 2 && recorder.Count("127.0.0.1") == 2; }));
  EXPECT_EQ(recorder.Of("127.0.0.2"), (std::vector<std::string>{"whole", "trickled"}));
  good->write("after", 5);
  ASSERT_TRUE(kivtest::WaitFor([&] { return recorder.Count("127.0.0.1") == 3; }));
  EXPECT_EQ(recorder.Of("127.0.0.1"), (std::vector<std::string>{"before", "during", "after"}));
  // Left: the good connection, the stalled one and the finished trickler.
  EXPECT_TRUE(kivtest::WaitFor([&] { return manager->ConnectionCount() == 3; }));
  EXPECT_FALSE(ClosedByPeer(stalled));
  for (int fd : {garbage, huge, stalled, trickle}) close(fd);
}

TEST_F(SocketLoopbackTest, TheServerListensAgainOnItsPortAfterARestart) {
  StartServer();
  uint16_t port = manager->Port();
  auto stream = Connect();
  stream->write("x", 1);
  ASSERT_TRUE(kivtest::WaitFor([&] { return recorder.Count("127.0.0.1") == 1; }));
  manager.reset();  // closes the accepted connection first: it lingers on the server side
  manager = std::make_unique<ServerManager<RecordingServer>>(port, 1);
  EXPECT_EQ(manager->Port(), port);
  auto again = std::make_unique<WriteStream>(std::make_unique<Client>("127.0.0.1", port));
  again->write("y", 1);
  ASSERT_TRUE(kivtest::WaitFor([&] { return recorder.Count("127.0.0.1") == 2; }));
}

TEST_F(SocketLoopbackTest, AClosedConnectionBreaksTheWriteStream) {
  StartServer();
  auto stream = Connect();
  stream->write("x", 1);
  ASSERT_TRUE(kivtest::WaitFor([&] { return recorder.Count("127.0.0.1") == 1; }));
  manager.reset();
  std::string block = Pattern(4096, 5);
  bool failed = kivtest::WaitFor([&] {
    try {
      stream->write(block.data(), 4096);
      return false;
    } catch (const std::runtime_error&) {
      return true;
    }
  });
  ASSERT_TRUE(failed);
  EXPECT_TRUE(stream->Broken());
  EXPECT_THROW(stream->write("y", 1), std::runtime_error) << "a broken stream raises at once";
}

TEST_F(SocketLoopbackTest, APeerThatStopsReadingCostsTheConnectionNotTheWriter) {
  ListenSocket listener(0, 1);
  WriteStream stream(std::make_unique<Client>("127.0.0.1", listener.Port(), Client::kConnectTimeoutMs, 200));
  std::string block = Pattern(kMaxMessageLength, 6);
  int writes = 0;
  EXPECT_THROW(for (; writes < 500; ++writes) stream.write(block.data(), kMaxMessageLength),
               std::runtime_error);
  EXPECT_LT(writes, 500);
}

TEST(SocketClient, AClosedPortOrABadAddressFailsAtOnce) {
  uint16_t port;
  {
    ListenSocket probe(0, 1);
    port = probe.Port();
  }
  EXPECT_THROW(Client("127.0.0.1", port), std::runtime_error);
  EXPECT_THROW(Client("127.0.0.1", 70000), std::logic_error);
  EXPECT_THROW(Client("999.1.1.1", port), std::logic_error);
  EXPECT_THROW(Client("", port), std::logic_error);
}

// A listener whose accept queue is full drops further connection requests, so
// connect() would wait for minutes; the client gives up after its time-out.
TEST(SocketClient, AnUnansweredConnectGivesUp) {
  ListenSocket listener(0, 0);
  std::vector<int> fillers;
  bool full = false;
  for (int i = 0; i < 16 && !full; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(listener.Port());
    inet_pton(AF_INET, "127.0.0.1", &peer.sin_addr);
    connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    fillers.push_back(fd);
    pollfd p{fd, POLLOUT, 0};
    full = poll(&p, 1, 300) == 0;
  }
  ASSERT_TRUE(full) << "could not fill the accept queue";
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(Client("127.0.0.1", listener.Port(), 300), std::runtime_error);
  // Generous: only tells a bounded attempt from the system's minutes-long one.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  for (int fd : fillers) close(fd);
}

}  // namespace
