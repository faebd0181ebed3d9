#pragma once
// Names and sizes of the shared-memory files of the client/dispatcher
// messaging. Map files are "{temp}" + region name + ".map", lock files
// "{temp}" + name + ".lck".

#include <cstdint>
#include <string>

#include "MemoryStream/CircularMemoryBuffer.h"

// Region name of the dispatcher's message ring: an empty prefix followed by
// "KivServerMessageBuffer".
struct KivServerMessageBufferNamingPolicy {
  static constexpr const char* Prefix = "";
  static constexpr const char* Name = "KivServerMessageBuffer";
  operator std::string() const { return std::string(Prefix) + Name; }
};

namespace KivMessageBuffers {

// Inter-process lock around every access to the dispatcher's message ring.
inline constexpr const char* kMessageLockName = "KivServerMessageLock";

// Message rings (the dispatcher's and each client's): 512 data bytes.
inline constexpr uint32_t kMessageRingCapacity = 512;
inline constexpr uint32_t kMessageRingFileSize = CircularMemoryBuffer::RegionSizeFor(kMessageRingCapacity);

// Each client's trace ring: 1047552 data bytes.
inline constexpr uint32_t kTraceRingCapacity = 0xFFC00;
inline constexpr uint32_t kTraceRingFileSize = CircularMemoryBuffer::RegionSizeFor(kTraceRingCapacity);
static_assert(kMessageRingFileSize == 524 && kTraceRingFileSize == 1047564);

// "KivServerMessageBuffer" + pid in decimal: the client's own message ring.
inline std::string ClientMessageBufferName(uint32_t pid) {
  return std::string(KivServerMessageBufferNamingPolicy()) + std::to_string(pid);
}
// "KivTraceBuffer" + pid in decimal: the client's trace ring.
inline std::string TraceBufferName(uint32_t pid) { return "KivTraceBuffer" + std::to_string(pid); }

}  // namespace KivMessageBuffers
