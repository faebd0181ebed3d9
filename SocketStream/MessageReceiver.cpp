#include "SocketStream/MessageReceiver.h"

#include <algorithm>

namespace SocketStream {

MessageReceiver::State MessageReceiver::Step(ByteSource& source, const Deliver& deliver) {
  size_t taken = 0;
  while (m_State == State::Open && taken < kMaxBytesPerStep) {
    long n;
    if (m_HeaderHave < kLengthSize) {
      n = source.Read(m_Header + m_HeaderHave, kLengthSize - m_HeaderHave);
      if (n > 0) m_HeaderHave += static_cast<uint32_t>(n);
    } else {
      // Grow by what is read, not by what was announced. The last piece of
      // a body comes with the next length: one call less per message.
      size_t have = m_Body.size();
      size_t left = m_Length - have;
      size_t want = std::min<size_t>(left, kReadChunk);
      m_Body.resize(have + want);
      n = want == left ? source.ReadWithNext(m_Body.data() + have, want, m_Next, kLengthSize)
                       : source.Read(m_Body.data() + have, want);
      size_t body = n > 0 ? std::min(static_cast<size_t>(n), want) : 0;
      m_Body.resize(have + body);
      if (n > 0) m_NextHave = static_cast<uint32_t>(static_cast<size_t>(n) - body);
    }
    if (n == 0) m_State = State::Closed;
    if (n <= 0) break;
    taken += static_cast<size_t>(n);
    if (!Settle(deliver)) break;
  }
  return m_State;
}

bool MessageReceiver::Settle(const Deliver& deliver) {
  while (m_HeaderHave == kLengthSize) {
    m_Length = DecodeLength(m_Header);
    if (m_Length > m_MaxLength) {
      m_State = State::Refused;
      return false;
    }
    if (m_Body.size() < m_Length) return true;
    // Reset before delivering, so that a deliver that raises leaves no
    // half-consumed message behind. Empty messages carry nothing to file.
    decltype(m_Body) body;
    body.swap(m_Body);
    std::copy_n(m_Next, m_NextHave, m_Header);
    m_HeaderHave = m_NextHave;
    m_NextHave = 0;
    if (!body.empty()) deliver(body.data(), static_cast<uint32_t>(body.size()));
    body.clear();
    m_Body.swap(body);  // keep the capacity for the next message
  }
  return true;
}

}  // namespace SocketStream
