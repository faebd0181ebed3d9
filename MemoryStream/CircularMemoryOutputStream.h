#pragma once
// Writing side of a circular buffer (see CircularMemoryBuffer.h). Exactly one
// writer may use a ring at a time: callers with several writing threads or
// processes serialise them (a mutex, or the message lock).

#include <cstring>

#include "MemoryStream/CircularMemoryBuffer.h"

class CircularMemoryOutputStream : public CircularMemoryBuffer {
 public:
  using CircularMemoryBuffer::CircularMemoryBuffer;

  // Writes all `length` bytes or nothing. Returns false, without any other
  // report, when they do not fit into the free room, so the ring never holds
  // a partial message or record. Raises on a damaged header.
  // This is the client's trace hot path: no allocation, at most two copies.
  bool write(const void* data, size_t length) {
    const Snapshot s = Load();
    if (length > FreeRoom(s, m_Capacity)) return false;
    if (length == 0) return true;
    const auto* bytes = static_cast<const uint8_t*>(data);
    const uint32_t n = static_cast<uint32_t>(length);
    const uint32_t first = n < m_Capacity - s.write ? n : m_Capacity - s.write;
    std::memcpy(m_Data + s.write, bytes, first);
    if (first < n) std::memcpy(m_Data, bytes + first, n - first);
    // Publish only after the bytes are in place; a write reaching the end of
    // the data area wraps the position to 0.
    uint32_t next = s.write + n;
    if (next >= m_Capacity) next -= m_Capacity;
    StoreWrite(next);
    m_WrittenTo = next;
    return true;
  }

  // The write position this object's last write() stored (0 before any).
  uint32_t WrittenTo() const { return m_WrittenTo; }

  // Room for one more write of this many bytes right now.
  uint32_t GetFreeRoom() const { return FreeRoom(Load(), m_Capacity); }

 private:
  uint32_t m_WrittenTo = 0;
};
