#pragma once
// Allocation-free building of whole trace records and block headers into
// caller-provided memory: the hot path of the client library's record writer
// and of the dispatcher's trace server.
//
// Record writer (one record per ring write, all or nothing):
//   uint8_t buf[TraceRecordBuilder::kMaxRecordSize];
//   TraceRecordFields f{sequence, TraceTimestamp::Now(), threadId, module, label, client, text};
//   uint32_t n = TraceRecordBuilder::BuildRecord(f, buf, sizeof buf);   // never 0 with this buffer
//   ring.write(buf, n);
//
// Trace server (a block around bytes that are already whole records):
//   SmartBufferOutputStream<65536> block;
//   TraceRecordBuilder::AppendBlock(block, TraceBlockHeader(n, clientPid), body, n);
//   dispatcher.write(block.Data(), block.GetLength());
//
// Strings longer than 1016 bytes are cut to 1016, as every packet is.

#include <cstdint>
#include <cstring>
#include <string_view>

#include "TraceData/TracePacketShared.h"
#include "TraceData/TraceStructures.h"

// The fields of one client trace record.
struct TraceRecordFields {
  uint32_t m_SequenceNumber = 0;
  TraceTimestamp m_Timestamp;
  uint32_t m_ThreadId = 0;
  std::string_view m_ModuleName;
  std::string_view m_LabelName;
  std::string_view m_ClientName;
  std::string_view m_MessageText;
  // A record of no particular client carries no ClientName packet at all.
  bool m_HasClientName = true;
};

namespace TraceRecordBuilder {

using TracePacketShared::DataType;
using TracePacketShared::EncodedSize;

// 0x2A, identifier 10, length 8, sequence number, body length.
inline constexpr uint32_t kRecordHeaderPacketSize = EncodedSize(DataType::Binary, 10, 8);
// 0x2A, identifier 11, length 40, the TraceBlockHeader.
inline constexpr uint32_t kBlockHeaderPacketSize = EncodedSize(DataType::Binary, 11, 40);
static_assert(kRecordHeaderPacketSize == 15 && kBlockHeaderPacketSize == 47);

// Size of the longest record BuildRecord produces: a buffer this large
// always suffices.
inline constexpr uint32_t kMaxRecordSize =
    kRecordHeaderPacketSize + EncodedSize(DataType::Binary, 2, sizeof(TraceTimestamp)) +
    EncodedSize(DataType::Long, 3, 4) +
    3 * EncodedSize(DataType::String, 32, TracePacketShared::kMaxDataLength) +
    EncodedSize(DataType::String, 0, TracePacketShared::kMaxDataLength);

inline uint32_t StringLength(std::string_view s) {
  return s.size() > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(s.size());
}

// Size of the record BuildRecord makes of `f`.
inline uint32_t RecordSize(const TraceRecordFields& f) {
  using namespace TracePacketShared;
  return kRecordHeaderPacketSize + EncodedSize(DataType::Binary, Timestamp, sizeof(TraceTimestamp)) +
         EncodedSize(DataType::Long, ThreadId, 4) +
         EncodedSize(DataType::String, ModuleName, StringLength(f.m_ModuleName)) +
         EncodedSize(DataType::String, LabelName, StringLength(f.m_LabelName)) +
         (f.m_HasClientName ? EncodedSize(DataType::String, ClientName, StringLength(f.m_ClientName)) : 0) +
         EncodedSize(DataType::String, MessageText, StringLength(f.m_MessageText));
}

// Writes the 15-byte record header packet.
inline uint32_t BuildRecordHeader(uint32_t sequenceNumber, uint32_t bodyLength, uint8_t* out) {
  const TraceRecordHeader header{sequenceNumber, bodyLength};
  return TracePacketShared::EncodePacket(out, false, DataType::Binary, TracePacketShared::RecordHeader,
                                         &header, sizeof(header));
}

// Writes the 47-byte block header packet.
inline uint32_t BuildBlockHeader(const TraceBlockHeader& header, uint8_t* out) {
  return TracePacketShared::EncodePacket(out, false, DataType::Binary, TracePacketShared::BlockHeader,
                                         &header, sizeof(header));
}

// Attributes of the MessageText packet, which comes last.
inline constexpr uint32_t kMessageAttributesSize =
    EncodedSize(DataType::String, TracePacketShared::MessageText, 0);

// A record in two steps, for a message put in place afterwards (formatted
// straight into the record): BeginRecord writes every packet before the
// message (f.m_MessageText is not used) and returns the offset of the
// message's bytes; the caller puts at most kMaxDataLength bytes there;
// EndRecord writes the message's attributes and the record header and returns
// the record's size. `out` must hold the offset plus the message.
inline uint32_t BeginRecord(const TraceRecordFields& f, uint8_t* out) {
  using namespace TracePacketShared;
  uint8_t* p = out + kRecordHeaderPacketSize;
  p += EncodePacket(p, false, DataType::Binary, Timestamp, &f.m_Timestamp, sizeof(TraceTimestamp));
  p += EncodePacket(p, false, DataType::Long, ThreadId, &f.m_ThreadId, 4);
  p += EncodePacket(p, false, DataType::String, ModuleName, f.m_ModuleName.data(),
                    StringLength(f.m_ModuleName));
  p += EncodePacket(p, false, DataType::String, LabelName, f.m_LabelName.data(), StringLength(f.m_LabelName));
  if (f.m_HasClientName)
    p += EncodePacket(p, false, DataType::String, ClientName, f.m_ClientName.data(),
                      StringLength(f.m_ClientName));
  return static_cast<uint32_t>(p - out) + kMessageAttributesSize;
}
inline uint32_t EndRecord(uint32_t sequenceNumber, uint8_t* out, uint32_t textOffset, uint32_t textLength) {
  using namespace TracePacketShared;
  if (textLength > kMaxDataLength) textLength = kMaxDataLength;
  EncodePacketHeader(out + textOffset - kMessageAttributesSize, false, DataType::String, MessageText,
                     textLength);
  const uint32_t size = textOffset + textLength;
  BuildRecordHeader(sequenceNumber, size - kRecordHeaderPacketSize, out);
  return size;
}

// Writes the whole record (header packet, then Timestamp, ThreadId,
// ModuleName, LabelName, ClientName unless omitted, MessageText) into `out`. Returns its
// size, or 0 without writing anything when `capacity` is too small.
inline uint32_t BuildRecord(const TraceRecordFields& f, void* out, uint32_t capacity) {
  const uint32_t size = RecordSize(f);
  if (size > capacity) return 0;
  auto* p = static_cast<uint8_t*>(out);
  const uint32_t textOffset = BeginRecord(f, p);
  const uint32_t textLength = size - textOffset;
  if (textLength != 0) std::memcpy(p + textOffset, f.m_MessageText.data(), textLength);
  return EndRecord(f.m_SequenceNumber, p, textOffset, textLength);
}

// Appends a block header packet for `header` and then header.m_BodyLength
// bytes of `body` (whole records) to `out`, any stream with
// write(data, length).
template <class OutputStream>
void AppendBlock(OutputStream& out, const TraceBlockHeader& header, const void* body) {
  uint8_t packet[kBlockHeaderPacketSize];
  BuildBlockHeader(header, packet);
  out.write(packet, sizeof(packet));
  if (header.m_BodyLength != 0) out.write(body, header.m_BodyLength);
}

}  // namespace TraceRecordBuilder
