#pragma once
// The process-wide objects behind the client API: the process's
// KivServiceMonitorProxy, which this library creates on first use with a
// KivFilterManager as its filter settings and KivTraceOutput's publisher,
// and that filter manager. Both live as long as the process.

#include "KivANSIAPI/KivFilterManager.h"
#include "KivService/KivServiceMonitor.h"

namespace KivClientProcess {

// Creates the process's proxy (KivServiceMonitorProxy::Instance) unless it
// exists. Raises when it cannot be created.
KivServiceMonitorProxy& CreateProxy();

// The process's proxy; lock-free once it exists (every trace call asks).
inline KivServiceMonitorProxy& Proxy() {
  if (KivServiceMonitorProxy* proxy = KivServiceMonitorProxy::Existing()) return *proxy;
  return CreateProxy();
}

// The filter manager of a proxy Proxy() returned.
inline KivFilterManager& Filters(KivServiceMonitorProxy& proxy) {
  // CreateProxy() is the only creator of the process's proxy, always with a
  // KivFilterManager: no check on the trace call's path.
  return static_cast<KivFilterManager&>(proxy.FilterSettings());
}

// The remembered answer of the process's trace call (see
// KivFilterManager::RememberedAnswer): Unknown for the module-client-label
// form and before the proxy exists. Lock-free, one load and compare.
inline KivFilterManager::Answer RememberedAnswer(int module, uint32_t client, int label,
                                                 KivFilterManager::TraceNames& names) noexcept {
  if (client != KivFilterManager::NoClient) return KivFilterManager::Answer::Unknown;
  KivServiceMonitorProxy* proxy = KivServiceMonitorProxy::Existing();
  return proxy ? Filters(*proxy).RememberedAnswer(module, label, names) : KivFilterManager::Answer::Unknown;
}

// The filter answer of the process's trace calls (see
// KivFilterManager::IsTraceEnabled), with the service monitor started: the
// remembered answer, or else creates what is missing and asks the filter
// manager. Raises when the proxy or the monitor cannot be created.
inline bool IsTraceEnabled(int module, uint32_t client, int label, KivFilterManager::TraceNames& names) {
  const KivFilterManager::Answer answer = RememberedAnswer(module, client, label, names);
  if (answer != KivFilterManager::Answer::Unknown) return answer == KivFilterManager::Answer::Enabled;
  KivServiceMonitorProxy& proxy = Proxy();
  proxy.CreateMonitorOnDemand();
  return Filters(proxy).IsTraceEnabled(module, client, label, &names);
}

}  // namespace KivClientProcess
