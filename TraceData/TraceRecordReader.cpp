#include "TraceData/TraceRecordReader.h"

#include "Support/Validation2Exception.h"
#include "TraceData/TraceStructures.h"

void TraceRecordReader::Frame(MemoryInputStream& block) {
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
}

void TraceRecordReader::Check() const {
  MemoryInputStream body(m_Body, m_BodyLength);
  TracePacketDeserializer<MemoryInputStream> walker(body);
  while (body.GetDataLength() > 0) {
    walker.ReadAttributes();
    walker.Skip();
  }
}
