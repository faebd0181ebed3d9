// KivServerManager::Handle: runtime configuration changes asked for by a
// registered client (kivtool pause, resume, reload, preservation on/off).

#include <cstring>

#include "KivConfigFileReader/KivConfigFileReader.h"
#include "KivService/KivServerControlRecord.h"
#include "KivService/KivServerManager.h"
#include "Support/ConfigPath.h"
#include "Support/Logging.h"
#include "Support/Validation2Exception.h"
#include "TraceData/TraceStructures.h"

using Guard = AutoSync<CriticalSectionSyncPolicy>;

void KivServerManager::WriteControlRecord(uint32_t code, uint32_t pid) {
  if (!Server()->Config().m_StatusTrace) return;
  KivLocalTraceStreamDispatcherHandle dispatcher;
  WriteKivControlRecord(*dispatcher, m_Sequence, code, pid);
}

void KivServerManager::PauseOrResume(bool pause) {
  if (pause)
    (*m_LocalOutput)->Pause();
  else
    (*m_LocalOutput)->Resume();
}

void KivServerManager::Handle(const MessageHeader* header) {
  if (header->m_Type != MessageTypeRuntimeConfigChange) return;
  KIV_DIAG("Received RuntimeConfigChange message\n");
  const uint32_t source = header->m_SourceId;
  {
    Guard guard(m_Lock);
    KivServer* server = Find(source);
    Validation2Exception::CheckLogic(server != nullptr, "Id of source does not exst");
    server->Send(MessageConfirmation(ConfirmConfigChange));
    KIV_DIAG("Server sends confirmation message\n");
  }
  // The message is forwarded unchanged, sender included.
  MessageRuntimeConfigurationChange forwarded;
  std::memcpy(static_cast<MessageHeader*>(&forwarded), header, sizeof(MessageHeader));
  KivServerConfig& config = Server()->Config();
  switch (header->m_Code) {
    case ReloadConfigFile:
      KIV_DIAG("ConfigChange message for ReloadConfigFile\n");
      BroadcastMessage(forwarded);
      ReadKivServerConfig(config, KivConfigPathPolicy().Get());
      Server()->BroadcastConfigChange();
      WriteControlRecord(TracePacketShared::ConfigurationReloaded, source);
      break;
    case PauseTracing:
      KIV_DIAG("ConfigChange message for PauseTracing\n");
      BroadcastMessage(forwarded);
      // Written before the pause: the last record before the gap.
      WriteControlRecord(TracePacketShared::TracingPaused, source);
      PauseOrResume(true);
      break;
    case ResumeTracing:
      KIV_DIAG("ConfigChange message for ResumeTracing\n");
      BroadcastMessage(forwarded);
      PauseOrResume(false);
      // Written after the resume: the first record after the gap.
      WriteControlRecord(TracePacketShared::TracingResumed, source);
      break;
    case PreservationOn:
      KIV_DIAG("ConfigChange message for enable reservation mode\n");
      config.m_PreservationMode = true;
      Server()->BroadcastConfigChange();
      WriteControlRecord(TracePacketShared::PreservationOn, source);
      break;
    default:
      KIV_DIAG("ConfigChange message for disable reservation mode\n");
      config.m_PreservationMode = false;
      Server()->BroadcastConfigChange();
      WriteControlRecord(TracePacketShared::PreservationOff, source);
      break;
  }
}
