#pragma once
// The client process's connection to a running dispatcher.
//
// While the dispatcher runs, the process's service monitor holds one
// KivServiceClient. It creates the process's trace ring ("KivTraceBuffer" +
// pid) and its loss counters ("KivTraceLoss" + pid) and maps the shared
// record sequence counter, registers the process (ServiceClient), reads the
// configuration into the filter manager, and applies what the dispatcher
// sends every 100 ms: reload, pause and resume go to the filter manager,
// confirmations complete a request, pings are only logged. That polling runs
// on a thread of the client's own, or, for a client made with
// Driver::Caller, in the caller's ProcessMessages() (the service monitor
// polls it on its own thread: one wake-up per period for an idle process,
// not two). Destruction stops the thread, removes the trace ring's file (the dispatcher
// believes an un-registration only once it is gone, which only this process's
// user can do in the sticky {temp}), un-registers and removes the other
// files.
//
// Ownership: owns the rings, the counter mapping, the registration and the
// thread; borrows the filter settings and the publisher, which must outlive
// it.
//
// Threads: the creating/destroying thread (the monitor's), the service-client
// thread (own or the caller's), and API callers of
// RequestConfigurationChange, which the caller serialises (the proxy's
// client-pointer lock). The confirmation state is an atomic written by
// whichever thread processes the messages and polled by the requester; with
// Driver::Caller the caller serialises ProcessMessages() with requests too,
// and a request processes the messages itself while it waits.
//
// The trace-record writer of the client library finds what it needs here:
// TraceRing() guarded by TraceRingLock() (one whole record per write, so the
// ring only ever holds whole records) and NextSequenceNumber() (or
// SequenceNumbers(), to number inside its own guarded step). The client
// publishes that writer as the process's trace output (through the
// TraceOutputPublisher it is given, if any) from the end of its construction
// to the start of its destruction.

#include <atomic>
#include <cstdint>
#include <memory>

#include "KivService/ClientLossCounters.h"
#include "KivService/FilterSettingsSink.h"
#include "KivService/KivRecordSequenceGenerator.h"
#include "KivService/ServiceClient.h"
#include "KivService/TraceOutputPublisher.h"
#include "MemoryStream/CircularMemoryOutputStream.h"
#include "Support/Defaults.h"
#include "Support/SharedMemory.h"
#include "Support/SpinLock.h"
#include "Support/ThreadAnnotations.h"
#include "Support/TimerClassMemberFunction.h"
#include "TraceService/MessageStreams.h"
#include "TraceService/Messages.h"

class KivServiceClient {
 public:
  using Registration = ServiceClient<ServerMessageSendingStream, ClientMessageReceivingStream>;

  // Builds everything and registers with the dispatcher `dispatcherPid`;
  // raises when a ring cannot be made, the counter cannot be mapped or the
  // registration is not confirmed (see ServiceClient). `cancel`, when set
  // during the registration wait, ends it early (a closing monitor).
  //
  // `previous`, the retired client of a dispatcher that died, hands over
  // what its ring still holds: those records go into the new ring first,
  // as they were (numbers included), and its untold drops are told by the
  // new dispatcher; the new writer takes over from the old one without a
  // gap. What cannot be carried is counted as dropped.
  //
  // `output`, when given, publishes the client's trace ring as the process's
  // trace output; without it nothing is published.
  //
  // `driver` says who polls the client's message ring (see above).
  enum class Driver { OwnThread, Caller };
  KivServiceClient(uint32_t dispatcherPid, FilterSettingsSink& filterSettings,
                   const std::atomic<bool>* cancel = nullptr, KivServiceClient* previous = nullptr,
                   TraceOutputPublisher* output = nullptr, Driver driver = Driver::OwnThread);
  // Stops the thread, un-registers (unless abandoned) and removes the rings.
  virtual ~KivServiceClient();
  KivServiceClient(const KivServiceClient&) = delete;
  KivServiceClient& operator=(const KivServiceClient&) = delete;

  // Asks the dispatcher for a configuration change and waits for its
  // confirmation (at most 20 polls of 100 ms). Raises "Bad logic:Timeout
  // waiting for confirmation" when none came or it was not a success, and
  // the message ring's errors when the dispatcher's ring cannot be used.
  void RequestConfigurationChange(RuntimeConfigChangeCode code);

  // One poll of the messages the dispatcher sent: everything waiting. For a
  // client made with Driver::Caller, every period; never raises.
  void ProcessMessages() noexcept;

  // The dispatcher has gone: destruction sends no un-registration.
  void Abandon() { m_ServiceClient.Abandon(); }
  // The dispatcher has gone: abandons, stops the thread and gives up the
  // files' names (a successor registration makes new files), but keeps the
  // ring mapped and published, so tracing goes on into it until the next
  // registration carries its records over (or it is full).
  void Retire();

  uint32_t DispatcherPid() const { return m_DispatcherPid; }
  uint32_t OwnPid() const { return m_OwnPid; }

  // For the trace-record writer.
  CircularMemoryOutputStream& TraceRing() REQUIRES(m_TraceRingLock) { return m_TraceRing; }
  SpinLock& TraceRingLock() RETURN_CAPABILITY(m_TraceRingLock) { return m_TraceRingLock; }
  uint32_t NextSequenceNumber() { return m_Sequence.Next(); }
  KivRecordSequenceGenerator& SequenceNumbers() { return m_Sequence; }
  // Where dropped records are told (guarded by TraceRingLock()).
  ClientLossCounters* LossCounters() { return reinterpret_cast<ClientLossCounters*>(m_LossMemory.Data()); }

  // What the dispatcher sends, applied to the filter settings.
  struct MessageHandler {
    std::atomic<int>* confirmation;  // see KivServiceClient::m_Confirmation
    FilterSettingsSink* filterSettings;
    void Handle(const MessageHeader* header, uint32_t length);
  };

  // The thread's periodic work: every message waiting in the own ring.
  struct ServiceClientThreadHelper {
    MessageHandler* handler;
    Registration* serviceClient;
    void Worker();
  };

 private:
  // Moves `previous`'s unread records and untold drops into this client's
  // ring and counters, then publishes this client's writer in its place.
  // What the dead dispatcher had written is left out; what it was writing
  // as it died is carried with a doubt its successor decides
  // (ClientLossCounters.h).
  void TakeOverFrom(KivServiceClient& previous);

  const uint32_t m_DispatcherPid;
  const uint32_t m_OwnPid;
  FilterSettingsSink* m_FilterSettings;
  TraceOutputPublisher* m_Output;  // null: nothing published
  SharedMemory m_TraceMemory;
  CircularMemoryOutputStream m_TraceRing;
  SpinLock m_TraceRingLock;   // serialises the writers of m_TraceRing
  SharedMemory m_LossMemory;  // "KivTraceLoss" + pid, made before registering
  KivRecordSequenceGenerator m_Sequence;
  Registration m_ServiceClient;
  // 0 while no confirmation arrived since the last request, 1 for a success,
  // 2 for a confirmation that reported anything else.
  std::atomic<int> m_Confirmation{0};
  MessageHandler m_Handler;
  ServiceClientThreadHelper m_Helper;
  const Driver m_Driver;
  std::unique_ptr<TimerClassMemberFunction<ServiceClientThreadHelper>> m_Thread;
  // The process's trace output over m_TraceRing while registered.
  std::unique_ptr<TraceOutputPublisher::Publication> m_TraceOutput;
};
