#include "MemoryStream/CircularMemoryBuffer.h"

#include <cstring>

#include "Support/Validation2Exception.h"

CircularMemoryBuffer::CircularMemoryBuffer(void* region, size_t regionLength)
    : m_Data(static_cast<uint8_t*>(region) + HeaderSize),
      m_Capacity(0),
      m_Header(static_cast<CircularBufferHeader*>(region)) {
  Validation2Exception::CheckParameter(region != nullptr, "Circular buffer without memory");
  // The header words are updated atomically, which needs their natural alignment.
  Validation2Exception::CheckParameter(reinterpret_cast<uintptr_t>(region) % alignof(uint32_t) == 0,
                                       "Circular buffer memory is not aligned");
  Validation2Exception::CheckParameter(
      regionLength >= RegionSizeFor(2) && regionLength <= RegionSizeFor(UINT32_MAX),
      "Circular buffer memory has an unusable size");
  m_Capacity = static_cast<uint32_t>(regionLength - HeaderSize);
}

void CircularMemoryBuffer::Initialize() {
  StoreRead(0);
  StoreWrite(0);
  Field(&CircularBufferHeader::m_Capacity).store(m_Capacity, std::memory_order_release);
}

bool CircularMemoryBuffer::IsHeaderValid() const {
  try {
    Load();
    return true;
  } catch (const LogicException&) {
    return false;
  }
}

void CircularMemoryBuffer::RaiseDamaged() {
  Validation2Exception::CheckLogic(false, "Damaged circular buffer header");
  __builtin_unreachable();
}
