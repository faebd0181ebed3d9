#pragma once
// The messages exchanged between client processes and the dispatcher. Each
// travels as the data of one Binary trace packet, byte for byte as laid out
// here: little-endian fields, no padding.

#include <bit>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "messages are little-endian");

enum MessageType : uint32_t {
  MessageTypeService = 1,
  MessageTypeRuntimeConfigChange = 2,
  MessageTypeConfirmation = 3,
  MessageTypePing = 4,
};

// m_Code of MessageTypeService.
enum ServiceCode : uint32_t {
  CodeRegister = 0,
  CodeUnregister = 2,
};

// m_Code of MessageTypeRuntimeConfigChange.
enum RuntimeConfigChangeCode : uint32_t {
  ReloadConfigFile = 0,
  PauseTracing = 1,
  ResumeTracing = 2,
  PreservationOn = 3,
  PreservationOff = 4,
};

// m_Code of MessageTypeConfirmation.
enum ConfirmationCode : uint32_t {
  ConfirmRegistration = 1,  // registration or un-registration
  ConfirmConfigChange = 2,
};

// Start of every message. m_SourceId: the client the message comes from or
// concerns (0 in the dispatcher's confirmations).
struct MessageHeader {
  uint32_t m_SourceId = 0;
  uint32_t m_Type = 0;
  uint32_t m_Code = 0;
};
static_assert(sizeof(MessageHeader) == 12);

// Client -> dispatcher: register (CodeRegister) or un-register (CodeUnregister)
// the process m_SourceId.
struct MessageClientRegistration : MessageHeader {
  MessageClientRegistration() = default;
  MessageClientRegistration(uint32_t pid, ServiceCode code) : MessageHeader{pid, MessageTypeService, code} {}
};
static_assert(sizeof(MessageClientRegistration) == 12);

// Client -> dispatcher (request), dispatcher -> every client (forwarded
// unchanged). m_Reserved is neither filled nor read; sent as 0.
struct MessageRuntimeConfigurationChange : MessageHeader {
  MessageRuntimeConfigurationChange() = default;
  MessageRuntimeConfigurationChange(uint32_t pid, RuntimeConfigChangeCode code)
      : MessageHeader{pid, MessageTypeRuntimeConfigChange, code} {}
  uint32_t m_Reserved = 0;
};
static_assert(sizeof(MessageRuntimeConfigurationChange) == 16);

// Dispatcher -> client: the request of type m_Code was accepted.
struct MessageConfirmation : MessageHeader {
  MessageConfirmation() = default;
  explicit MessageConfirmation(ConfirmationCode code) : MessageHeader{0, MessageTypeConfirmation, code} {}
  uint8_t m_Confirmed = 1;
  uint8_t m_Padding[3] = {0, 0, 0};
};
static_assert(sizeof(MessageConfirmation) == 16);

// Dispatcher -> client, while the client is idle. Only the first two header
// fields: there is no m_Code on the wire.
struct MessagePing {
  MessagePing() = default;
  explicit MessagePing(uint32_t pid) : m_SourceId(pid) {}
  uint32_t m_SourceId = 0;
  uint32_t m_Type = MessageTypePing;
};
static_assert(sizeof(MessagePing) == 8);
