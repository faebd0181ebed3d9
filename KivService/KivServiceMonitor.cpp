#include "KivService/KivServiceMonitor.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <new>

#include "Support/Logging.h"
#include "Support/Validation2Exception.h"

// ---- KivServiceMonitor ----------------------------------------------------

KivServiceMonitor::KivServiceMonitor(FilterSettingsSink& filterSettings,
                                     LockablePointer<KivServiceClient>& client, TraceOutputPublisher* output)
    : m_FilterSettings(&filterSettings), m_Output(output), m_Client(&client) {
  KIV_DIAG("KIvServiceMonitor created\n");
  Poll();
}

KivServiceMonitor::~KivServiceMonitor() { KIV_DIAG_NOTHROW("KIvServiceMonitor deleted\n"); }

void KivServiceMonitor::Poll() {
  try {
    uint32_t pid = DispatcherPid();
    if (pid != 0 && m_WatchedDispatcher && m_WatchedDispatcher->Pid() == pid)
      WatchServiceStopUsingPID::Check(*m_WatchedDispatcher);
    else if (pid != 0)
      WatchServiceStopUsingPID::Check(pid);
    else
      WatchServiceStartUsingPIDFile::Check(kServicePresenceName);
    // The service client's messages too: one wake-up per period for both.
    // A configuration request holding the client processes them itself.
    if (DispatcherPid() != 0) {
      AutoLockingPointer<KivServiceClient> client(*m_Client);
      if (client) client->ProcessMessages();
    }
  } catch (...) {
    // The design this replaces ended the monitor here, leaving the process
    // unregistered for good after one slow or failed registration.
    KIV_DIAG_NOTHROW("Service client registration failed; trying again\n");
  }
}

void KivServiceMonitor::Worker() {
  while (!m_Stop.IsRequested()) {
    Poll();
    // Closing (before a fork, at exit) wakes this wait at once.
    if (m_Stop.WaitFor(kPollPeriodMs)) break;
  }
}

void KivServiceMonitor::OnServiceStarted(uint32_t pid) {
  KIV_DIAG("Service started:" << pid << "\n");
  // Registration waits up to 2 s; the client pointer is not locked meanwhile,
  // so configuration requests are answered "not running" rather than stalled.
  auto* created = new (std::nothrow) KivServiceClient(pid, *m_FilterSettings, &m_Stop.Flag(), m_Retired.get(),
                                                      m_Output, KivServiceClient::Driver::Caller);
  Validation2Exception::CheckMemoryAllocation(created != nullptr, "Can not create KivServiceClient object");
  std::unique_ptr<KivServiceClient> client(created);
  m_Retired.reset();  // its records are in the new ring now
  // Made before the client is published: a failure leaves it unregistered.
  m_WatchedDispatcher = std::make_unique<WatchedProcess>(pid);
  AutoLockingPointer<KivServiceClient> pointer(*m_Client);
  pointer.Reset(std::move(client));
  m_DispatcherPid.store(pid, std::memory_order_release);
}

void KivServiceMonitor::OnServiceStopped() {
  {
    AutoLockingPointer<KivServiceClient> pointer(*m_Client);
    if (pointer) {
      // The dispatcher's process has gone: an un-registration would wait in
      // vain, or reach a successor dispatcher that never knew us. Its ring
      // is kept, still written, for the next registration to carry over.
      pointer->Retire();
      m_Retired = pointer.Release();
    }
    m_DispatcherPid.store(0, std::memory_order_release);
  }
  m_WatchedDispatcher.reset();
  KIV_DIAG("Service stopped.\n");
}

// ---- KivServiceMonitorProxy -----------------------------------------------

std::atomic<KivServiceMonitorProxy*> KivServiceMonitorProxy::s_Singleton{nullptr};

KivServiceMonitorProxy& KivServiceMonitorProxy::Instance(FilterSettingsFactory makeFilters,
                                                         TraceOutputPublisher* output) {
  KivServiceMonitorProxy* proxy = s_Singleton.load(std::memory_order_acquire);
  if (proxy) return *proxy;
  static std::mutex creation;
  std::lock_guard<std::mutex> lock(creation);
  proxy = s_Singleton.load(std::memory_order_acquire);
  if (proxy) return *proxy;
  proxy = new (std::nothrow) KivServiceMonitorProxy(makeFilters(), output);
  Validation2Exception::CheckMemoryAllocation(proxy != nullptr, "Can not create KivServiceMonitorProxy");
  // Never deleted: application threads may ask it until the very end.
  pthread_atfork(&KivServiceMonitorProxy::Shutdown, &KivServiceMonitorProxy::AfterFork,
                 &KivServiceMonitorProxy::AfterFork);
  std::atexit(&KivServiceMonitorProxy::AtExit);
  s_Singleton.store(proxy, std::memory_order_release);
  return *proxy;
}

// Outside the thread-safety analysis: the monitor's lock is held from this
// prepare handler to AfterFork, across the fork.
void KivServiceMonitorProxy::Shutdown() NO_THREAD_SAFETY_ANALYSIS {
  KivServiceMonitorProxy* proxy = Existing();
  if (!proxy) return;
  proxy->Close();
  // Held across the fork, so no thread starts a monitor between the close
  // and the fork (the child would inherit a monitor without its thread).
  proxy->m_Monitor.Lock();
}

void KivServiceMonitorProxy::AfterFork() NO_THREAD_SAFETY_ANALYSIS {
  if (KivServiceMonitorProxy* proxy = Existing()) proxy->m_Monitor.Unlock();
}

void KivServiceMonitorProxy::AtExit() {
  KivServiceMonitorProxy* proxy = Existing();
  if (!proxy) return;
  proxy->m_Final.store(true, std::memory_order_release);
  proxy->Close();
}

KivServiceMonitorProxy::KivServiceMonitorProxy(std::unique_ptr<FilterSettingsSink> filterSettings,
                                               TraceOutputPublisher* output)
    : m_FilterSettings(std::move(filterSettings)), m_Output(output) {
  m_FilterSettings->ReloadConfiguration();
}

KivServiceMonitorProxy::~KivServiceMonitorProxy() { Close(); }

void KivServiceMonitorProxy::CreateMonitorOnDemand() {
  if (m_MonitorCreated.load(std::memory_order_acquire)) return;
  AutoLockingPointer<MultiThreadedKivServiceMonitor> monitor(m_Monitor);
  if (monitor || m_Final.load(std::memory_order_acquire)) return;
  auto* created = new (std::nothrow) MultiThreadedKivServiceMonitor(*m_FilterSettings, m_Client, m_Output);
  Validation2Exception::CheckMemoryAllocation(created != nullptr, "Unable to create MultiThreadedKiv");
  monitor.Reset(std::unique_ptr<MultiThreadedKivServiceMonitor>(created));
  m_MonitorCreated.store(true, std::memory_order_release);
}

void KivServiceMonitorProxy::Close() {
  try {
    {
      AutoLockingPointer<MultiThreadedKivServiceMonitor> monitor(m_Monitor);
      monitor.Reset();
      m_MonitorCreated.store(false, std::memory_order_release);
    }
    AutoLockingPointer<KivServiceClient> client(m_Client);
    client.Reset();
  } catch (...) {
    KIV_DIAG_NOTHROW("Exception happened while closing the service monitor\n");
  }
}

void KivServiceMonitorProxy::RequestConfigurationChange(RuntimeConfigChangeCode code) {
  AutoLockingPointer<KivServiceClient> client(m_Client);
  Validation2Exception::CheckLogic(static_cast<bool>(client), "KIV Dispatching service is not running.");
  client->RequestConfigurationChange(code);
}

bool KivServiceMonitorProxy::IsConnected() {
  AutoLockingPointer<KivServiceClient> client(m_Client);
  return static_cast<bool>(client);
}
