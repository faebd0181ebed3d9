// The syslog sender against a raw TCP receiver: a bounded queue while the
// server is away, losses counted in records, the queue delivered in order
// once the server appears, and a receiver that goes away noticed.

#include "KivService/SyslogSender.h"

#include "KivService/SyslogOutput.h"

#include <gtest/gtest.h>

#include "TraceOutputTestUtil.h"

namespace {

// The messages of an octet-counted stream; "<bad frame>" marks a framing fault.
std::vector<std::string> Frames(const std::string& stream) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < stream.size()) {
    size_t space = stream.find(' ', at);
    if (space == std::string::npos) break;
    size_t length = std::stoul(stream.substr(at, space - at));
    if (space + 1 + length > stream.size()) break;  // not all here yet
    out.push_back(stream.substr(space + 1, length));
    at = space + 1 + length;
  }
  return out;
}

SyslogSettings Settings(uint16_t port, uint32_t queueKilobytes) {
  SyslogSettings s;
  s.m_On = true;
  s.m_Server = "127.0.0.1";
  s.m_Port = port;
  s.m_QueueKilobytes = queueKilobytes;
  return s;
}

}  // namespace

TEST(SyslogSender, QueueIsBoundedWhileAwayCountsLossesAndDeliversInOrderLater) {
  const uint16_t port = outputtest::FreePort();
  StatusReport::Collector collector;
  SyslogSender sender(Settings(port, 1), collector);
  constexpr int kPerBlock = 4;
  const size_t blockSize = outputtest::MakeBlock("b00", kPerBlock).size();
  const int capacity = static_cast<int>(1024 / blockSize);
  const int offered = capacity + 5;
  for (int i = 0; i < offered; ++i) {
    auto block = outputtest::MakeBlock("b" + std::to_string(10 + i), kPerBlock);
    sender.Offer("origin", block.data(), static_cast<uint32_t>(block.size()));
  }
  EXPECT_EQ(sender.Lost(), 5u * kPerBlock);
  EXPECT_EQ(sender.QueuedBytes(), capacity * blockSize);
  EXPECT_FALSE(sender.IsConnected());
  EXPECT_EQ(outputtest::StatusValue(collector, "Output\\Syslog\\Dropped"), std::to_string(5 * kPerBlock));

  outputtest::RawListener server(port);
  ASSERT_TRUE(server.Bound());
  ASSERT_TRUE(
      kivtest::WaitFor([&] { return Frames(server.Received()).size() == size_t(capacity) * kPerBlock; },
                       std::chrono::seconds(15)));
  std::vector<std::string> frames = Frames(server.Received());
  for (int i = 0; i < capacity; ++i)
    for (int r = 0; r < kPerBlock; ++r) {
      const std::string& m = frames[i * kPerBlock + r];
      EXPECT_NE(m.find(" origin kiv 4711 - [kiv@32473 seq=\"" + std::to_string(r + 1) + "\""),
                std::string::npos)
          << m;
      EXPECT_TRUE(m.ends_with("] b" + std::to_string(10 + i) + " record " + std::to_string(r))) << m;
    }
  EXPECT_TRUE(kivtest::WaitFor([&] { return sender.QueuedBytes() == 0 && sender.Sent() == frames.size(); }));
  EXPECT_EQ(outputtest::StatusValue(collector, "Output\\Syslog\\Connected"), "yes");

  // The receiver drops the connection: the sender notices while idle and
  // the next records go out whole on a new connection.
  server.DropConnections();
  ASSERT_TRUE(kivtest::WaitFor([&] { return server.Connections() == 2; }, std::chrono::seconds(15)));
  auto block = outputtest::MakeBlock("late", kPerBlock);
  sender.Offer("", block.data(), static_cast<uint32_t>(block.size()));
  ASSERT_TRUE(kivtest::WaitFor([&] { return Frames(server.Received(1)).size() == kPerBlock; }));
  EXPECT_NE(Frames(server.Received(1))[0].find(" host kiv 4711 "), std::string::npos)
      << "the block's own host";
  EXPECT_EQ(sender.Lost(), 5u * kPerBlock);
}

TEST(SyslogOutput, FollowsTheSettingsAndCarriesTheQueueOverToANewServer) {
  StatusReport::Collector collector;
  ConfigServer server;
  server.Config().m_TraceEnabled = true;
  server.Config().m_Syslog = Settings(outputtest::FreePort(), 64);
  SyslogOutput output(server, collector);
  EXPECT_EQ(SyslogOutput::Current(), &output);
  server.BroadcastConfigChange();
  ASSERT_TRUE(output.IsOn());
  for (const char* tag : {"first", "second"}) {
    auto block = outputtest::MakeBlock(tag, 2);
    output.Offer("h", block.data(), static_cast<uint32_t>(block.size()));
  }

  // A reload naming another server: what waited for the old one goes there.
  outputtest::RawListener receiver;
  ASSERT_TRUE(receiver.Bound());
  server.Config().m_Syslog.m_Port = receiver.Port();
  server.BroadcastConfigChange();
  ASSERT_TRUE(
      kivtest::WaitFor([&] { return Frames(receiver.Received()).size() == 4; }, std::chrono::seconds(15)));
  EXPECT_TRUE(Frames(receiver.Received())[3].ends_with("] second record 1"));
  EXPECT_EQ(output.Sent(), 4u);
  EXPECT_EQ(outputtest::CountStatus(collector, "Output\\Syslog\\Sent"), 1);

  // Tracing off switches it off, status entries and all.
  server.Config().m_TraceEnabled = false;
  server.BroadcastConfigChange();
  EXPECT_FALSE(output.IsOn());
  EXPECT_EQ(outputtest::CountStatus(collector, "Output\\Syslog\\Sent"), 0);
}
