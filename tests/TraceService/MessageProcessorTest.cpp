#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "TraceService/TraceService.h"

namespace {

// A 512-byte message ring in plain memory, with a writer and a reader.
struct TestRing {
  TestRing() { CircularMemoryOutputStream(region, sizeof region).Initialize(); }
  void Put(const std::vector<uint8_t>& bytes) { ASSERT_TRUE(writer.write(bytes.data(), bytes.size())); }
  template <class Message>
  void Send(const Message& message) {
    ASSERT_TRUE(MessageTransmitter<CircularMemoryOutputStream>(writer).Send(message));
  }
  CircularBufferHeader& Header() { return *reinterpret_cast<CircularBufferHeader*>(region); }

  alignas(4) uint8_t region[524] = {};
  CircularMemoryOutputStream writer{region, sizeof region};
  CircularMemoryInputStream reader{region, sizeof region};
};

struct Received {
  MessageHeader header;
  uint32_t length;
};

struct RecordingHandler {
  void Handle(const MessageHeader* header, uint32_t length) {
    if (throwOnType == header->m_Type) throw std::runtime_error("handler failure");
    received.push_back({*header, length});
  }
  std::vector<Received> received;
  uint32_t throwOnType = 0;
};

struct HeaderOnlyHandler {
  void Handle(const MessageHeader* header) { types.push_back(header->m_Type); }
  std::vector<uint32_t> types;
};

}  // namespace

TEST(MessageProcessor, DeliversEachMessageInOrderOnePerCall) {
  TestRing ring;
  ring.Send(MessageClientRegistration(4711, CodeRegister));
  ring.Send(MessageRuntimeConfigurationChange(4711, ResumeTracing));
  RecordingHandler handler;
  MessageProcessor<RecordingHandler> processor(handler);

  EXPECT_EQ(processor.Process(ring.reader), MessageProcessResult::Handled);
  ASSERT_EQ(handler.received.size(), 1u);
  EXPECT_EQ(handler.received[0].header.m_SourceId, 4711u);
  EXPECT_EQ(handler.received[0].header.m_Type, uint32_t{MessageTypeService});
  EXPECT_EQ(handler.received[0].length, 12u);
  EXPECT_EQ(ring.reader.GetDataLength(), 21u);

  EXPECT_EQ(processor.Process(ring.reader), MessageProcessResult::Handled);
  ASSERT_EQ(handler.received.size(), 2u);
  EXPECT_EQ(handler.received[1].header.m_Code, uint32_t{ResumeTracing});
  EXPECT_EQ(handler.received[1].length, 16u);
  EXPECT_EQ(ring.reader.GetDataLength(), 0u);
}

TEST(MessageProcessor, ShortMessageFieldsReadZeroNotLeftoversOfAnEarlierMessage) {
  TestRing ring;
  ring.Send(MessageRuntimeConfigurationChange(1, PreservationOff));  // m_Code 4
  ring.Send(MessagePing(77));
  HeaderOnlyHandler types;
  RecordingHandler handler;
  MessageProcessor<RecordingHandler> processor(handler);
  processor.Process(ring.reader);
  processor.Process(ring.reader);
  ASSERT_EQ(handler.received.size(), 2u);
  EXPECT_EQ(handler.received[1].header.m_Type, uint32_t{MessageTypePing});
  EXPECT_EQ(handler.received[1].header.m_Code, 0u);
  EXPECT_EQ(handler.received[1].length, 8u);

  // A handler that takes only the header works as well.
  ring.Send(MessagePing(77));
  MessageProcessor<HeaderOnlyHandler>(types).Process(ring.reader);
  EXPECT_EQ(types.types, std::vector<uint32_t>{MessageTypePing});
}

TEST(MessageProcessor, PacketsThatAreNotMessagesAreConsumedWithoutTheHandler) {
  TestRing ring;
  // A String packet, a Long packet with identifier, a 4-byte Binary packet.
  ring.Put({0x09, 3, 0, 0, 0, 'a', 'b', 'c'});
  ring.Put({0x24, 7, 0, 1, 2, 3, 4});
  ring.Put({0x0A, 4, 0, 0, 0, 9, 9, 9, 9});
  ring.Send(MessagePing(5));
  RecordingHandler handler;
  MessageProcessor<RecordingHandler> processor(handler);
  EXPECT_EQ(processor.Process(ring.reader), MessageProcessResult::Skipped);
  EXPECT_EQ(processor.Process(ring.reader), MessageProcessResult::Skipped);
  EXPECT_EQ(processor.Process(ring.reader), MessageProcessResult::Skipped);
  EXPECT_TRUE(handler.received.empty());
  EXPECT_EQ(processor.Process(ring.reader), MessageProcessResult::Handled);
  ASSERT_EQ(handler.received.size(), 1u);
  EXPECT_EQ(handler.received[0].header.m_SourceId, 5u);
}

TEST(MessageProcessor, UndecodableBytesDropWhatIsStoredAndTheRingCarriesOn) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"length beyond the message area", {0x0A, 0x00, 0x10, 0x00, 0x00, 1, 2, 3}},
      {"length just above what an encoder writes", {0x0A, 0xFC, 0x03, 0x00, 0x00}},
      {"length above what is stored", {0x0A, 0x40, 0x00, 0x00, 0x00, 1, 2, 3}},
      {"invalid header byte", {0x4A, 0x0C, 0, 0, 0}},
      {"invalid type code", {0x06, 0x0C, 0, 0, 0}},
      {"packet cut inside its length", {0x0A, 0x0C}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestRing ring;
    ring.Put(c.bytes);
    ring.Send(MessagePing(1));
    RecordingHandler handler;
    MessageProcessor<RecordingHandler> processor(handler);
    EXPECT_EQ(processor.Process(ring.reader), MessageProcessResult::Malformed);
    EXPECT_EQ(ring.reader.GetDataLength(), 0u);
    EXPECT_TRUE(handler.received.empty());
    // The next message written is read normally.
    ring.Send(MessagePing(2));
    EXPECT_EQ(processor.Process(ring.reader), MessageProcessResult::Handled);
    ASSERT_EQ(handler.received.size(), 1u);
    EXPECT_EQ(handler.received[0].header.m_SourceId, 2u);
  }
}

TEST(MessageProcessor, LargestPacketIsDeliveredWithinTheArea) {
  // The largest packet an encoder writes (1016 data bytes), wrapped.
  alignas(4) uint8_t big[12 + 2048] = {};
  CircularMemoryOutputStream writer(big, sizeof big);
  writer.Initialize();
  CircularMemoryInputStream reader(big, sizeof big);
  std::vector<uint8_t> filler(1500, 0);
  writer.write(filler.data(), filler.size());
  reader.Skip(filler.size());
  std::vector<uint8_t> packet = {0x0A, 0xF8, 0x03, 0, 0};
  packet.resize(5 + 1016, 0xEE);
  std::memcpy(packet.data() + 5, "\x01\x00\x00\x00\x03\x00\x00\x00", 8);
  ASSERT_TRUE(writer.write(packet.data(), packet.size()));
  RecordingHandler handler;
  EXPECT_EQ(MessageProcessor<RecordingHandler>(handler).Process(reader), MessageProcessResult::Handled);
  ASSERT_EQ(handler.received.size(), 1u);
  EXPECT_EQ(handler.received[0].length, 1016u);
  EXPECT_EQ(handler.received[0].header.m_Type, 3u);
}

TEST(MessageProcessor, HandlerFailureIsContainedAndTheMessageConsumed) {
  TestRing ring;
  ring.Send(MessageRuntimeConfigurationChange(9, ReloadConfigFile));
  ring.Send(MessagePing(9));
  RecordingHandler handler;
  handler.throwOnType = MessageTypeRuntimeConfigChange;
  MessageProcessor<RecordingHandler> processor(handler);
  EXPECT_EQ(processor.Process(ring.reader), MessageProcessResult::HandlerFailed);
  EXPECT_EQ(ring.reader.GetDataLength(), 13u);
  EXPECT_EQ(processor.Process(ring.reader), MessageProcessResult::Handled);
}

TEST(MessageProcessor, DamagedRingHeaderRaisesToTheCaller) {
  TestRing ring;
  ring.Send(MessagePing(9));
  ring.Header().m_Capacity = 100000;
  RecordingHandler handler;
  MessageProcessor<RecordingHandler> processor(handler);
  EXPECT_THROW(processor.Process(ring.reader), LogicException);
  ring.Header() = {0, 0xFFFFFFF0, 512};
  EXPECT_THROW(processor.Process(ring.reader), LogicException);
  EXPECT_TRUE(handler.received.empty());
}
