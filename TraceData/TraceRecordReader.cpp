#include "TraceData/TraceRecordReader.h"

#include "Support/Validation2Exception.h"
#include "TraceData/TraceStructures.h"

void TraceRecordReader::Process(MemoryInputStream& block) {
  TracePacketDeserializer<MemoryInputStream> header(block);
  const auto& a = header.ReadAttributes();
  // A Double also carries 8 bytes; only a Binary packet is a record header.
  Validation2Exception::CheckLogic(a.m_DataType == TracePacketShared::DataType::Binary,
                                   "Incorrect data length for specified data type.");
  TraceRecordHeader h;
  header >> h;
  m_SequenceNumber = h.m_SequenceNumber;
  m_BodyLength = h.m_BodyLength;
  m_Body = block.ReadView(h.m_BodyLength);

  // Walk the packet structure once now, while reading, so that damage ends
  // the block here (earlier records are still delivered) instead of being
  // found record by record after re-ordering.
  MemoryInputStream body(m_Body, m_BodyLength);
  TracePacketDeserializer<MemoryInputStream> walker(body);
  while (body.GetDataLength() > 0) {
    walker.ReadAttributes();
    walker.Skip();
  }
}
