#pragma once
// Registration of a client process with the dispatcher.
//
// ServiceClient<SendingStream, ReceivingStream> creates the process's own
// message ring (ReceivingStream over "KivServerMessageBuffer" + own pid),
// registers the process through the dispatcher's ring (a fresh SendingStream
// per message) and waits for the confirmation; its destructor un-registers
// and removes the ring. The real streams are ServerMessageSendingStream and
// ClientMessageReceivingStream.
//
// Waiting for a confirmation polls the own ring at most kConfirmationPolls
// times, sleeping kPollPeriodMs between polls (about 2 s in all). Messages
// other than a confirmation that arrive meanwhile are consumed and dropped.
//
// The own ring has one reader at a time: the constructing or destroying
// thread here, the owner's message thread in between (through
// MessageBuffer()). Nothing else of the object changes after construction
// except the abandoned flag, which the owner sets before destruction.

#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "Support/Defaults.h"
#include "Support/Logging.h"
#include "Support/Validation2Exception.h"
#include "TraceService/MessageProcessor.h"
#include "TraceService/MessageTransmitter.h"
#include "TraceService/Messages.h"

template <class SendingStream, class ReceivingStream>
class ServiceClient {
 public:
  static constexpr int kConfirmationPolls = 20;

  // Raises "Bad logic:Timeout waiting registration confirmation" when no
  // confirmation came (or `cancel` was set while waiting), and the errors of
  // the streams when a ring cannot be created or opened. The own ring is
  // removed again on failure.
  ServiceClient(uint32_t dispatcherPid, uint32_t ownPid, const std::atomic<bool>* cancel = nullptr)
      : m_DispatcherPid(dispatcherPid), m_OwnPid(ownPid), m_MessageBuffer(ownPid) {
    Send(CodeRegister);
    KIV_DIAG("Service client sent registration message\n");
    if (!WaitForConfirmation(cancel)) {
      // A dispatcher that is only slow would register this process after we
      // gave up and keep a trace server over rings we are about to remove;
      // the un-registration behind the registration undoes that when no
      // further attempt follows. Read late, after the next attempt made new
      // rings, it removes at most a server: the dispatcher leaves a running
      // client's files alone and replaces a server over re-created rings.
      try {
        Send(CodeUnregister);
      } catch (...) {
      }
      Validation2Exception::CheckLogic(false, "Timeout waiting registration confirmation");
    }
  }

  // Un-registers (waiting for the confirmation as above) unless abandoned;
  // every failure is swallowed. The own ring's file is removed in any case.
  virtual ~ServiceClient() {
    if (m_Abandoned.load(std::memory_order_acquire)) return;
    try {
      Send(CodeUnregister);
      KIV_DIAG("Service client sent un-registration message\n");
      Validation2Exception::CheckLogic(WaitForConfirmation(nullptr),
                                       "Timeout waiting un-registration confirmation");
    } catch (...) {
      KIV_DIAG_NOTHROW("Exception happened during service client destruction\n");
    }
  }
  ServiceClient(const ServiceClient&) = delete;
  ServiceClient& operator=(const ServiceClient&) = delete;

  // The dispatcher process has gone: nobody would read an un-registration,
  // and a successor dispatcher must not receive it, so the destructor sends
  // none and does not wait.
  void Abandon() { m_Abandoned.store(true, std::memory_order_release); }

  uint32_t DispatcherPid() const { return m_DispatcherPid; }
  uint32_t OwnPid() const { return m_OwnPid; }
  ReceivingStream& MessageBuffer() { return m_MessageBuffer; }

  // Hands one stored message to `processor`; false when the ring was empty.
  // A ring whose header was found damaged is reset, since this process
  // created it and nobody else will; what it held is lost.
  template <class Processor>
  bool ProcessOne(Processor& processor) {
    try {
      if (m_MessageBuffer.GetDataLength() == 0) return false;
      processor.Process(m_MessageBuffer);
      return true;
    } catch (const LogicException&) {
      if (!m_MessageBuffer.RecoverIfDamaged()) throw;
      KIV_DIAG_NOTHROW("Damaged client message buffer reset\n");
      return false;
    }
  }

 private:
  // Only a confirmation counts; everything else is consumed and ignored.
  struct InternalMessageHandler {
    bool* confirmed;
    void Handle(const MessageHeader* header) {
      if (header->m_Type != MessageTypeConfirmation) return;
      KIV_DIAG("Received confirmation message\n");
      *confirmed = true;
    }
  };

  void Send(ServiceCode code) {
    SendingStream stream;
    MessageTransmitter<SendingStream>(stream) << MessageClientRegistration(m_OwnPid, code);
  }

  bool WaitForConfirmation(const std::atomic<bool>* cancel) {
    bool confirmed = false;
    InternalMessageHandler handler{&confirmed};
    MessageProcessor<InternalMessageHandler> processor(handler);
    for (int poll = 0; poll < kConfirmationPolls; ++poll) {
      while (!confirmed && ProcessOne(processor)) {
      }
      if (confirmed || (cancel && cancel->load(std::memory_order_acquire))) break;
      usleep(kPollPeriodMs * 1000);
    }
    return confirmed;
  }

  const uint32_t m_DispatcherPid;
  const uint32_t m_OwnPid;
  ReceivingStream m_MessageBuffer;
  std::atomic<bool> m_Abandoned{false};
};
