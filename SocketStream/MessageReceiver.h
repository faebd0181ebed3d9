#pragma once
// The receive side of the dispatcher stream, free of sockets so that it can
// be tested and fuzzed over any byte source.
//
// A partial message (length or block) is kept across steps, so a peer that
// trickles bytes costs nothing but its own buffer, which grows only with the
// bytes that actually arrived (never to an announced length up front). An
// announced length above the limit, or the peer closing, ends the stream; a
// block cut short by the close is never delivered.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "SocketStream/WireFormat.h"

namespace SocketStream {

// Where the receiver's bytes come from.
class ByteSource {
 public:
  static constexpr long kNothingNow = -1;
  virtual ~ByteSource() = default;
  // Reads up to `capacity` (> 0) bytes into `buffer` without waiting: the
  // count read (> 0), 0 when the peer closed, or kNothingNow when nothing is
  // available at the moment. Raises on a failure of the source.
  virtual long Read(uint8_t* buffer, size_t capacity) = 0;
  // As Read, but bytes beyond `capacity` may go on into `next` (up to
  // `nextCapacity`): the end of one message and the start of the next in one
  // call. The count covers both.
  virtual long ReadWithNext(uint8_t* buffer, size_t capacity, uint8_t* /*next*/, size_t /*nextCapacity*/) {
    return Read(buffer, capacity);
  }
};

// Leaves new elements of a vector uninitialised: a body buffer is grown
// before each read and the read fills it, so zeroing it first is waste.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

class MessageReceiver {
 public:
  enum class State { Open, Closed, Refused };
  using Deliver = std::function<void(const uint8_t* data, uint32_t length)>;

  // A step stops after this many bytes even if more are waiting, so that its
  // caller's thread can notice it is being stopped; the rest comes next step.
  static constexpr size_t kMaxBytesPerStep = size_t{16} << 20;
  static constexpr size_t kReadChunk = 64 * 1024;

  explicit MessageReceiver(uint32_t maxLength = kMaxMessageLength) : m_MaxLength(maxLength) {}

  // Reads what `source` has now and hands every complete non-empty message
  // to `deliver`, in order. Open: call again later. Closed: the peer closed.
  // Refused: a length above the limit was announced. Once not Open, every
  // later step returns the same state without reading.
  State Step(ByteSource& source, const Deliver& deliver);

  State CurrentState() const { return m_State; }
  // Bytes of an unfinished message held (length bytes included).
  size_t PendingBytes() const { return m_HeaderHave + m_Body.size(); }

 private:
  const uint32_t m_MaxLength;
  State m_State = State::Open;
  // Takes the length once its bytes are whole and hands on the body once it
  // is whole, for as many messages as the bytes held complete. False when
  // the length is refused.
  bool Settle(const Deliver& deliver);

  uint8_t m_Header[kLengthSize] = {};
  uint32_t m_HeaderHave = 0;  // length bytes received of the current message
  uint32_t m_Length = 0;      // announced length, valid once m_HeaderHave == kLengthSize
  std::vector<uint8_t, UninitialisedAllocator<uint8_t>> m_Body;
  // Length bytes of the next message read with the end of this one's body.
  uint8_t m_Next[kLengthSize] = {};
  uint32_t m_NextHave = 0;
};

}  // namespace SocketStream
