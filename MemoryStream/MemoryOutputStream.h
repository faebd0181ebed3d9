#pragma once
// Linear output streams: a growable buffer with inline storage, and a writer
// into a fixed, caller-provided buffer. Both take whole writes of
// `write(data, length)`, the interface the packet encoder expects.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Support/SmartBuffer.h"
#include "Support/Validation2Exception.h"

// Append-only byte buffer. The first N bytes are inline, so writes that stay
// below N never touch the heap; beyond that the storage grows (and is owned
// by the stream). Not thread-safe.
template <uint32_t N>
class SmartBufferOutputStream {
 public:
  SmartBufferOutputStream() = default;
  SmartBufferOutputStream(const SmartBufferOutputStream&) = delete;
  SmartBufferOutputStream& operator=(const SmartBufferOutputStream&) = delete;

  // Appends `length` bytes, growing the storage when needed. Raises
  // "Can not expand smart buffer" when the total would pass 4 GiB or memory
  // runs out; nothing is appended then.
  void write(const void* data, size_t length) {
    if (length == 0) return;
    uint8_t* at = Extend(length);
    std::memcpy(at, data, length);
  }

  // Makes room for `length` more bytes and returns where they go; the caller
  // fills exactly that many. Lets encoders compose in place.
  uint8_t* Extend(size_t length) {
    Validation2Exception::CheckMemoryAllocation(length <= UINT32_MAX - m_Length,
                                                "Can not expand smart buffer");
    const uint32_t needed = m_Length + static_cast<uint32_t>(length);
    m_Buffer.ExpandSize(needed);
    uint8_t* at = m_Buffer.Data() + m_Length;
    m_Length = needed;
    return at;
  }

  const uint8_t* Data() const { return m_Buffer.Data(); }
  const char* c_str_data() const { return reinterpret_cast<const char*>(m_Buffer.Data()); }
  uint32_t GetLength() const { return m_Length; }
  uint32_t Capacity() const { return m_Buffer.Capacity(); }
  // Forgets the contents; keeps any grown storage for reuse.
  void Clear() { m_Length = 0; }
  // Keeps the first `length` bytes only: gives back the part of an Extend()
  // that was not filled.
  void Truncate(uint32_t length) {
    if (length < m_Length) m_Length = length;
  }

 private:
  // Value-initialised: growing copies the whole old storage, which must not
  // be indeterminate bytes.
  SmartBuffer<N> m_Buffer{};
  uint32_t m_Length = 0;
};

// Writes into a caller-provided buffer of fixed capacity and never allocates.
// A write that does not fit is refused whole and marks the stream overflowed,
// so a half-built record is never mistaken for a complete one. The buffer is
// borrowed and must outlive the stream.
class FixedMemoryOutputStream {
 public:
  FixedMemoryOutputStream(void* buffer, uint32_t capacity)
      : m_Buffer(static_cast<uint8_t*>(buffer)), m_Capacity(capacity) {}

  bool write(const void* data, size_t length) {
    if (m_Overflow || length > m_Capacity - m_Length) {
      m_Overflow = true;
      return false;
    }
    if (length != 0) std::memcpy(m_Buffer + m_Length, data, length);
    m_Length += static_cast<uint32_t>(length);
    return true;
  }

  uint8_t* Data() const { return m_Buffer; }
  uint32_t GetLength() const { return m_Length; }
  uint32_t Capacity() const { return m_Capacity; }
  bool Overflowed() const { return m_Overflow; }
  void Clear() {
    m_Length = 0;
    m_Overflow = false;
  }

 private:
  uint8_t* m_Buffer;
  uint32_t m_Capacity;
  uint32_t m_Length = 0;
  bool m_Overflow = false;
};
