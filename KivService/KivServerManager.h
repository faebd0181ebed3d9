#pragma once
// Chief header of trace collection: the dispatcher's registry of client
// processes.
//
// KivServerManager keeps one trace server (KivServer, on its own thread) per
// registered client process, creates it on registration (Add), removes it on
// un-registration or when its process has died (SharedDelete, from the
// 100 ms Worker()), forwards runtime configuration changes to every client
// (BroadcastMessage), carries out those changes (Handle), publishes the
// number of clients as "Connections\Local" and owns the host-wide record
// sequence counter "KivRecordSequenceNumberSeed".
//
// Locks: m_Lock (non-reentrant) guards m_Servers and every use of a trace
// server from outside its own thread; a server thread never takes it, so
// joining one under it cannot deadlock. Order: m_Lock, then a status entry's
// lock (and a trace server's message-stream mutex), or the idle watch's lock
// (servers are added to and removed from m_IdleWatch under m_Lock; the
// watch's own thread never takes m_Lock). m_Lock is never held
// while the configuration is reloaded or broadcast, or while the local
// dispatcher is paused or resumed.
//
// Threads: the dispatcher's message thread (Add, Register, Unregister,
// Handle, BroadcastMessage), the manager's timer thread (Worker), the
// provider's thread at construction and destruction, and the idle watch's
// thread (IdleTraceServerWatch), which polls the idle trace servers.
//
// Lifetime: the status collector and the configuration server must outlive
// the manager. The constructor points the local trace stream dispatcher at
// them (KivTraceStreamDispatcher::s_Server,
// KivLocalTraceStreamDispatcher::s_Collector); the destructor, after every
// trace server is gone, clears them again.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "KivConfigFileReader/ConfigServer.h"
#include "KivService/IdleTraceServerWatch.h"
#include "KivService/KivLocalTraceStreamDispatcher.h"
#include "KivService/KivRecordSequenceGenerator.h"
#include "KivService/KivServer.h"
#include "KivService/StatusReport.h"
#include "Support/AutoSync.h"
#include "Support/CriticalSectionSyncPolicy.h"
#include "Support/Defaults.h"
#include "Support/MultithreadizedObject.h"
#include "Support/ThreadAnnotations.h"
#include "TraceService/Messages.h"

class KivServerManager : public ConfigServer::Client {
 public:
  // A trace server and the thread that runs it. Deleting it stops and joins
  // the thread, then destroys the server (last block, detach record).
  class MultithreadedKivServer {
   public:
    // Runs the server, its idle polls left to `watch`, which must outlive it.
    MultithreadedKivServer(KivRecordSequenceGenerator& sequence, uint32_t pid, IdleTraceServerWatch& watch);
    virtual ~MultithreadedKivServer();
    MultithreadedKivServer(const MultithreadedKivServer&) = delete;
    MultithreadedKivServer& operator=(const MultithreadedKivServer&) = delete;
    KivServer& Server() { return m_Server; }

   private:
    IdleTraceServerWatch& m_Watch;
    KivServer m_Server;
    MultithreadizedObject<KivServer> m_Thread;
  };

  // Creates the sequence counter (0; an existing file is truncated) and the
  // status entry (0), registers with `server`.
  KivServerManager(StatusReport::Collector& collector, ConfigServer& server);
  // Removes every client (lowest pid first), then its own resources. Never raises.
  ~KivServerManager() override;

  // Passes the drains' scheduling on to every trace server's thread.
  void OnConfigChanged() override { KivServer::SetDrainPriority(Server()->Config().m_DrainPriority); }

  // Creates the trace server of `pid` unless one exists over the client's
  // current rings. One whose map files were replaced since (the client left
  // and registered again) is deleted first, leaving the new files alone.
  // Raises (and adds nothing) when the client's rings are missing or unusable.
  void Add(uint32_t pid);
  // Removes the trace server of `pid` and those of the client's two map
  // files that are still the ones it mapped (a newer file of the same name
  // stays). Raises "Id to un-register does not exst" for an unknown pid.
  void SharedDelete(uint32_t pid) REQUIRES(m_Lock);
  // The cleanup pass: removes the servers whose client has gone.
  void Worker();
  // Writes `message` into the message ring of every client, in ascending
  // pid order; a client whose ring is full or damaged misses it alone.
  template <class Message>
  void BroadcastMessage(const Message& message);

  // The dispatcher's side of a registration: Add, then the confirmation
  // through the client's trace server. Raises when the client is refused
  // (no confirmation is sent then).
  void Register(uint32_t pid);
  // The dispatcher's side of an un-registration: the confirmation, then the
  // server goes (raises for an unknown pid, after confirming). The map files
  // are the client's to remove; they are removed here only (as SharedDelete
  // does) when the client no longer runs. While the client runs and its
  // trace ring's file is still the one its server maps, the message is not
  // the client's own (a client removes that file first): it is ignored.
  void Unregister(uint32_t pid);
  // Reaction to MessageTypeRuntimeConfigChange; other types are ignored.
  // Raises "Id of source does not exst" for an unregistered sender (nothing
  // is confirmed or changed then).
  void Handle(const MessageHeader* header);

  // Set by the provider before it tears down; the cleanup pass stops.
  void RequestStop() { m_StopRequested.store(true, std::memory_order_release); }

  CriticalSectionSyncPolicy& Lock() RETURN_CAPABILITY(m_Lock) { return m_Lock; }
  KivRecordSequenceGenerator& Sequence() { return m_Sequence; }
  size_t ClientCount();
  bool HasClient(uint32_t pid);

 private:
  enum class FilesOfTheClient { Keep, RemoveIfMapped };
  void Remove(uint32_t pid, FilesOfTheClient files) REQUIRES(m_Lock);
  void UpdateStatus() REQUIRES(m_Lock);
  // Shows the drains' scheduling in effect; on the timer's thread.
  void ShowDrainPriority();
  KivServer* Find(uint32_t pid) REQUIRES(m_Lock);
  // The control record of a configuration change, when "StatusTrace" is on.
  void WriteControlRecord(uint32_t code, uint32_t pid);
  void PauseOrResume(bool pause);

  StatusReport::Collector& m_Collector;
  KivRecordSequenceGenerator m_Sequence;
  StatusReport::Status m_Connections;  // "Connections\Local"
  // "Connections\DrainPriority": the drains' scheduling, and a refusal of it.
  StatusReport::Status m_DrainPriority;
  TraceLossLedger m_Ledger;  // reached by the dispatchers through their s_Ledger
  CriticalSectionSyncPolicy m_Lock;
  IdleTraceServerWatch m_IdleWatch;  // before the servers: it outlives them
  std::map<uint32_t, std::unique_ptr<MultithreadedKivServer>> m_Servers GUARDED_BY(m_Lock);
  std::atomic<bool> m_StopRequested{false};
  uint64_t m_GoneSeen = ~uint64_t{0};  // KivServer::GoneEvents() at the last whole cleanup; Worker only
  // The local dispatcher lives as long as the manager, so its output stays
  // open while no client is registered: a query that registers and leaves
  // (kivtool) must not start a new log file each time, which would prune
  // older data under the file count limit. It also keeps a pause in force
  // after the pausing tool has left. Made at construction, released after
  // the last trace server is gone.
  std::optional<KivLocalTraceStreamDispatcherHandle> m_LocalOutput;
};

template <class Message>
void KivServerManager::BroadcastMessage(const Message& message) {
  AutoSync<CriticalSectionSyncPolicy> guard(m_Lock);
  for (auto& [pid, server] : m_Servers) {
    try {
      server->Server().Send(message);
    } catch (const std::exception&) {
      // A damaged ring is that client's trouble; its server notices it.
    }
  }
}
