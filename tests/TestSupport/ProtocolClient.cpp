#include "TestSupport/ProtocolClient.h"

#include <pthread.h>

#include <atomic>
#include <stdexcept>

#include "KivService/KivRecordSequenceGenerator.h"
#include "MemoryStream/CircularMemoryOutputStream.h"
#include "Support/SharedMemory.h"
#include "TestSupport/Sandbox.h"
#include "TraceData/TraceRecordBuilder.h"
#include "TraceService/TraceService.h"

namespace kivtest {

struct ProtocolClient::Rings {
  explicit Rings(uint32_t pid)
      : messages(pid),
        traceMemory(KivMessageBuffers::TraceBufferName(pid), KivMessageBuffers::kTraceRingFileSize),
        trace(traceMemory.Data(), traceMemory.Length()) {
    trace.Initialize();
  }
  ClientMessageReceivingStream messages;
  SharedMemory traceMemory;
  CircularMemoryOutputStream trace;
  std::unique_ptr<KivRecordSequenceGenerator> sequence;  // mapped at the first record
};

namespace {
// Collects what MessageProcessor hands over.
struct Collector {
  std::vector<ReceivedMessage>* into;
  void Handle(const MessageHeader* header, uint32_t length) {
    into->push_back({header->m_SourceId, header->m_Type, length >= 12 ? header->m_Code : 0, length});
  }
};
}  // namespace

ProtocolClient::ProtocolClient(uint32_t pid) : m_Pid(pid), m_Rings(std::make_unique<Rings>(pid)) {}

ProtocolClient::~ProtocolClient() = default;

std::string ProtocolClient::MessageRingFile(uint32_t pid) {
  return SharedMemory::FilePath(KivMessageBuffers::ClientMessageBufferName(pid));
}

std::string ProtocolClient::TraceRingFile(uint32_t pid) {
  return SharedMemory::FilePath(KivMessageBuffers::TraceBufferName(pid));
}

bool ProtocolClient::SendRaw(const void* data, size_t length) {
  try {
    ServerMessageSendingStream stream;
    return stream.write(data, length);
  } catch (const std::exception&) {
    return false;
  }
}

namespace {
template <class Message>
bool Send(ProtocolClient& client, const Message& message) {
  SmartBufferOutputStream<1024> encoded;
  EncodeMessage(message, encoded);
  return client.SendRaw(encoded.Data(), encoded.GetLength());
}
}  // namespace

bool ProtocolClient::SendRegistration() {
  return Send(*this, MessageClientRegistration(m_Pid, CodeRegister));
}

bool ProtocolClient::SendUnregistration() {
  ReleaseTraceRingFile();
  return Send(*this, MessageClientRegistration(m_Pid, CodeUnregister));
}

void ProtocolClient::ReleaseTraceRingFile() { m_Rings->traceMemory.RemoveFile(); }

bool ProtocolClient::SendUnregistrationOf(uint32_t pid) {
  SmartBufferOutputStream<1024> encoded;
  EncodeMessage(MessageClientRegistration(pid, CodeUnregister), encoded);
  try {
    ServerMessageSendingStream stream;
    return stream.write(encoded.Data(), encoded.GetLength());
  } catch (const std::exception&) {
    return false;
  }
}

bool ProtocolClient::SendConfigChange(RuntimeConfigChangeCode code) {
  return Send(*this, MessageRuntimeConfigurationChange(m_Pid, code));
}

bool ProtocolClient::Register(std::chrono::milliseconds deadline) {
  Poll();
  size_t before = CountMessages(MessageTypeConfirmation, ConfirmRegistration);
  return SendRegistration() &&
         WaitForMessages(MessageTypeConfirmation, ConfirmRegistration, before + 1, deadline);
}

bool ProtocolClient::Unregister(std::chrono::milliseconds deadline) {
  Poll();
  size_t before = CountMessages(MessageTypeConfirmation, ConfirmRegistration);
  return SendUnregistration() &&
         WaitForMessages(MessageTypeConfirmation, ConfirmRegistration, before + 1, deadline);
}

bool ProtocolClient::RequestConfigChange(RuntimeConfigChangeCode code, std::chrono::milliseconds deadline) {
  Poll();
  size_t before = CountMessages(MessageTypeConfirmation, ConfirmConfigChange);
  return SendConfigChange(code) &&
         WaitForMessages(MessageTypeConfirmation, ConfirmConfigChange, before + 1, deadline);
}

void ProtocolClient::Poll() {
  Collector collector{&m_Messages};
  MessageProcessor<Collector> processor(collector);
  while (m_Rings->messages.GetDataLength() != 0) processor.Process(m_Rings->messages);
}

size_t ProtocolClient::CountMessages(uint32_t type, int64_t code) const {
  size_t n = 0;
  for (const auto& m : m_Messages)
    if (m.type == type && (code < 0 || m.code == static_cast<uint32_t>(code))) ++n;
  return n;
}

bool ProtocolClient::WaitForMessages(uint32_t type, int64_t code, size_t count,
                                     std::chrono::milliseconds deadline) {
  return WaitFor(
      [&] {
        Poll();
        return CountMessages(type, code) >= count;
      },
      deadline);
}

uint32_t ProtocolClient::WriteRecord(std::string_view text, std::string_view module, std::string_view label,
                                     std::string_view client) {
  if (!m_Rings->sequence)
    m_Rings->sequence = std::make_unique<KivRecordSequenceGenerator>(KivRecordSequenceGenerator::Open);
  TraceRecordFields fields;
  fields.m_SequenceNumber = m_Rings->sequence->Next();
  fields.m_Timestamp = TraceTimestamp::Now();
  fields.m_ThreadId = static_cast<uint32_t>(pthread_self());
  fields.m_ModuleName = module;
  fields.m_LabelName = label;
  fields.m_ClientName = client;
  fields.m_MessageText = text;
  std::vector<uint8_t> record(TraceRecordBuilder::kMaxRecordSize);
  uint32_t size =
      TraceRecordBuilder::BuildRecord(fields, record.data(), static_cast<uint32_t>(record.size()));
  if (!m_Rings->trace.write(record.data(), size)) throw std::runtime_error("trace ring full");
  return fields.m_SequenceNumber;
}

uint32_t ProtocolClient::TraceBytesWaiting() const {
  auto* header = reinterpret_cast<uint32_t*>(m_Rings->traceMemory.Data());
  uint32_t read = std::atomic_ref<uint32_t>(header[0]).load();
  uint32_t write = TraceWritePosition();
  uint32_t capacity = KivMessageBuffers::kTraceRingCapacity;
  return write >= read ? write - read : write + capacity - read;
}

uint32_t ProtocolClient::TraceWritePosition() const {
  return std::atomic_ref<uint32_t>(reinterpret_cast<uint32_t*>(m_Rings->traceMemory.Data())[1]).load();
}

bool ProtocolClient::WaitUntilDrained(std::chrono::milliseconds deadline) {
  return WaitFor([&] { return TraceBytesWaiting() == 0; }, deadline);
}

void ProtocolClient::OverwriteTraceRingHeader(uint32_t read, uint32_t write, uint32_t capacity) {
  auto* header = reinterpret_cast<uint32_t*>(m_Rings->traceMemory.Data());
  std::atomic_ref<uint32_t>(header[0]).store(read);
  std::atomic_ref<uint32_t>(header[1]).store(write);
  std::atomic_ref<uint32_t>(header[2]).store(capacity);
}

}  // namespace kivtest
