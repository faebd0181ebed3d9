#pragma once
// The dispatcher-to-dispatcher stream: repeated messages of a 4-byte
// little-endian unsigned length followed by that many bytes of one trace
// block. No handshake, no acknowledgement; a connection ends by closing.

#include <cstdint>

namespace SocketStream {

inline constexpr uint32_t kLengthSize = 4;
// The largest block a dispatcher sends: a 47-byte block header and a body of
// at most 1047551 bytes. A receiver ends a connection that announces more.
inline constexpr uint32_t kMaxMessageLength = 47 + 1047551;

inline void EncodeLength(uint32_t length, uint8_t out[kLengthSize]) {
  for (uint32_t i = 0; i < kLengthSize; ++i) out[i] = static_cast<uint8_t>(length >> (8 * i));
}

inline uint32_t DecodeLength(const uint8_t in[kLengthSize]) {
  uint32_t length = 0;
  for (uint32_t i = 0; i < kLengthSize; ++i) length |= uint32_t{in[i]} << (8 * i);
  return length;
}

}  // namespace SocketStream
