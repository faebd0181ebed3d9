#include "KivANSIAPI/KivClientProcess.h"

#include <memory>

#include "KivANSIAPI/KivTraceOutput.h"

namespace {
std::unique_ptr<FilterSettingsSink> MakeFilterManager() { return std::make_unique<KivFilterManager>(); }
}  // namespace

KivServiceMonitorProxy& KivClientProcess::CreateProxy() {
  return KivServiceMonitorProxy::Instance(&MakeFilterManager, &KivTraceOutput::Publisher());
}
