#include "KivService/KivLocalTraceStreamDispatcher.h"

#include "Support/Validation2Exception.h"

StatusReport::Collector* KivLocalTraceStreamDispatcher::s_Collector = nullptr;

namespace {
// Checked before the base is built: the base binds references to both.
ConfigServer& RequiredServer() {
  Validation2Exception::CheckLogic(
      KivTraceStreamDispatcher::s_Server != nullptr && KivLocalTraceStreamDispatcher::s_Collector != nullptr,
      "Local trace stream dispatcher used before its server and collector were set");
  return *KivTraceStreamDispatcher::s_Server;
}
}  // namespace

// Registered with the configuration server only once fully built (see the
// base class), so a broadcast never meets a half-made object.
KivLocalTraceStreamDispatcher::KivLocalTraceStreamDispatcher()
    : KivTraceStreamDispatcher(RequiredServer(), *s_Collector, "LOCAL", false) {
  Connect();
}

KivLocalTraceStreamDispatcher::~KivLocalTraceStreamDispatcher() { Disconnect(); }
