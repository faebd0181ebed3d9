#include "KivService/KivServiceProvider.h"

#include <unistd.h>

#include "KivConfigFileReader/KivConfigFileReader.h"
#include "KivService/MessageHandler.h"
#include "Support/ConfigPath.h"
#include "Support/Logging.h"
#include "Support/Validation2Exception.h"
#include "TraceService/MessageProcessor.h"

KivServiceProvider::KivServiceProvider()
    : m_Presence(kServicePresenceName),
      m_StatusFile(m_Collector),
      m_StatusTimer(m_StatusFile, FileStatusReport::kPeriodMs),
      m_Syslog(m_ConfigServer, m_Collector),
      m_Manager(m_Collector, m_ConfigServer),
      m_ManagerTimer(m_Manager, kPollPeriodMs),
      m_NetworkServerManager(m_Collector, m_ConfigServer) {
  KIV_DIAG("KivServiceProvider worker thread started\n");
  ReadKivServerConfig(m_ConfigServer.Config(), KivConfigPathPolicy().Get());
  m_ConfigServer.BroadcastConfigChange();
  m_PidFile.emplace();
}

KivServiceProvider::PidFile::PidFile()
    : m_Path(ServiceAvailabilityUsingPIDFile::PidFilePath(kServicePresenceName)) {
  ServiceAvailabilityUsingPIDFile::StorePid(m_Path);
}

KivServiceProvider::PidFile::~PidFile() { ::unlink(m_Path.c_str()); }

KivServiceProvider::~KivServiceProvider() {
  m_Manager.RequestStop();
  KIV_DIAG_NOTHROW("KivServiceProvider worker thread requested to stop\n");
  // The members go in reverse order: network server manager, the manager's
  // timer (joined), the manager (every client removed), the configuration
  // server, the status timer and writer, the collector, the message ring
  // and lock, the presence files.
}

void KivServiceProvider::Worker() {
  try {
    if (m_Messages.GetDataLength() == 0) return;
    MessageHandler handler(m_Manager);
    MessageProcessor<MessageHandler> processor(handler);
    for (uint32_t n = 0; n < kMaxMessagesPerPass && m_Messages.GetDataLength() != 0; ++n)
      processor.Process(m_Messages);
  } catch (const LogicException& e) {
    // Only a damaged ring header comes here (the processor drops bad
    // messages itself); clients cannot write into it until it is reset.
    if (m_Messages.RecoverIfDamaged())
      KIV_DIAG("KivServiceProvider reset the damaged message buffer: " << e.what() << "\n");
    else
      throw;
  }
}
