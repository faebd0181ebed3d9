#pragma once
// Following the dispatcher's start and stop from a client process.
//
// KivServiceMonitorProxy is the one process-wide object behind the client
// API. It owns the process's filter settings (the client library's filter
// manager), the service client (while the dispatcher runs) and the monitor,
// and hands the client library's trace-output publisher to every service
// client; the API functions create it on first use (Instance()) and start
// the monitor (CreateMonitorOnDemand()).
//
// KivServiceMonitor polls every 100 ms on its own thread
// (MultiThreadedKivServiceMonitor): while no dispatcher is known it looks for
// the "KivService" presence files and, when it finds the dispatcher running,
// creates the KivServiceClient (which registers); while connected it watches
// the dispatcher's process (through a process descriptor, WatchedProcess),
// polls the service client's messages (the client has no thread of its own)
// and drops the service client when it has gone. The thread sleeps each
// period in one wait that closing cuts short.
// A registration that fails is retried at the next poll.
//
// Process lifetime:
// - before every fork (pthread_atfork prepare handler) the proxy closes the
//   monitor and the service client, which un-registers; both processes start
//   a new monitor, and the child registers under its own id, at their next
//   API use;
// - at normal exit (atexit handler) the proxy closes them too, so the
//   dispatcher sees an un-registration rather than a crash and removes the
//   process's rings; the exit waits at most the confirmation time-out (plus a
//   registration already under way). After that no monitor is started again.
//
// Locks: the monitor pointer's lock serialises creating and destroying the
// monitor (the monitor-created flag is the lock-free fast path); the client
// pointer's lock is held while the monitor stores or drops the service
// client and for a whole configuration request, which serialises requests.
// Close() takes the monitor lock, releases it, then the client lock; the
// monitor thread takes only the client lock, so closing cannot deadlock.

#include <atomic>
#include <cstdint>
#include <memory>

#include "KivService/FilterSettingsSink.h"
#include "KivService/KivServiceClient.h"
#include "KivService/LockablePointer.h"
#include "KivService/TraceOutputPublisher.h"
#include "ServiceMonitor/WatchServiceStartUsingPIDFile.h"
#include "ServiceMonitor/WatchServiceStopUsingPID.h"
#include "ServiceMonitor/WatchedProcess.h"
#include "Support/Defaults.h"
#include "Support/MultithreadizedObject.h"
#include "Support/StopSignal.h"
#include "TraceService/Messages.h"

class KivServiceMonitor : public WatchServiceStartUsingPIDFile, public WatchServiceStopUsingPID {
 public:
  // Borrows all three; they must outlive the monitor. Makes the first check
  // at once, so when the dispatcher runs the caller returns registered (or
  // after the registration failed, which is retried by the thread). The
  // service clients it makes publish their rings through `output`, if given.
  KivServiceMonitor(FilterSettingsSink& filterSettings, LockablePointer<KivServiceClient>& client,
                    TraceOutputPublisher* output = nullptr);
  ~KivServiceMonitor() override;

  // The thread's loop, until RequestStop(). Never raises.
  void Worker();
  void RequestStop() { m_Stop.Request(); }
  // The dispatcher's pid while connected, else 0.
  uint32_t DispatcherPid() const { return m_DispatcherPid.load(std::memory_order_acquire); }

 protected:
  void OnServiceStarted(uint32_t pid) override;
  void OnServiceStopped() override;

 private:
  // One start or stop check; a failed registration is logged and left for
  // the next poll.
  void Poll();

  StopSignal m_Stop;
  FilterSettingsSink* m_FilterSettings;
  TraceOutputPublisher* m_Output;
  LockablePointer<KivServiceClient>* m_Client;
  std::atomic<uint32_t> m_DispatcherPid{0};  // written by the thread running the checks
  // The client of a dispatcher that died, until a registration carries its
  // ring over (or the monitor goes). The thread running the checks only.
  std::unique_ptr<KivServiceClient> m_Retired;
  // The dispatcher's process while connected. The thread running the checks only.
  std::unique_ptr<WatchedProcess> m_WatchedDispatcher;
};

// A KivServiceMonitor and the thread that runs its loop; destruction asks the
// loop to stop and waits for the thread.
class MultiThreadedKivServiceMonitor {
 public:
  MultiThreadedKivServiceMonitor(FilterSettingsSink& filterSettings,
                                 LockablePointer<KivServiceClient>& client,
                                 TraceOutputPublisher* output = nullptr)
      : m_Monitor(filterSettings, client, output), m_Thread(m_Monitor) {}
  virtual ~MultiThreadedKivServiceMonitor() { m_Monitor.RequestStop(); }  // then m_Thread joins
  MultiThreadedKivServiceMonitor(const MultiThreadedKivServiceMonitor&) = delete;
  MultiThreadedKivServiceMonitor& operator=(const MultiThreadedKivServiceMonitor&) = delete;

  KivServiceMonitor& Monitor() { return m_Monitor; }

 private:
  KivServiceMonitor m_Monitor;
  MultithreadizedObject<KivServiceMonitor> m_Thread;
};

class KivServiceMonitorProxy {
 public:
  using FilterSettingsFactory = std::unique_ptr<FilterSettingsSink> (*)();

  // The process's proxy, created on first use together with its fork and
  // exit handlers ("Memory allocation failed:Can not create
  // KivServiceMonitorProxy"), with the filter settings `makeFilters` makes
  // and the publisher `output` (which must live as long as the process).
  // Both are used only at the creation: the client library is the one
  // caller. Lock-free once it exists.
  static KivServiceMonitorProxy& Instance(FilterSettingsFactory makeFilters, TraceOutputPublisher* output);
  // The proxy if it was created, else null.
  static KivServiceMonitorProxy* Existing() { return s_Singleton.load(std::memory_order_acquire); }
  // Prepare handler of pthread_atfork: Close(), and keep the monitor from
  // being started again until the fork is done.
  static void Shutdown();

  // A proxy of its own (tests); Instance() is the process's. Reads the
  // configuration file into the filter settings, so the filter answers
  // follow the configuration whether a dispatcher runs or not. `output`, if
  // given, must outlive the proxy.
  explicit KivServiceMonitorProxy(std::unique_ptr<FilterSettingsSink> filterSettings,
                                  TraceOutputPublisher* output = nullptr);
  // Close(), then the filter settings.
  virtual ~KivServiceMonitorProxy();
  KivServiceMonitorProxy(const KivServiceMonitorProxy&) = delete;
  KivServiceMonitorProxy& operator=(const KivServiceMonitorProxy&) = delete;

  // Makes sure the monitor exists and runs ("Memory allocation failed:Unable
  // to create MultiThreadedKiv"). Does nothing after the exit handler ran.
  void CreateMonitorOnDemand();
  // Destroys the monitor and then the service client (un-registration);
  // never raises.
  void Close();

  // Asks the running dispatcher for a configuration change and waits for its
  // confirmation, holding the client pointer's lock throughout. Raises "Bad
  // logic:KIV Dispatching service is not running." without a service client.
  void RequestConfigurationChange(RuntimeConfigChangeCode code);

  FilterSettingsSink& FilterSettings() { return *m_FilterSettings; }
  LockablePointer<KivServiceClient>& ServiceClientPointer() { return m_Client; }
  bool IsMonitorCreated() const { return m_MonitorCreated.load(std::memory_order_acquire); }
  // True while a registered service client exists (waits for the lock).
  bool IsConnected();

 private:
  static void AfterFork();
  static void AtExit();

  static std::atomic<KivServiceMonitorProxy*> s_Singleton;

  std::unique_ptr<FilterSettingsSink> m_FilterSettings;
  TraceOutputPublisher* m_Output;
  LockablePointer<KivServiceClient> m_Client;
  std::atomic<bool> m_MonitorCreated{false};
  std::atomic<bool> m_Final{false};  // set by the exit handler: no monitor from then on
  LockablePointer<MultiThreadedKivServiceMonitor> m_Monitor;
};
