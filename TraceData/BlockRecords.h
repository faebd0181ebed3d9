#pragma once
// Every record of trace blocks held in memory, decoded, in one call:
//
//   ForEachDecodedRecord(data, length, [&](const DecodedRecord& r) { ... });
//
// Raises like TraceBlockReader::Process when a block header or body cannot
// be read; records delivered before that stay delivered.

#include <cstdint>

#include "MemoryStream/MemoryInputStream.h"
#include "TraceData/DecodedRecord.h"
#include "TraceData/TraceBlockReader.h"

template <class Fn>
void ForEachDecodedRecord(const void* data, uint32_t length, Fn&& fn) {
  auto sink = [&](const DecodedRecord& record) { fn(record); };
  DecodedRecordCollector<decltype(sink)> collector(sink);
  TraceBlockReader<DecodedRecordCollector<decltype(sink)>> reader(collector);
  MemoryInputStream input(data, length);
  while (input.GetDataLength() > 0) reader.Process(input);
}
