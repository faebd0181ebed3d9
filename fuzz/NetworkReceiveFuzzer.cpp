// Arbitrary bytes as a dispatcher stream arriving in arbitrary pieces. The
// first 8 bytes choose how reads are cut and where "nothing now" pauses fall;
// the rest is the stream, after which the peer closes. Whatever the cutting,
// the receiver must deliver exactly the messages a whole-stream parse finds,
// hold no more than one message, and end Refused or Closed.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "SocketStream/MessageReceiver.h"

using SocketStream::ByteSource;
using SocketStream::kLengthSize;
using SocketStream::kMaxMessageLength;
using SocketStream::MessageReceiver;

namespace {

class CutSource : public ByteSource {
 public:
  CutSource(uint64_t seed, const uint8_t* data, size_t size)
      : m_State(seed | 1), m_Data(data), m_Size(size) {}

  long Read(uint8_t* buffer, size_t capacity) override { return ReadWithNext(buffer, capacity, nullptr, 0); }

  long ReadWithNext(uint8_t* buffer, size_t capacity, uint8_t* next, size_t nextCapacity) override {
    if (m_Position == m_Size) return 0;
    uint64_t r = Next();
    if (r % 4 == 0) return kNothingNow;
    size_t n = std::min(
        {capacity + nextCapacity, m_Size - m_Position, size_t{1} + static_cast<size_t>(r >> 8) % 4096});
    size_t first = std::min(n, capacity);
    std::memcpy(buffer, m_Data + m_Position, first);
    if (n > first && next != nullptr) std::memcpy(next, m_Data + m_Position + first, n - first);
    m_Position += n;
    return static_cast<long>(n);
  }

 private:
  uint64_t Next() {
    m_State ^= m_State << 13;
    m_State ^= m_State >> 7;
    m_State ^= m_State << 17;
    return m_State;
  }
  uint64_t m_State;
  const uint8_t* m_Data;
  size_t m_Size;
  size_t m_Position = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  uint64_t seed = 0;
  std::memcpy(&seed, data, 8);
  data += 8;
  size -= 8;

  // The reference: the stream parsed in one piece.
  std::vector<std::string> expected;
  bool refused = false;
  for (size_t at = 0; at + kLengthSize <= size;) {
    uint32_t length = SocketStream::DecodeLength(data + at);
    at += kLengthSize;
    if (length > kMaxMessageLength) {
      refused = true;
      break;
    }
    if (size - at < length) break;
    if (length > 0) expected.emplace_back(reinterpret_cast<const char*>(data + at), length);
    at += length;
  }

  CutSource source(seed, data, size);
  MessageReceiver receiver;
  std::vector<std::string> got;
  auto deliver = [&](const uint8_t* block, uint32_t length) {
    if (length == 0 || length > kMaxMessageLength) std::abort();
    got.emplace_back(reinterpret_cast<const char*>(block), length);
  };
  MessageReceiver::State state = MessageReceiver::State::Open;
  // Every step either reads a byte, pauses, or ends: 4 * size + 64 steps is
  // far more than enough, so running out means the receiver is stuck.
  for (size_t steps = 0; state == MessageReceiver::State::Open; ++steps) {
    if (steps > 4 * size + 64) std::abort();
    state = receiver.Step(source, deliver);
    if (receiver.PendingBytes() > kLengthSize + kMaxMessageLength) std::abort();
  }
  if (got != expected) std::abort();
  if ((state == MessageReceiver::State::Refused) != refused) std::abort();
  return 0;
}
