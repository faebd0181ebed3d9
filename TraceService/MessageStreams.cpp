#include "TraceService/MessageStreams.h"

#include "Support/AutoSync.h"
#include "TraceService/MessageBufferNames.h"

namespace {
bool Recover(CircularMemoryBuffer& ring) {
  if (ring.IsHeaderValid()) return false;
  ring.Initialize();
  return true;
}
}  // namespace

ServerMessageSendingStream::ServerMessageSendingStream()
    : InterProcessLock(KivMessageBuffers::MessageLockName, false),
      m_Memory(KivServerMessageBufferNamingPolicy()),
      m_Ring(m_Memory.Data(), m_Memory.Length()) {}

bool ServerMessageSendingStream::write(const void* data, size_t length) {
  AutoSync<InterProcessLock> lock(*this);
  return m_Ring.write(data, length);
}

ServerMessageReceivingStream::ServerMessageReceivingStream()
    : InterProcessLock(KivMessageBuffers::MessageLockName),
      m_Memory(KivServerMessageBufferNamingPolicy(), KivMessageBuffers::MessageRingFileSize),
      m_Ring(m_Memory.Data(), m_Memory.Length()) {
  AutoSync<InterProcessLock> lock(*this);
  m_Ring.Initialize();
}

void ServerMessageReceivingStream::read(void* destination, size_t length) {
  AutoSync<InterProcessLock> lock(*this);
  m_Ring.read(destination, length);
}

void ServerMessageReceivingStream::Skip(size_t length) {
  AutoSync<InterProcessLock> lock(*this);
  m_Ring.Skip(length);
}

void ServerMessageReceivingStream::SkipAll() {
  AutoSync<InterProcessLock> lock(*this);
  m_Ring.SkipAll();
}

bool ServerMessageReceivingStream::RecoverIfDamaged() {
  // Under the lock, so no client is half way through a write.
  AutoSync<InterProcessLock> lock(*this);
  return Recover(m_Ring);
}

ClientMessageSendingStream::ClientMessageSendingStream(uint32_t pid)
    : m_Memory(KivMessageBuffers::ClientMessageBufferName(pid)), m_Ring(m_Memory.Data(), m_Memory.Length()) {}

bool ClientMessageSendingStream::write(const void* data, size_t length) {
  AutoSync<CriticalSectionSyncPolicy> lock(m_WriteLock);
  return m_Ring.write(data, length);
}

ClientMessageReceivingStream::ClientMessageReceivingStream(uint32_t pid)
    : m_Memory(KivMessageBuffers::ClientMessageBufferName(pid), KivMessageBuffers::MessageRingFileSize),
      m_Ring(m_Memory.Data(), m_Memory.Length()) {
  m_Ring.Initialize();
}

bool ClientMessageReceivingStream::RecoverIfDamaged() { return Recover(m_Ring); }
