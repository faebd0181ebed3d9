#pragma once
// The dispatcher's reaction to the messages clients write into its ring,
// one message at a time on the provider's message thread (a
// MessageProcessor<MessageHandler> calls Handle for each):
//
//   registration     -> the client's trace server is created (unless it
//                       exists), then the confirmation is sent; a client
//                       whose rings are missing or unusable is refused:
//                       no server, no confirmation
//   un-registration  -> confirmation, then the server and the client's map
//                       files are removed
//   configuration change (pause, resume, reload, preservation on/off)
//                    -> KivServerManager::Handle
//   anything else    -> ignored
//
// A registration, un-registration or configuration change naming process P
// is acted on only when P's map files belong to P's real user (or to the
// dispatcher's user); others are ignored with a diagnostic line.
//
// Failures raise to the MessageProcessor, which logs them and goes on with
// the next message. Holds no state between messages; the manager is
// borrowed.

#include <cstdint>
#include <optional>

#include "KivService/KivServerManager.h"
#include "TraceService/Messages.h"

class MessageHandler {
 public:
  explicit MessageHandler(KivServerManager& manager) : m_Manager(&manager) {}

  // `length`: the bytes the message really had; a message too short for a
  // whole header is ignored rather than read as zeros.
  void Handle(const MessageHeader* header, uint32_t length);

  // True when the map files of `pid` that exist (at least one) belong to its
  // real user or to this process's user; for a process that no longer
  // exists, `goneMayLeave`.
  static bool IsSenderGenuine(uint32_t pid, bool goneMayLeave);

 private:
  KivServerManager* m_Manager;
};
