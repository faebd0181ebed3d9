#pragma once
// One thread that does the idle polling of every trace server, so that idle
// clients cost the dispatcher one wake-up per poll period in all rather than
// one per client.
//
// Every kPollPeriodMs it calls KivServer::WatchIdle() on each server
// added: a server waiting idle is woken when its ring holds data (or needs a
// check); otherwise it sleeps on until its next ping is due. The client
// processes' descriptors (WatchedProcess) sit in one epoll set, so a pass
// learns of every ended client with one system call and wakes its server
// (KivServer::WakeWorker). Servers not added poll on their own.
//
// Lifetime: owned by the server manager, made before and destroyed after
// every trace server; owns its epoll descriptor. Add() and Remove() may be
// called from any thread; after Remove() returns, the watch no longer
// touches that server. m_Lock guards m_Servers and the epoll set's members
// and is held across each pass.

#include <vector>

#include "Support/FileDescriptor.h"
#include "Support/Defaults.h"
#include "Support/MultithreadizedObject.h"
#include "Support/Mutex.h"
#include "Support/StopSignal.h"

class KivServer;

class IdleTraceServerWatch {
 public:
  IdleTraceServerWatch();
  // Stops and joins the thread, then closes the epoll descriptor.
  ~IdleTraceServerWatch();
  IdleTraceServerWatch(const IdleTraceServerWatch&) = delete;
  IdleTraceServerWatch& operator=(const IdleTraceServerWatch&) = delete;

  // Raises only when memory runs out (the server is not added then).
  void Add(KivServer& server);
  void Remove(KivServer& server);

  // The thread body. Never raises.
  void Worker();

 private:
  // Wakes the servers whose client process ended since the last pass.
  void WakeEnded() REQUIRES(m_Lock);

  FileDescriptor m_Epoll;  // none when it could not be made: WatchIdle checks each process then
  StopSignal m_Stop;
  Mutex m_Lock;
  std::vector<KivServer*> m_Servers GUARDED_BY(m_Lock);
  MultithreadizedObject<IdleTraceServerWatch> m_Thread;  // last: started once the rest exists
};
