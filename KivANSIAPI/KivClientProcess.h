#pragma once
// The process-wide objects behind the client API: the process's
// KivServiceMonitorProxy, which this library creates on first use with a
// KivFilterManager as its filter settings and KivTraceOutput's publisher,
// and that filter manager. Both live as long as the process.

#include <atomic>

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

// The process's filter manager, once CreateProxy() made the proxy; never
// cleared (both live as long as the process). The trace call's path reads
// it with one load instead of going through the proxy.
inline std::atomic<const KivFilterManager*> g_Filters{nullptr};

// The filter manager of a proxy Proxy() returned.
inline KivFilterManager& Filters(KivServiceMonitorProxy& proxy) {
  // CreateProxy() is the only creator of the process's proxy, always with a
  // KivFilterManager: no check on the trace call's path.
  return static_cast<KivFilterManager&>(proxy.FilterSettings());
}

// The remembered answer of the process's trace call (see
// KivFilterManager::RememberedAnswer): Unknown for the module-client-label
// form and before the proxy exists. Lock-free, one load and compare.
inline KivFilterManager::Answer RememberedAnswer(int module, uint32_t client, int label) noexcept {
  if (client != KivFilterManager::NoClient) return KivFilterManager::Answer::Unknown;
  const KivFilterManager* filters = g_Filters.load(std::memory_order_acquire);
  return filters ? filters->RememberedAnswer(module, label) : KivFilterManager::Answer::Unknown;
}
// The names behind handles RememberedAnswer() found enabled.
inline void RememberedNames(int module, int label, KivFilterManager::TraceNames& names) noexcept {
  g_Filters.load(std::memory_order_acquire)->RememberedNames(module, label, names);
}

// The filter answer of the process's trace calls (see
// KivFilterManager::IsTraceEnabled), with the service monitor started: the
// remembered answer, or else creates what is missing and asks the filter
// manager. Raises when the proxy or the monitor cannot be created.
inline bool IsTraceEnabled(int module, uint32_t client, int label, KivFilterManager::TraceNames& names) {
  const KivFilterManager::Answer answer = RememberedAnswer(module, client, label);
  if (answer == KivFilterManager::Answer::Enabled) RememberedNames(module, label, names);
  if (answer != KivFilterManager::Answer::Unknown) return answer == KivFilterManager::Answer::Enabled;
  KivServiceMonitorProxy& proxy = Proxy();
  proxy.CreateMonitorOnDemand();
  return Filters(proxy).IsTraceEnabled(module, client, label, &names);
}

}  // namespace KivClientProcess
