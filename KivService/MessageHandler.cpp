#include "KivService/MessageHandler.h"

#include "Support/Logging.h"

void MessageHandler::Handle(const MessageHeader* header, uint32_t length) {
  if (length < sizeof(MessageHeader)) return;
  if (header->m_Type != MessageTypeService) {
    m_Manager->Handle(header);
    return;
  }
  const uint32_t pid = header->m_SourceId;
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
