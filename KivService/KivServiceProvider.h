#pragma once
// The whole running dispatcher as one object: the presence files, the
// dispatcher's message ring and its lock, the status report, the
// configuration server, the server manager with its cleanup timer, and the
// network server manager. kivserver's start and console build it (through
// the service factory) and drive Worker() every 100 ms.
//
// Construction order (members in declaration order):
//   1. the exclusive "KivService" presence lock {temp}KivService.lck; taken
//      first, so a second provider next to a running dispatcher fails here
//      ("Fail to lock the file ...") before it creates, truncates or removes
//      any shared file of the running one;
//   2. the message lock "KivServerMessageLock" and the message ring
//      "KivServerMessageBuffer" (created, header written);
//   3. the status collector, the status file writer ({temp}KivServerStatus.txt)
//      and its 1000 ms timer;
//   4. the configuration server, empty, and the syslog output (registered
//      with it first, so its settings are applied before any dispatcher
//      writes; it outlives every dispatcher);
//   5. the server manager (sequence counter, "Connections\Local") and its
//      100 ms cleanup timer;
//   6. the network server manager;
// then the configuration file is read and broadcast to every component, and
// last {temp}KivService.pid is written: client monitors take the lock and the
// PID file together as "the dispatcher runs", so they see it only once its
// message ring exists and its settings are applied.
// Teardown is the reverse: the PID file goes first (clients stop sending),
// the network server, the manager's timer is joined and every client
// removed, ..., the message ring and its lock are removed, and the presence
// lock last, so no second dispatcher can create a ring this one then
// removes. Never raises.
//
// Threads: Worker() runs on the caller's timer thread (one at a time); the
// members run their own timers and the trace-server threads.

#include <cstdint>
#include <optional>
#include <string>

#include "KivConfigFileReader/ConfigServer.h"
#include "KivService/FileStatusReport.h"
#include "KivService/KivNetworkServerManager.h"
#include "KivService/KivServerManager.h"
#include "KivService/StatusReport.h"
#include "KivService/SyslogOutput.h"
#include "ServiceMonitor/ServiceAvailabilityUsingPIDFile.h"
#include "Support/Defaults.h"
#include "Support/ExclusiveAccessUsingLockFile.h"
#include "Support/TimerClassMemberFunction.h"
#include "TraceService/MessageStreams.h"

class KivServiceProvider {
 public:
  // Messages handled per Worker() call at most, so that a client flooding
  // the ring cannot hold the message thread forever.
  static constexpr uint32_t kMaxMessagesPerPass = 64;

  // Raises whatever a member raises; members built so far are destroyed.
  KivServiceProvider();
  virtual ~KivServiceProvider();
  KivServiceProvider(const KivServiceProvider&) = delete;
  KivServiceProvider& operator=(const KivServiceProvider&) = delete;

  // The periodic call: hands every message waiting in the ring to the
  // message handler. An empty ring costs one length check. A ring whose
  // header was damaged is reset (its content is lost).
  void Worker();

  KivServerManager& Manager() { return m_Manager; }
  ConfigServer& Configuration() { return m_ConfigServer; }
  StatusReport::Collector& Collector() { return m_Collector; }

 private:
  // {temp}KivService.pid with this process's id; removed on destruction.
  class PidFile {
   public:
    PidFile();
    ~PidFile();
    PidFile(const PidFile&) = delete;
    PidFile& operator=(const PidFile&) = delete;

   private:
    std::string m_Path;
  };

  ExclusiveAccessUsingLockFile m_Presence;
  ServerMessageReceivingStream m_Messages;  // read only by Worker()
  StatusReport::Collector m_Collector;
  FileStatusReport m_StatusFile;
  TimerClassMemberFunction<FileStatusReport, true> m_StatusTimer;
  ConfigServer m_ConfigServer;
  SyslogOutput m_Syslog;
  KivServerManager m_Manager;
  TimerClassMemberFunction<KivServerManager, true> m_ManagerTimer;
  KivNetworkServerManager m_NetworkServerManager;
  std::optional<PidFile> m_PidFile;  // written at the end of construction
};
