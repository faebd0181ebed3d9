#pragma once
// Linear input streams over bytes in memory. They offer what the trace
// readers need of any input: read(destination, length), which delivers
// exactly `length` bytes or raises, and GetDataLength(), the bytes still
// unread, which lets readers check a length taken from the input before they
// allocate or copy anything.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Support/SmartBuffer.h"
#include "Support/Validation2Exception.h"

// Reads a borrowed byte range front to back. The bytes must outlive the
// stream. Not thread-safe.
class MemoryInputStream {
 public:
  MemoryInputStream() = default;
  MemoryInputStream(const void* data, uint32_t length) { Assign(data, length); }

  // Starts reading `length` bytes at `data` from their beginning.
  void Assign(const void* data, uint32_t length) {
    m_Data = static_cast<const uint8_t*>(data);
    m_Length = length;
    m_Position = 0;
  }

  // Copies exactly `length` bytes. Raises the logic error
  // "Insufficent data to read" when fewer remain; nothing is consumed then.
  void read(void* destination, size_t length) {
    const uint8_t* from = ReadView(length);
    if (length != 0) std::memcpy(destination, from, length);
  }

  // Consumes `length` bytes and returns where they lie, without copying.
  // Same check as read().
  const uint8_t* ReadView(size_t length) {
    Validation2Exception::CheckLogic(length <= GetDataLength(), "Insufficent data to read");
    const uint8_t* at = m_Data + m_Position;
    m_Position += static_cast<uint32_t>(length);
    return at;
  }

  // Consumes `length` bytes unread. Same check as read().
  void Skip(size_t length) { ReadView(length); }

  uint32_t GetDataLength() const { return m_Length - m_Position; }
  uint32_t GetPosition() const { return m_Position; }
  uint32_t GetLength() const { return m_Length; }
  const uint8_t* Data() const { return m_Data; }

 private:
  const uint8_t* m_Data = nullptr;
  uint32_t m_Length = 0;
  uint32_t m_Position = 0;
};

// A memory input over its own copy of the bytes, kept in a buffer whose
// first N bytes are inline. Load() may be called again; grown storage is
// kept for reuse. Not thread-safe.
template <uint32_t N>
class BufferedMemoryInputStream : public MemoryInputStream {
 public:
  BufferedMemoryInputStream() = default;
  BufferedMemoryInputStream(const BufferedMemoryInputStream&) = delete;
  BufferedMemoryInputStream& operator=(const BufferedMemoryInputStream&) = delete;

  // Replaces the contents with exactly `length` bytes read from `input`.
  // Callers check `length` against what the input holds first: the storage
  // grows to `length` before the read.
  template <class InputStream>
  void Load(InputStream& input, uint32_t length) {
    Assign(m_Buffer.Data(), 0);
    m_Buffer.ExpandSize(length);
    if (length != 0) input.read(m_Buffer.Data(), length);
    Assign(m_Buffer.Data(), length);
  }

  // Replaces the contents with a copy of `length` bytes at `data`.
  void Copy(const void* data, uint32_t length) {
    Assign(m_Buffer.Data(), 0);
    m_Buffer.ExpandSize(length);
    if (length != 0) std::memcpy(m_Buffer.Data(), data, length);
    Assign(m_Buffer.Data(), length);
  }

 private:
  // Value-initialised: growing copies the whole old storage, which must not
  // be indeterminate bytes.
  SmartBuffer<N> m_Buffer{};
};
