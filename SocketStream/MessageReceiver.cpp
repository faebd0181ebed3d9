#include "SocketStream/MessageReceiver.h"

#include <algorithm>

namespace SocketStream {

MessageReceiver::State MessageReceiver::Step(ByteSource& source, const Deliver& deliver) {
  size_t taken = 0;
  // False when the step must stop: nothing more now, or the peer closed.
  auto consumed = [&](long n) {
    if (n == 0) m_State = State::Closed;
    if (n <= 0) return false;
    taken += static_cast<size_t>(n);
    return true;
  };
  while (m_State == State::Open && taken < kMaxBytesPerStep) {
    if (m_HeaderHave < kLengthSize) {
      long n = source.Read(m_Header + m_HeaderHave, kLengthSize - m_HeaderHave);
      if (!consumed(n)) break;
      m_HeaderHave += static_cast<uint32_t>(n);
      if (m_HeaderHave < kLengthSize) continue;
      m_Length = DecodeLength(m_Header);
      if (m_Length > m_MaxLength) {
        m_State = State::Refused;
        break;
      }
    } else {
      // Grow by what is read, not by what was announced.
      size_t have = m_Body.size();
      size_t want = std::min<size_t>(m_Length - have, kReadChunk);
      m_Body.resize(have + want);
      long n = source.Read(m_Body.data() + have, want);
      m_Body.resize(have + static_cast<size_t>(std::max(n, 0L)));
      if (!consumed(n)) break;
    }
    if (m_Body.size() == m_Length) {
      // Reset before delivering, so that a deliver that raises leaves no
      // half-consumed message behind. Empty messages carry nothing to file.
      decltype(m_Body) body;
      body.swap(m_Body);
      m_HeaderHave = 0;
      if (!body.empty()) deliver(body.data(), static_cast<uint32_t>(body.size()));
      body.clear();
      m_Body.swap(body);  // keep the capacity for the next message
    }
  }
  return m_State;
}

}  // namespace SocketStream
