#include "KivANSIAPI/KivClientProcess.h"

#include <memory>

#include "KivANSIAPI/KivTraceOutput.h"

namespace {
std::unique_ptr<FilterSettingsSink> MakeFilterManager() { return std::make_unique<KivFilterManager>(); }
}  // namespace

KivServiceMonitorProxy& KivClientProcess::CreateProxy() {
  KivServiceMonitorProxy& proxy =
      KivServiceMonitorProxy::Instance(&MakeFilterManager, &KivTraceOutput::Publisher());
  g_Filters.store(&Filters(proxy), std::memory_order_release);
  return proxy;
}
