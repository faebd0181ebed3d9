#include "KivService/KivRecordSequenceGenerator.h"

#include <atomic>

#include "Support/Validation2Exception.h"

namespace {
SharedMemory MapCounter(KivRecordSequenceGenerator::Mode mode) {
  if (mode == KivRecordSequenceGenerator::Create)
    return SharedMemory(KivRecordSequenceGenerator::RegionName, KivRecordSequenceGenerator::RegionSize);
  return SharedMemory(KivRecordSequenceGenerator::RegionName);
}
}  // namespace

KivRecordSequenceGenerator::KivRecordSequenceGenerator(Mode mode)
    : m_Memory(MapCounter(mode)), m_Counter(reinterpret_cast<uint32_t*>(m_Memory.Data())) {
  // The file is shared with every process; a short one must not be read past.
  Validation2Exception::CheckLogic(m_Memory.Length() >= RegionSize, "Record sequence counter too small");
  if (mode == Create) std::atomic_ref<uint32_t>(*m_Counter).store(0, std::memory_order_release);
}

uint32_t KivRecordSequenceGenerator::Next() {
  // A locked instruction: client processes take numbers from the same word
  // at the same time.
  return std::atomic_ref<uint32_t>(*m_Counter).fetch_add(1, std::memory_order_acq_rel);
}

uint32_t KivRecordSequenceGenerator::Peek() const {
  return std::atomic_ref<uint32_t>(*m_Counter).load(std::memory_order_acquire);
}
