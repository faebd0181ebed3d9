#pragma once
// The process-wide dispatcher of the data collected on this machine, named
// "LOCAL" (its files are "kivlog-LOCAL-..."). It exists while at least one
// handle does: the server manager holds one for its whole life (so the
// output stays open while no client is registered), and every per-client
// trace server holds one while it lives. The first handle makes the
// dispatcher, the last one destroys it (closing its output); the count is
// guarded by the singleton's own lock.
//
//   KivTraceStreamDispatcher::s_Server = &configServer;     // once, before
//   KivLocalTraceStreamDispatcher::s_Collector = &collector;  // any handle
//   KivLocalTraceStreamDispatcherHandle local;
//   local->write(block, length);

#include "KivService/KivTraceStreamDispatcher.h"
#include "KivService/StatusReport.h"
#include "Support/AutoSingleton.h"

class KivLocalTraceStreamDispatcher : public KivTraceStreamDispatcher {
 public:
  // The status collector of the local dispatcher's streams. Set by the
  // server manager before any handle is made.
  static StatusReport::Collector* s_Collector;

  // Uses s_Server and s_Collector; raises the logic error "Local trace
  // stream dispatcher used before its server and collector were set" when
  // either is missing.
  KivLocalTraceStreamDispatcher();
  ~KivLocalTraceStreamDispatcher() override;
};

using KivLocalTraceStreamDispatcherHandle = AutoSingleton<KivLocalTraceStreamDispatcher>;
