// Runs the message processor over a 512-byte message ring whose header and
// data come from the input, as a ring in shared memory can hold anything
// another process wrote. Beyond the sanitizers' checks it traps when the
// processor breaks its promises: a handler call with a length outside a
// message's bounds, a call that consumes nothing, a damaged packet that
// leaves bytes behind.
//
// Input: 12 header bytes (read position, write position, capacity), then up
// to 512 data bytes; missing bytes are zero.

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "TraceService/TraceService.h"

namespace {
struct CheckingHandler {
  void Handle(const MessageHeader* header, uint32_t length) {
    if (length < 8 || length > TracePacketShared::kMaxDataLength) __builtin_trap();
    // Touch the whole header: it must lie inside the message area.
    volatile uint32_t sum = header->m_SourceId + header->m_Type + header->m_Code;
    (void)sum;
    if (header->m_Type == MessageTypeConfirmation) throw std::runtime_error("handler failure");
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  alignas(4) uint8_t region[KivMessageBuffers::kMessageRingFileSize] = {};
  std::memcpy(region, data, size < sizeof region ? size : sizeof region);
  CircularMemoryInputStream reader(region, sizeof region);
  CheckingHandler handler;
  MessageProcessor<CheckingHandler> processor(handler);
  try {
    // Every call consumes at least one byte, so 512 calls empty any ring.
    for (int i = 0; i < 512; ++i) {
      const uint32_t before = reader.GetDataLength();
      if (before == 0) break;
      const MessageProcessResult result = processor.Process(reader);
      const uint32_t after = reader.GetDataLength();
      if (after >= before) __builtin_trap();
      if (result == MessageProcessResult::Malformed && after != 0) __builtin_trap();
    }
  } catch (const LogicException&) {
    // Only a damaged ring header may escape, and then nothing was consumed.
    if (reader.IsHeaderValid()) __builtin_trap();
    return 0;
  }
  // A ring the processor emptied takes and delivers a message again.
  if (reader.IsHeaderValid() && reader.GetDataLength() == 0) {
    CircularMemoryOutputStream writer(region, sizeof region);
    if (!MessageTransmitter<CircularMemoryOutputStream>(writer).Send(MessagePing(1))) __builtin_trap();
    if (processor.Process(reader) != MessageProcessResult::Handled) __builtin_trap();
  }
  return 0;
}
