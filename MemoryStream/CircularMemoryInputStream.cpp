#include "MemoryStream/CircularMemoryInputStream.h"

#include "Support/Validation2Exception.h"

void CircularMemoryInputStream::Consume(uint8_t* destination, size_t length) {
  const Snapshot s = Load();
  Validation2Exception::CheckLogic(length <= Stored(s, m_Capacity), "Insufficent data to be read");
  if (length == 0) return;
  const uint32_t n = static_cast<uint32_t>(length);
  const uint32_t first = n < m_Capacity - s.read ? n : m_Capacity - s.read;
  if (destination != nullptr) {
    std::memcpy(destination, m_Data + s.read, first);
    if (first < n) std::memcpy(destination + first, m_Data, n - first);
  }
  // Free the space only after the bytes have been copied out.
  uint32_t next = s.read + n;
  if (next >= m_Capacity) next -= m_Capacity;
  StoreRead(next);
}

void CircularMemoryInputStream::Peek(void* destination, size_t length) const {
  const Pieces pieces = Locate(length);
  auto* bytes = static_cast<uint8_t*>(destination);
  std::memcpy(bytes, pieces.first, pieces.firstLength);
  if (pieces.secondLength != 0) std::memcpy(bytes + pieces.firstLength, pieces.second, pieces.secondLength);
}

CircularMemoryInputStream::Pieces CircularMemoryInputStream::Locate(size_t length) const {
  const Snapshot s = Load();
  Validation2Exception::CheckLogic(length <= Stored(s, m_Capacity), "Insufficent data to be read");
  const uint32_t n = static_cast<uint32_t>(length);
  const uint32_t first = n < m_Capacity - s.read ? n : m_Capacity - s.read;
  return Pieces{m_Data + s.read, first, m_Data, n - first};
}
