#pragma once
// Chief header of trace reading: blocks to records to packets, re-ordered
// by sequence number within each block, and their rendering to text lines.

#include "TraceData/BlockReaderClient.h"
#include "TraceData/KivDataTextExporter.h"
#include "TraceData/LegacyKivRecord.h"
#include "TraceData/ProgressReporter.h"
#include "TraceData/ReOrderer.h"
#include "TraceData/TraceBlockReader.h"
#include "TraceData/TracePacketReader.h"
#include "TraceData/TraceRecordReader.h"
