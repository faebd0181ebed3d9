#include "KivService/MessageHandler.h"

#include <unistd.h>

#include "Support/Logging.h"
#include "Support/SharedFiles.h"
#include "Support/SharedMemory.h"
#include "TraceService/MessageBufferNames.h"

bool MessageHandler::IsSenderGenuine(uint32_t pid, bool goneMayLeave) {
  std::optional<uid_t> user = SharedFiles::ProcessRealUid(static_cast<pid_t>(pid));
  // A process that is gone can only leave; nobody is harmed by that.
  if (!user) return goneMayLeave;
  bool any = false;
  for (const std::string& name :
       {KivMessageBuffers::ClientMessageBufferName(pid), KivMessageBuffers::TraceBufferName(pid)}) {
    std::optional<uid_t> owner = SharedFiles::FileOwner(SharedMemory::FilePath(name));
    if (!owner) continue;
    if (*owner != *user && *owner != geteuid()) return false;
    any = true;
  }
  return any;
}

void MessageHandler::Handle(const MessageHeader* header, uint32_t length) {
  if (length < sizeof(MessageHeader)) return;
  const uint32_t pid = header->m_SourceId;
  const bool leaving = header->m_Type == MessageTypeService && header->m_Code == CodeUnregister;
  if ((header->m_Type == MessageTypeService || header->m_Type == MessageTypeRuntimeConfigChange) &&
      !IsSenderGenuine(pid, leaving)) {
    KIV_DIAG("Message naming process " << pid << " ignored: its map files do not belong to its user\n");
    return;
  }
  if (header->m_Type != MessageTypeService) {
    m_Manager->Handle(header);
    return;
  }
  switch (header->m_Code) {
    case CodeRegister:
      KIV_DIAG("Received registration from client:" << pid << "\n");
      m_Manager->Register(pid);
      break;
    case CodeUnregister:
      KIV_DIAG("Received un-registration from client:" << pid << "\n");
      m_Manager->Unregister(pid);
      break;
    default:
      break;
  }
}
