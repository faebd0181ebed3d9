#pragma once
// Growable byte buffer whose first N bytes live inline, so the common small
// case needs no allocation. Owns its heap storage.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Support/Validation2Exception.h"

template <uint32_t N>
class SmartBuffer {
 public:
  SmartBuffer() = default;
  virtual ~SmartBuffer() {
    if (m_Data != m_Inline) std::free(m_Data);
  }
  SmartBuffer(const SmartBuffer&) = delete;
  SmartBuffer& operator=(const SmartBuffer&) = delete;

  uint8_t* Data() { return m_Data; }
  const uint8_t* Data() const { return m_Data; }
  uint32_t Capacity() const { return m_Capacity; }

  // Ensures Capacity() >= required: grows to old capacity + required rounded
  // down to 32 + 32, keeping the old contents.
  void ExpandSize(uint32_t required) {
    if (m_Capacity >= required) return;
    uint64_t grown = uint64_t{m_Capacity} + (required & ~uint32_t{31}) + 32;
    Validation2Exception::CheckMemoryAllocation(grown <= UINT32_MAX, "Can not expand smart buffer");
    auto* fresh = static_cast<uint8_t*>(std::malloc(grown));
    Validation2Exception::CheckMemoryAllocation(fresh != nullptr, "Can not expand smart buffer");
    std::memcpy(fresh, m_Data, m_Capacity);
    if (m_Data != m_Inline) std::free(m_Data);
    m_Data = fresh;
    m_Capacity = static_cast<uint32_t>(grown);
  }

 private:
  uint8_t m_Inline[N];
  uint8_t* m_Data = m_Inline;
  uint32_t m_Capacity = N;
};
