#pragma once
// Chief header of the client/dispatcher message transport: the message
// structures, the names and sizes of the shared rings, the four message
// streams, MessageTransmitter and MessageProcessor.

#include "TraceService/MessageBufferNames.h"
#include "TraceService/MessageProcessor.h"
#include "TraceService/MessageStreams.h"
#include "TraceService/MessageTransmitter.h"
#include "TraceService/Messages.h"
