#pragma once
// The dispatcher's own records in the trace stream: client attached and
// detached (written by KivServer), tracing paused and resumed, configuration
// reloaded, preservation on and off (written by the message handling).
//
// A control record holds Timestamp (now), ControlMessage (code and the
// process the event concerns) and MessageText; its number comes from the
// shared record sequence counter. It travels as a block of its own whose
// header carries the dispatcher's process id.

#include <cstdint>
#include <string_view>

#include "KivService/KivRecordSequenceGenerator.h"
#include "KivService/KivTraceStreamDispatcher.h"

// Writes one control record to `dispatcher`; a number is taken only here,
// so callers that decide not to write one leave no gap. Never raises for an
// output failure (the dispatcher swallows those); raises only when memory
// runs out building the record.
void WriteKivControlRecord(KivTraceStreamDispatcher& dispatcher, KivRecordSequenceGenerator& sequence,
                           uint32_t code, uint32_t processId, std::string_view text = {});
