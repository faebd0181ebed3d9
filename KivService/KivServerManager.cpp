#include "KivService/KivServerManager.h"

#include <unistd.h>

#include <cerrno>

#include "KivService/KivServerControlRecord.h"
#include "Support/Logging.h"
#include "Support/SharedMemory.h"
#include "Support/Validation2Exception.h"
#include "TraceService/MessageBufferNames.h"

using Guard = AutoSync<CriticalSectionSyncPolicy>;

KivServerManager::MultithreadedKivServer::MultithreadedKivServer(KivRecordSequenceGenerator& sequence,
                                                                 uint32_t pid)
    : m_Server(sequence, pid), m_Thread(m_Server) {}

KivServerManager::MultithreadedKivServer::~MultithreadedKivServer() {
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
                    StatusReport::Number) {
  KivTraceStreamDispatcher::s_Server = &server;
  KivLocalTraceStreamDispatcher::s_Collector = &collector;
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
  m_PauseHold.reset();
  // Nothing of this manager may be reached through the statics any more.
  KivTraceStreamDispatcher::s_Server = nullptr;
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
  if (Find(pid) != nullptr) {
    KIV_DIAG("KivServerManager Add() - attempt made to add a client more than once for ProcessID " << pid
                                                                                                   << "\n");
    return;
  }
  auto server = std::make_unique<MultithreadedKivServer>(m_Sequence, pid);
  KIV_DIAG("KivServer for process:" << pid << " worker thread started\n");
  m_Servers.emplace(pid, std::move(server));
  UpdateStatus();
}

void KivServerManager::SharedDelete(uint32_t pid) {
  auto it = m_Servers.find(pid);
  Validation2Exception::CheckLogic(it != m_Servers.end(), "Id to un-register does not exst");
  std::unique_ptr<MultithreadedKivServer> server = std::move(it->second);
  m_Servers.erase(it);
  server.reset();
  UpdateStatus();
  // Also after a regular un-registration: a client that died leaves its
  // files behind, and one that removed them first makes these fail harmlessly.
  try {
    Validation2Exception::CheckOSCall(
        ::remove(SharedMemory::FilePath(KivMessageBuffers::TraceBufferName(pid)).c_str()) == 0,
        " Error: :: remove TraceBuffer map file");
  } catch (...) {
  }
  try {
    Validation2Exception::CheckOSCall(
        ::remove(SharedMemory::FilePath(KivMessageBuffers::ClientMessageBufferName(pid)).c_str()) == 0,
        "Error: remove ClientMessageBuffer map file");
  } catch (...) {
  }
  KIV_DIAG("Status of Shared Delete : server manager delete the server thread when client crashes \n");
}

void KivServerManager::Worker() {
  if (m_StopRequested.load(std::memory_order_acquire)) return;
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
  SharedDelete(pid);
}
