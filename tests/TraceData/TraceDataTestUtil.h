#pragma once
// Builders of trace blocks for the reader and renderer tests.

#include <cstdint>
#include <string>
#include <vector>

#include "MemoryStream/MemoryOutputStream.h"
#include "TraceData/BuiltInTracePackets.h"

namespace tracetest {

using Bytes = std::vector<uint8_t>;

inline Bytes Record(const TraceRecordFields& f) {
  Bytes out(TraceRecordBuilder::RecordSize(f));
  TraceRecordBuilder::BuildRecord(f, out.data(), static_cast<uint32_t>(out.size()));
  return out;
}

inline Bytes Record(const TraceRecord<1024>& r) {
  SmartBufferOutputStream<1024> out;
  r.WriteTo(out);
  return Bytes(out.Data(), out.Data() + out.GetLength());
}

// A record holding only a message text.
inline Bytes TextRecord(uint32_t sequence, const std::string& text) {
  TraceRecord<1024> r(sequence);
  r << TracePacket<std::string>(text, TracePacketShared::MessageText);
  return Record(r);
}

inline Bytes Block(const std::vector<Bytes>& records, uint32_t pid = 4711, const char* host = "host") {
  Bytes body;
  for (const auto& r : records) body.insert(body.end(), r.begin(), r.end());
  TraceBlockHeader header;
  std::snprintf(header.m_HostName, sizeof header.m_HostName, "%s", host);
  header.m_ProcessId = pid;
  header.m_BodyLength = static_cast<uint32_t>(body.size());
  SmartBufferOutputStream<1024> out;
  TraceRecordBuilder::AppendBlock(out, header, body.data());
  return Bytes(out.Data(), out.Data() + out.GetLength());
}

inline Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

}  // namespace tracetest
