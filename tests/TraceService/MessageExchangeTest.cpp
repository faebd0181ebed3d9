#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "Support/TestFork.h"
#include "TestSupport/Sandbox.h"
#include "TraceService/TraceService.h"

namespace {

// Each test gets a fresh {temp} holding the rings and the message lock.
struct MessageSandbox {
  MessageSandbox() { std::filesystem::create_directories(sandbox.TempDir()); }
  kivtest::Sandbox sandbox;
};

struct Collector {
  void Handle(const MessageHeader* header, uint32_t length) {
    MessageRuntimeConfigurationChange copy{};
    std::memcpy(static_cast<void*>(&copy), header, length < sizeof copy ? length : sizeof copy);
    messages.push_back(copy);
  }
  std::vector<MessageRuntimeConfigurationChange> messages;
};

// Processes messages from `stream` into `collector` until `done` holds or a
// generous deadline passes.
template <class Stream, class Done>
bool ProcessUntil(Stream& stream, Collector& collector, Done done) {
  MessageProcessor<Collector> processor(collector);
  return kivtest::WaitFor([&] {
    while (stream.GetDataLength() != 0) processor.Process(stream);
    return done();
  });
}

bool Has(const Collector& c, uint32_t type, uint32_t code) {
  for (const auto& m : c.messages)
    if (m.m_Type == type && (type == MessageTypePing || m.m_Code == code)) return true;
  return false;
}

template <class Message>
void SendToDispatcher(const Message& message) {
  ServerMessageSendingStream stream;
  MessageTransmitter<ServerMessageSendingStream>(stream) << message;
}

}  // namespace

TEST(MessageExchange, ClientAndDispatcherProcessesExchangeEveryMessageKind) {
  MessageSandbox box;
  ServerMessageReceivingStream dispatcherRing;

  pid_t child = kivtest::StartChild([] {
    const uint32_t me = static_cast<uint32_t>(getpid());
    ClientMessageReceivingStream own(me);
    Collector received;
    SendToDispatcher(MessageClientRegistration(me, CodeRegister));
    if (!ProcessUntil(own, received,
                      [&] { return Has(received, MessageTypeConfirmation, ConfirmRegistration); }))
      return 1;
    SendToDispatcher(MessageRuntimeConfigurationChange(me, PauseTracing));
    if (!ProcessUntil(own, received, [&] {
          return Has(received, MessageTypeConfirmation, ConfirmConfigChange) &&
                 Has(received, MessageTypeRuntimeConfigChange, PauseTracing) &&
                 Has(received, MessageTypePing, 0);
        }))
      return 2;
    for (const auto& m : received.messages) {
      if (m.m_Type == MessageTypePing && m.m_SourceId != me) return 3;
      if (m.m_Type == MessageTypeConfirmation && m.m_SourceId != 0) return 4;
      if (m.m_Type == MessageTypeRuntimeConfigChange && m.m_SourceId != me) return 5;
    }
    received.messages.clear();
    SendToDispatcher(MessageClientRegistration(me, CodeUnregister));
    if (!ProcessUntil(own, received,
                      [&] { return Has(received, MessageTypeConfirmation, ConfirmRegistration); }))
      return 6;
    return 0;
  });

  // The dispatcher's side: answer as the message handling does.
  Collector requests;
  std::unique_ptr<ClientMessageSendingStream> client;
  size_t handled = 0;
  bool unregistered = ProcessUntil(dispatcherRing, requests, [&] {
    for (; handled < requests.messages.size(); ++handled) {
      const auto& m = requests.messages[handled];
      if (m.m_Type == MessageTypeService && m.m_Code == CodeRegister) {
        client = std::make_unique<ClientMessageSendingStream>(m.m_SourceId);
        MessageTransmitter<ClientMessageSendingStream>(*client) << MessageConfirmation(ConfirmRegistration);
      } else if (m.m_Type == MessageTypeRuntimeConfigChange && client) {
        MessageTransmitter<ClientMessageSendingStream> to(*client);
        to << MessageConfirmation(ConfirmConfigChange) << m << MessagePing(m.m_SourceId);
      } else if (m.m_Type == MessageTypeService && m.m_Code == CodeUnregister && client) {
        MessageTransmitter<ClientMessageSendingStream>(*client) << MessageConfirmation(ConfirmRegistration);
        return true;
      }
    }
    return false;
  });
  EXPECT_TRUE(unregistered);
  EXPECT_EQ(kivtest::WaitChild(child), 0);
  ASSERT_EQ(requests.messages.size(), 3u);
  EXPECT_EQ(requests.messages[0].m_SourceId, static_cast<uint32_t>(child));
  EXPECT_EQ(requests.messages[1].m_Code, uint32_t{PauseTracing});
  // The client created and removed its own ring; the lock file is the dispatcher's.
  EXPECT_FALSE(
      kivtest::FileExists(box.sandbox.TempDir() + "KivServerMessageBuffer" + std::to_string(child) + ".map"));
  EXPECT_TRUE(kivtest::FileExists(box.sandbox.TempDir() + "KivServerMessageLock.lck"));
}

TEST(MessageExchange, ConcurrentSenderProcessesNeverInterleaveTheirMessages) {
  MessageSandbox box;
  ServerMessageReceivingStream dispatcherRing;
  constexpr uint32_t kSenders = 4, kMessages = 400;
  std::vector<pid_t> children;
  for (uint32_t s = 0; s < kSenders; ++s) {
    children.push_back(kivtest::StartChild([] {
      const uint32_t me = static_cast<uint32_t>(getpid());
      for (uint32_t i = 0; i < kMessages;) {
        // A fresh stream per message, as clients send; retried when full.
        ServerMessageSendingStream stream;
        MessageRuntimeConfigurationChange m(me, PauseTracing);
        m.m_Reserved = i;
        if (MessageTransmitter<ServerMessageSendingStream>(stream).Send(m))
          ++i;
        else
          usleep(100);
      }
      return 0;
    }));
  }
  Collector received;
  std::map<uint32_t, uint32_t> next;
  uint32_t malformed = 0;
  MessageProcessor<Collector> processor(received);
  kivtest::WaitFor(
      [&] {
        while (dispatcherRing.GetDataLength() != 0)
          if (processor.Process(dispatcherRing) != MessageProcessResult::Handled) ++malformed;
        return received.messages.size() >= kSenders * kMessages;
      },
      std::chrono::seconds(60));
  for (pid_t c : children) EXPECT_EQ(kivtest::WaitChild(c), 0);
  EXPECT_EQ(malformed, 0u);
  ASSERT_EQ(received.messages.size(), kSenders * kMessages);
  for (const auto& m : received.messages) {
    ASSERT_EQ(m.m_Type, uint32_t{MessageTypeRuntimeConfigChange});
    ASSERT_EQ(m.m_Reserved, next[m.m_SourceId]++) << "sender " << m.m_SourceId;
  }
  EXPECT_EQ(next.size(), kSenders);
}

TEST(MessageExchange, TwoDispatcherThreadsWritingToOneClientAreSerialised) {
  MessageSandbox box;
  ClientMessageReceivingStream own(4242);
  ClientMessageSendingStream toClient(4242);
  // Large writes (two fit into the ring) keep each copy long enough for
  // unserialised writers to overlap.
  constexpr uint32_t kEach = 20000, kChunk = 250;
  std::atomic<bool> stop{false};
  auto writer = [&](uint8_t tag) {
    uint8_t chunk[kChunk];
    for (uint32_t i = 0; i < kEach && !stop;) {
      std::memset(chunk, tag, kChunk);
      std::memcpy(chunk + 1, &i, sizeof i);
      if (toClient.write(chunk, kChunk))
        ++i;
      else
        std::this_thread::yield();
    }
  };
  std::thread confirmations(writer, uint8_t{1});
  std::thread pings(writer, uint8_t{2});
  uint32_t next[3] = {}, bad = 0;
  for (uint32_t got = 0; got < 2 * kEach && bad == 0;) {
    if (own.GetDataLength() < kChunk) {
      std::this_thread::yield();
      continue;
    }
    uint8_t chunk[kChunk];
    own.read(chunk, kChunk);
    ++got;
    uint32_t sequence;
    std::memcpy(&sequence, chunk + 1, sizeof sequence);
    const uint8_t tag = chunk[0];
    bool whole = (tag == 1 || tag == 2) && chunk[kChunk - 1] == tag && sequence == next[tag]++;
    if (!whole) ++bad;
  }
  stop = true;  // lets the writers go should the reader have stopped early
  confirmations.join();
  pings.join();
  EXPECT_EQ(bad, 0u);
  EXPECT_EQ(next[1], kEach);
  EXPECT_EQ(next[2], kEach);
}

TEST(MessageExchange, OpenersKeepTheRingAndADamagedHeaderIsRefusedUntilTheCreatorRecovers) {
  MessageSandbox box;
  ServerMessageReceivingStream dispatcherRing;
  SendToDispatcher(MessageClientRegistration(1, CodeRegister));
  SendToDispatcher(MessageClientRegistration(2, CodeRegister));
  EXPECT_EQ(dispatcherRing.GetDataLength(), 34u);  // the second opener did not reset the ring

  {
    // Anyone can write the header of a shared ring.
    SharedMemory raw(KivServerMessageBufferNamingPolicy{});
    reinterpret_cast<CircularBufferHeader*>(raw.Data())->m_WritePosition = 4096;
  }
  EXPECT_THROW(SendToDispatcher(MessagePing(3)), LogicException);
  Collector c;
  EXPECT_THROW(MessageProcessor<Collector>(c).Process(dispatcherRing), LogicException);
  EXPECT_TRUE(dispatcherRing.RecoverIfDamaged());
  EXPECT_FALSE(dispatcherRing.RecoverIfDamaged());
  SendToDispatcher(MessagePing(3));
  EXPECT_EQ(MessageProcessor<Collector>(c).Process(dispatcherRing), MessageProcessResult::Handled);
  ASSERT_EQ(c.messages.size(), 1u);
  EXPECT_EQ(c.messages[0].m_SourceId, 3u);
}

TEST(MessageExchange, SendingWithoutARunningDispatcherFailsToOpenTheRing) {
  MessageSandbox box;
  EXPECT_THROW(SendToDispatcher(MessagePing(1)), RuntimeException);
}
