#pragma once
// The four ends of the client/dispatcher message rings. Each owns its mapping
// (and, where named, its lock) and a circular stream over it; all offer the
// stream interface the message encoder and MessageProcessor use:
// write(data, length) on the sending ends, GetDataLength(), read(), Skip()
// and SkipAll() on the receiving ends.
//
// Ring ownership: the dispatcher creates its own ring, each client creates
// its own message ring; only a creator writes a ring header. Openers map an
// existing ring and use the header as they find it (checked on every access,
// see CircularMemoryBuffer.h).
//
// Every access to a mapped ring is guarded against the file being truncated
// by another process (MappedAccess.h): on a ring of one's own making the
// file gets its length back and the access raises a LogicException, as a
// damaged header does (RecoverIfDamaged() then resets it); on another's ring
// the access raises "Ring file was truncated". Nothing ends the process.

#include <cstdint>

#include "MemoryStream/CircularMemoryInputStream.h"
#include "MemoryStream/CircularMemoryOutputStream.h"
#include "Support/CriticalSectionSyncPolicy.h"
#include "Support/InterProcessLock.h"
#include "Support/SharedMemory.h"
#include "Support/ThreadAnnotations.h"

// Client side: one send into the dispatcher's ring. Opens the message lock
// (without ever removing its file, which belongs to the dispatcher) and maps
// the existing "KivServerMessageBuffer". Clients build one per message and
// destroy it right after the send. Not for use by several threads at once.
class ServerMessageSendingStream : public InterProcessLock {
 public:
  ServerMessageSendingStream();

  // Writes the whole encoded message under the message lock, or nothing when
  // it does not fit (returns false). Raises on a damaged ring header.
  bool write(const void* data, size_t length);
  // The mapped ring file (to tell whether its map file was replaced).
  const SharedMemory& Memory() const { return m_Memory; }

 private:
  SharedMemory m_Memory;
  CircularMemoryOutputStream m_Ring;
};

// Dispatcher side: creates "KivServerMessageBuffer" (524 bytes, capacity 512,
// header written) and the message lock; reads it on the message thread, each
// read under the message lock. Destruction removes the map file and the lock
// file. One reading thread.
class ServerMessageReceivingStream : public InterProcessLock {
 public:
  ServerMessageReceivingStream();

  uint32_t GetDataLength() const;
  void read(void* destination, size_t length);
  void Skip(size_t length);
  void SkipAll();
  // When the header was found damaged, writes a fresh one (the ring's content
  // is lost) and returns true; the creator's way back to a working ring.
  bool RecoverIfDamaged();

 private:
  SharedMemory m_Memory;
  CircularMemoryInputStream m_Ring;
};

// Dispatcher side: maps the existing message ring of client `pid`, which
// must belong to the real user of that process (or to root or this user). Every
// write holds this object's mutex, so the dispatcher's threads that talk to
// one client (confirmations and broadcasts on the message thread, pings on
// that client's trace-server thread) must share one object per client.
class ClientMessageSendingStream {
 public:
  explicit ClientMessageSendingStream(uint32_t pid);
  virtual ~ClientMessageSendingStream() = default;

  // All or nothing (false when it does not fit). Raises on a damaged header.
  bool write(const void* data, size_t length);
  // The mapped ring file (to tell whether its map file was replaced).
  const SharedMemory& Memory() const { return m_Memory; }
  // Whose files of client `pid` are accepted (its process's real user).
  static SharedMemory::OwnedBy OwnerOf(uint32_t pid);

 private:
  SharedMemory m_Memory;
  CircularMemoryOutputStream m_Ring GUARDED_BY(m_WriteLock);
  CriticalSectionSyncPolicy m_WriteLock;
};

// Client side: creates the process's own message ring
// "KivServerMessageBuffer" + pid (524 bytes, header written); the map file is
// removed on destruction. One reading thread at a time.
class ClientMessageReceivingStream {
 public:
  explicit ClientMessageReceivingStream(uint32_t pid);
  virtual ~ClientMessageReceivingStream() = default;

  uint32_t GetDataLength() const;
  void read(void* destination, size_t length);
  void Skip(size_t length);
  void SkipAll();
  bool RecoverIfDamaged();
  // See SharedMemory::RemoveFile().
  void RemoveFile() { m_Memory.RemoveFile(); }

 private:
  SharedMemory m_Memory;
  CircularMemoryInputStream m_Ring;
};
