#include "TraceService/MessageStreams.h"

#include <unistd.h>

#include <cerrno>

#include "Support/AutoSync.h"
#include "Support/MappedAccess.h"
#include "Support/SharedFiles.h"
#include "Support/Validation2Exception.h"
#include "TraceService/MessageBufferNames.h"

namespace {
// Another process that shortens a mapped ring file turns the next access
// into SIGBUS; every access runs guarded (see MappedAccess.h).

// A ring of this process's making: the file gets its length back and the
// access raises as a damaged header does, so the owner's recovery resets it.
template <class F>
void OnOwnRing(const SharedMemory& memory, F&& access) {
  if (MappedAccess::Run(access)) return;
  memory.RestoreLength();
  Validation2Exception::CheckLogic(false, "Ring file was truncated: " + memory.Path());
}

// Another process's ring: it is lost for this use.
template <class F>
void OnForeignRing(const SharedMemory& memory, F&& access) {
  if (MappedAccess::Run(access)) return;  // the message is built only on a fault
  errno = EFAULT;
  Validation2Exception::CheckOSCall(false, "Ring file was truncated: " + memory.Path());
}

bool Recover(const SharedMemory& memory, CircularMemoryBuffer& ring) {
  bool reset = false;
  OnOwnRing(memory, [&] {
    if (ring.IsHeaderValid()) return;
    ring.Initialize();
    reset = true;
  });
  return reset;
}

// The owner of a client's files is the real user of the client process;
// a process that is gone (or this process's user) leaves only files of this
// user or root acceptable.
SharedMemory::OwnedBy ClientOwner(uint32_t pid) {
  return {SharedFiles::ProcessRealUid(static_cast<pid_t>(pid)).value_or(geteuid())};
}
}  // namespace

ServerMessageSendingStream::ServerMessageSendingStream()
    : InterProcessLock(KivMessageBuffers::kMessageLockName, false),
      m_Memory(KivServerMessageBufferNamingPolicy()),
      m_Ring(m_Memory.Data(), m_Memory.Length()) {}

bool ServerMessageSendingStream::write(const void* data, size_t length) {
  AutoSync<InterProcessLock> lock(*this);
  bool written = false;
  OnForeignRing(m_Memory, [&] { written = m_Ring.write(data, length); });
  return written;
}

ServerMessageReceivingStream::ServerMessageReceivingStream()
    : InterProcessLock(KivMessageBuffers::kMessageLockName),
      m_Memory(KivServerMessageBufferNamingPolicy(), KivMessageBuffers::kMessageRingFileSize),
      m_Ring(m_Memory.Data(), m_Memory.Length()) {
  AutoSync<InterProcessLock> lock(*this);
  m_Ring.Initialize();
}

uint32_t ServerMessageReceivingStream::GetDataLength() const {
  uint32_t n = 0;
  OnOwnRing(m_Memory, [&] { n = m_Ring.GetDataLength(); });
  return n;
}

void ServerMessageReceivingStream::read(void* destination, size_t length) {
  AutoSync<InterProcessLock> lock(*this);
  OnOwnRing(m_Memory, [&] { m_Ring.read(destination, length); });
}

void ServerMessageReceivingStream::Skip(size_t length) {
  AutoSync<InterProcessLock> lock(*this);
  OnOwnRing(m_Memory, [&] { m_Ring.Skip(length); });
}

void ServerMessageReceivingStream::SkipAll() {
  AutoSync<InterProcessLock> lock(*this);
  OnOwnRing(m_Memory, [&] { m_Ring.SkipAll(); });
}

bool ServerMessageReceivingStream::RecoverIfDamaged() {
  // Under the lock, so no client is half way through a write.
  AutoSync<InterProcessLock> lock(*this);
  return Recover(m_Memory, m_Ring);
}

ClientMessageSendingStream::ClientMessageSendingStream(uint32_t pid)
    : m_Memory(KivMessageBuffers::ClientMessageBufferName(pid), ClientOwner(pid)),
      m_Ring(m_Memory.Data(), m_Memory.Length()) {}

bool ClientMessageSendingStream::write(const void* data, size_t length) {
  AutoSync<CriticalSectionSyncPolicy> lock(m_WriteLock);
  bool written = false;
  // The access runs inside this call, under m_WriteLock, where the analysis
  // cannot see it.
  OnForeignRing(m_Memory, [&]() NO_THREAD_SAFETY_ANALYSIS { written = m_Ring.write(data, length); });
  return written;
}

ClientMessageReceivingStream::ClientMessageReceivingStream(uint32_t pid)
    : m_Memory(KivMessageBuffers::ClientMessageBufferName(pid), KivMessageBuffers::kMessageRingFileSize),
      m_Ring(m_Memory.Data(), m_Memory.Length()) {
  m_Ring.Initialize();
}

uint32_t ClientMessageReceivingStream::GetDataLength() const {
  uint32_t n = 0;
  OnOwnRing(m_Memory, [&] { n = m_Ring.GetDataLength(); });
  return n;
}

void ClientMessageReceivingStream::read(void* destination, size_t length) {
  OnOwnRing(m_Memory, [&] { m_Ring.read(destination, length); });
}

void ClientMessageReceivingStream::Skip(size_t length) {
  OnOwnRing(m_Memory, [&] { m_Ring.Skip(length); });
}

void ClientMessageReceivingStream::SkipAll() {
  OnOwnRing(m_Memory, [&] { m_Ring.SkipAll(); });
}

bool ClientMessageReceivingStream::RecoverIfDamaged() { return Recover(m_Memory, m_Ring); }

SharedMemory::OwnedBy ClientMessageSendingStream::OwnerOf(uint32_t pid) { return ClientOwner(pid); }
