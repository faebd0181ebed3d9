#pragma once
// Chief header of the trace record and block format: the structures carried
// in packets, the allocation-free record and block builders, and
// TraceRecord / TraceBlock.

#include "TraceData/TracePacket.h"
#include "TraceData/TraceRecord.h"
#include "TraceData/TraceRecordBuilder.h"
#include "TraceData/TraceStructures.h"
