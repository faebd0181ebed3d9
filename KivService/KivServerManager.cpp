#include "KivService/KivServerManager.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "KivService/ClientLossCounters.h"
#include "KivService/KivServerControlRecord.h"
#include "ServiceMonitor/WatchServiceStopUsingPID.h"
#include "Support/Logging.h"
#include "Support/SharedMemory.h"
#include "Support/Validation2Exception.h"
#include "TraceService/MessageBufferNames.h"

using Guard = AutoSync<CriticalSectionSyncPolicy>;

KivServerManager::MultithreadedKivServer::MultithreadedKivServer(KivRecordSequenceGenerator& sequence,
                                                                 uint32_t pid, IdleTraceServerWatch& watch)
    : m_Watch(watch), m_Server(sequence, pid), m_Thread(m_Server) {
  // The worker polls on its own until it sees the flag, and for good when
  // the watch could not take it (nothing may raise once the thread runs).
  try {
    m_Watch.Add(m_Server);
    m_Server.SetWatched(true);
  } catch (const std::exception&) {
  }
}

KivServerManager::MultithreadedKivServer::~MultithreadedKivServer() {
  m_Watch.Remove(m_Server);
  m_Server.RequestStop();
  KIV_DIAG_NOTHROW("KivServer worker thread requested to stop\n");
  // m_Thread is destroyed first (declared last): it joins the worker before
  // the server goes.
}

KivServerManager::KivServerManager(StatusReport::Collector& collector, ConfigServer& server)
    : ConfigServer::Client(server, false),
      m_Collector(collector),
      m_Sequence(KivRecordSequenceGenerator::Create),
      m_Connections(collector, "Connections\\Local", "Number of connections to the server from local process",
                    StatusReport::Number),
      m_DrainPriority(collector, "Connections\\DrainPriority",
                      "Scheduling of the drains of local connections", StatusReport::Text, false, "normal"),
      m_Ledger(collector) {
  KivTraceStreamDispatcher::s_Server = &server;
  KivTraceStreamDispatcher::s_Ledger = &m_Ledger;
  KivTraceStreamDispatcher::s_Sequence = &m_Sequence;
  KivLocalTraceStreamDispatcher::s_Collector = &collector;
  m_LocalOutput.emplace();
  Connect();
}

KivServerManager::~KivServerManager() {
  Disconnect();
  RequestStop();
  for (;;) {
    try {
      Guard guard(m_Lock);
      if (m_Servers.empty()) break;
      SharedDelete(m_Servers.begin()->first);
    } catch (...) {
      // SharedDelete erases the entry before anything in it can fail; a lock
      // failure leaves nothing sensible to retry.
      break;
    }
  }
  m_LocalOutput.reset();
  // Nothing of this manager may be reached through the statics any more.
  KivTraceStreamDispatcher::s_Server = nullptr;
  KivTraceStreamDispatcher::s_Ledger = nullptr;
  KivTraceStreamDispatcher::s_Sequence = nullptr;
  KivLocalTraceStreamDispatcher::s_Collector = nullptr;
}

void KivServerManager::UpdateStatus() { m_Connections.SetNumber(static_cast<uint32_t>(m_Servers.size())); }

KivServer* KivServerManager::Find(uint32_t pid) {
  auto it = m_Servers.find(pid);
  return it == m_Servers.end() ? nullptr : &it->second->Server();
}

size_t KivServerManager::ClientCount() {
  Guard guard(m_Lock);
  return m_Servers.size();
}

bool KivServerManager::HasClient(uint32_t pid) {
  Guard guard(m_Lock);
  return Find(pid) != nullptr;
}

void KivServerManager::Add(uint32_t pid) {
  Guard guard(m_Lock);
  if (KivServer* existing = Find(pid)) {
    if (existing->AreRingFilesCurrent()) {
      KIV_DIAG("KivServerManager Add() - attempt made to add a client more than once for ProcessID " << pid
                                                                                                     << "\n");
      return;
    }
    // The client made new rings since: the old server would drain a ring
    // nobody writes any more. It goes (draining what the old ring holds)
    // and leaves the new files to the server made over them below.
    KIV_DIAG("KivServerManager Add() - rings of ProcessID " << pid << " were replaced; new server\n");
    Remove(pid, FilesOfTheClient::Keep);
  }
  auto server = std::make_unique<MultithreadedKivServer>(m_Sequence, pid, m_IdleWatch);
  KIV_DIAG("KivServer for process:" << pid << " worker thread started\n");
  m_Servers.emplace(pid, std::move(server));
  UpdateStatus();
}

void KivServerManager::SharedDelete(uint32_t pid) { Remove(pid, FilesOfTheClient::RemoveIfMapped); }

namespace {
void RemoveMapFile(const std::string& name, const char* message) {
  Validation2Exception::ReportOSCall(::remove(SharedMemory::FilePath(name).c_str()) == 0, message);
}
}  // namespace

void KivServerManager::Remove(uint32_t pid, FilesOfTheClient files) {
  auto it = m_Servers.find(pid);
  Validation2Exception::CheckLogic(it != m_Servers.end(), "Id to un-register does not exst");
  std::unique_ptr<MultithreadedKivServer> server = std::move(it->second);
  m_Servers.erase(it);
  // Decided while the server still holds its mappings, and removed by name
  // at once: a file of the same name that the client made after the server
  // mapped its own belongs to a later registration and stays. The mappings
  // stay valid after the unlink, so the last block is still taken below.
  if (files == FilesOfTheClient::RemoveIfMapped) {
    const KivServer& s = server->Server();
    if (s.IsTraceRingFileCurrent())
      RemoveMapFile(KivMessageBuffers::TraceBufferName(pid), " Error: :: remove TraceBuffer map file");
    if (s.IsMessageRingFileCurrent())
      RemoveMapFile(KivMessageBuffers::ClientMessageBufferName(pid),
                    "Error: remove ClientMessageBuffer map file");
    if (s.IsLossFileCurrent())
      RemoveMapFile(ClientLossCounters::Name(pid), "Error: remove loss counters map file");
  }
  server.reset();
  UpdateStatus();
  KIV_DIAG("Status of Shared Delete : server manager delete the server thread when client crashes \n");
}

void KivServerManager::ShowDrainPriority() {
  const uint32_t priority = KivServer::DrainPriority();
  const int refusal = KivServer::DrainPriorityRefusal();
  if (priority == 0) {
    m_DrainPriority.SetText("normal");
    return;
  }
  std::string text = "FIFO " + std::to_string(priority);
  if (refusal != 0) text += std::string(", refused: ") + std::strerror(refusal);
  m_DrainPriority.SetText(text);
}

void KivServerManager::Worker() {
  if (m_StopRequested.load(std::memory_order_acquire)) return;
  try {
    ShowDrainPriority();
  } catch (...) {  // only the status line is late; the next pass tries again
  }
  // A member may have truncated the counter; clients number on their own
  // until it has its length again.
  m_Sequence.Repair();
  // With many idle clients the walk below is most of this thread's work;
  // it only finds something after a server marked its client gone.
  const uint64_t gone = KivServer::GoneEvents();
  if (gone == m_GoneSeen) return;
  try {
    Guard guard(m_Lock);
    for (auto it = m_Servers.begin(); it != m_Servers.end();) {
      if (it->second->Server().IsClientGone()) {
        SharedDelete(it->first);
        it = m_Servers.begin();
      } else {
        ++it;
      }
    }
    m_GoneSeen = gone;
  } catch (...) {
    KIV_DIAG_NOTHROW("KivServerManager worker thread received exception\n");
  }
}

void KivServerManager::Register(uint32_t pid) {
  Add(pid);
  Guard guard(m_Lock);
  // The server may have been removed in between (its client died at once).
  if (KivServer* server = Find(pid)) server->Send(MessageConfirmation(ConfirmRegistration));
}

void KivServerManager::Unregister(uint32_t pid) {
  Guard guard(m_Lock);
  // A client removes its trace ring's file before it un-registers; only its
  // own user (or root) can do that in the sticky {temp}. While the file is
  // still in place and the process runs, the message is someone else's
  // forgery and the client stays.
  if (KivServer* server = Find(pid);
      server && server->IsTraceRingFileCurrent() && WatchServiceStopUsingPID::IsProcessRunning(pid)) {
    KIV_DIAG("Un-registration of process " << pid << " ignored: its trace ring is still in place\n");
    return;
  }
  // Confirmed before the server goes; a client whose ring cannot take the
  // confirmation still leaves.
  try {
    if (KivServer* server = Find(pid)) {
      server->Send(MessageConfirmation(ConfirmRegistration));
    } else {
      // No trace server, so the message thread is the only writer into
      // this ring now.
      ClientMessageSendingStream stream(pid);
      MessageTransmitter<ClientMessageSendingStream>(stream).Send(MessageConfirmation(ConfirmRegistration));
    }
  } catch (const std::exception& e) {
    KIV_DIAG("Un-registration of process " << pid << " not confirmed: " << e.what() << "\n");
  }
  // A client that un-registers removes its own files (it made them); a
  // removal here could hit the files of its next registration, which it may
  // have made already when this message was read late (after a registration
  // that timed out). Only a client that is gone by now leaves them to us.
  Validation2Exception::CheckLogic(Find(pid) != nullptr, "Id to un-register does not exst");
  Remove(pid, WatchServiceStopUsingPID::IsProcessRunning(pid) ? FilesOfTheClient::Keep
                                                              : FilesOfTheClient::RemoveIfMapped);
}
