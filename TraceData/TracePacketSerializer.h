#pragma once
// Packet encoder over any output stream offering write(data, length).

#include <cstdint>

#include "TraceData/TracePacket.h"

template <class OutputStream>
class TracePacketSerializer {
 public:
  explicit TracePacketSerializer(OutputStream& stream) : m_Stream(stream) {}

  // Appends one encoded packet (data cut to 1016 bytes) in a single write.
  template <class T>
  TracePacketSerializer& operator<<(const TracePacket<T>& packet) {
    uint8_t scratch[TracePacketShared::kScratchSize];
    const uint32_t n =
        TracePacketShared::EncodePacket(scratch, packet.m_Variant, packet.m_DataType, packet.m_Identifier,
                                        packet.m_Data, packet.m_DataLength);
    m_Stream.write(scratch, n);
    return *this;
  }

  OutputStream& GetStream() { return m_Stream; }

 private:
  OutputStream& m_Stream;
};
