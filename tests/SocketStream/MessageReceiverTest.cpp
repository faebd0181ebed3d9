#include "SocketStream/MessageReceiver.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

using SocketStream::ByteSource;
using SocketStream::kMaxMessageLength;
using SocketStream::MessageReceiver;

namespace {

std::string Message(const std::string& body) {
  uint8_t header[4];
  SocketStream::EncodeLength(static_cast<uint32_t>(body.size()), header);
  return std::string(reinterpret_cast<char*>(header), 4) + body;
}

// Hands out queued chunks; an empty chunk means "nothing now". When the queue
// runs dry it reports a close, or nothing now while `open`.
class ScriptedSource : public ByteSource {
 public:
  std::deque<std::string> chunks;
  bool open = true;
  size_t reads = 0;

  long Read(uint8_t* buffer, size_t capacity) override { return ReadWithNext(buffer, capacity, nullptr, 0); }

  // Like a socket: one chunk at most, spread over both places.
  long ReadWithNext(uint8_t* buffer, size_t capacity, uint8_t* next, size_t nextCapacity) override {
    ++reads;
    if (chunks.empty()) return open ? kNothingNow : 0;
    std::string& front = chunks.front();
    if (front.empty()) {
      chunks.pop_front();
      return kNothingNow;
    }
    size_t n = std::min(capacity + nextCapacity, front.size());
    size_t first = std::min(n, capacity);
    std::copy_n(front.data(), first, buffer);
    std::copy_n(front.data() + first, n - first, next);
    front.erase(0, n);
    if (front.empty()) chunks.pop_front();
    return static_cast<long>(n);
  }
};

struct Collected {
  std::vector<std::string> messages;
  MessageReceiver::Deliver Sink() {
    return [this](const uint8_t* data, uint32_t length) {
      messages.emplace_back(reinterpret_cast<const char*>(data), length);
    };
  }
};

TEST(MessageReceiver, EverySplitOfTheStreamGivesTheSameMessages) {
  std::string body2(3000, '\0');
  for (size_t i = 0; i < body2.size(); ++i) body2[i] = static_cast<char>(i * 7);
  const std::string stream = Message("first") + Message("") + Message(body2) + Message("x");
  const std::vector<std::string> expected = {"first", body2, "x"};  // the empty message carries nothing

  for (size_t cut = 0; cut <= stream.size(); cut += (cut < 40 ? 1 : 97)) {
    ScriptedSource source;
    source.chunks = {stream.substr(0, cut), "", stream.substr(cut)};
    MessageReceiver receiver;
    Collected out;
    while (!source.chunks.empty()) ASSERT_EQ(receiver.Step(source, out.Sink()), MessageReceiver::State::Open);
    EXPECT_EQ(out.messages, expected) << "cut at " << cut;
    EXPECT_EQ(receiver.PendingBytes(), 0u);
    // Two empty reads, five for the four messages (the end of a body brings
    // the next length), one that finds nothing.
    if (cut == 0) {
      EXPECT_EQ(source.reads, 8u);
    }
  }
}

TEST(MessageReceiver, ATrickleIsKeptAcrossStepsAndBuffersOnlyWhatArrived) {
  const std::string stream = Message("slowly") + Message("again");
  ScriptedSource source;
  for (char c : stream) source.chunks.push_back(std::string(1, c)), source.chunks.push_back("");
  MessageReceiver receiver;
  Collected out;
  size_t steps = 0;
  while (!source.chunks.empty()) {
    ASSERT_EQ(receiver.Step(source, out.Sink()), MessageReceiver::State::Open);
    ++steps;
    if (steps == 6) {
      EXPECT_EQ(receiver.PendingBytes(), 6u) << "4 length bytes and 2 of the block";
    }
  }
  EXPECT_EQ(steps, stream.size());
  EXPECT_EQ(out.messages, (std::vector<std::string>{"slowly", "again"}));

  // A huge announcement costs only the bytes that came.
  MessageReceiver big;
  uint8_t header[4];
  SocketStream::EncodeLength(kMaxMessageLength, header);
  source.chunks = {std::string(reinterpret_cast<char*>(header), 4) + "0123456789"};
  EXPECT_EQ(big.Step(source, out.Sink()), MessageReceiver::State::Open);
  EXPECT_EQ(big.PendingBytes(), 14u);
}

TEST(MessageReceiver, LengthsAboveTheLargestBlockEndTheStream) {
  struct Case {
    uint32_t length;
    MessageReceiver::State state;
  } cases[] = {{kMaxMessageLength, MessageReceiver::State::Open},
               {kMaxMessageLength + 1, MessageReceiver::State::Refused},
               {0xFFFFFFFFu, MessageReceiver::State::Refused},
               {0x42524147u /* "GARB" */, MessageReceiver::State::Refused}};
  for (const auto& c : cases) {
    ScriptedSource source;
    uint8_t header[4];
    SocketStream::EncodeLength(c.length, header);
    std::string stream(reinterpret_cast<char*>(header), 4);
    if (c.state == MessageReceiver::State::Open) stream += std::string(c.length, 'b');
    source.chunks = {stream + Message("after")};
    MessageReceiver receiver;
    Collected out;
    EXPECT_EQ(receiver.Step(source, out.Sink()), c.state) << c.length;
    if (c.state == MessageReceiver::State::Open) {
      ASSERT_EQ(out.messages.size(), 2u);
      EXPECT_EQ(out.messages[0].size(), kMaxMessageLength);
      EXPECT_EQ(out.messages[1], "after");
    } else {
      EXPECT_TRUE(out.messages.empty());
      size_t reads = source.reads;
      EXPECT_EQ(receiver.Step(source, out.Sink()), c.state) << "stays refused without reading";
      EXPECT_EQ(source.reads, reads);
    }
  }
}

TEST(MessageReceiver, ACloseDropsTheUnfinishedMessage) {
  for (const std::string& tail :
       {std::string(""), std::string("\x05\x00", 2), Message("abcdef").substr(0, 7)}) {
    ScriptedSource source;
    source.open = false;
    source.chunks = {Message("whole") + tail};
    MessageReceiver receiver;
    Collected out;
    EXPECT_EQ(receiver.Step(source, out.Sink()), MessageReceiver::State::Closed);
    EXPECT_EQ(out.messages, std::vector<std::string>{"whole"});
  }
}

// A peer that never stops sending cannot keep one step going for ever.
TEST(MessageReceiver, AStepEndsAfterItsByteBudget) {
  class Endless : public ByteSource {
   public:
    long Read(uint8_t* buffer, size_t capacity) override {
      for (size_t i = 0; i < capacity; ++i)
        buffer[i] = static_cast<uint8_t>(pattern[position++ % pattern.size()]);
      return static_cast<long>(capacity);
    }
    const std::string pattern = Message(std::string(1000, 'z'));
    size_t position = 0;
  } source;
  MessageReceiver receiver;
  size_t delivered = 0;
  EXPECT_EQ(receiver.Step(source, [&](const uint8_t*, uint32_t length) { delivered += length; }),
            MessageReceiver::State::Open);
  EXPECT_GE(delivered, MessageReceiver::kMaxBytesPerStep * 9 / 10);
  EXPECT_LE(source.position, MessageReceiver::kMaxBytesPerStep + 1004);
}

}  // namespace
