#include "KivService/KivServerControlRecord.h"

#include "TraceData/TraceRecord.h"

void WriteKivControlRecord(KivTraceStreamDispatcher& dispatcher, KivRecordSequenceGenerator& sequence,
                           uint32_t code, uint32_t processId, std::string_view text) {
  TraceRecord<1024> record(sequence.Next());
  AddControlFields(record, TraceTimestamp::Now(), code, processId, text);
  // Process id 0: the block header carries the dispatcher's own.
  TraceBlock<KivTraceStreamDispatcher, 1024> block(dispatcher, 0);
  record >> block;
}
