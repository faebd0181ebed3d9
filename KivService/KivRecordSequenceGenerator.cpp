#include "KivService/KivRecordSequenceGenerator.h"

#include <atomic>

#include "Support/MappedAccess.h"
#include "Support/Validation2Exception.h"

namespace {
SharedMemory MapCounter(KivRecordSequenceGenerator::Mode mode) {
  if (mode == KivRecordSequenceGenerator::Create)
    return SharedMemory(KivRecordSequenceGenerator::kRegionName, KivRecordSequenceGenerator::kRegionSize);
  return SharedMemory(KivRecordSequenceGenerator::kRegionName);
}
}  // namespace

KivRecordSequenceGenerator::KivRecordSequenceGenerator(Mode mode)
    : m_Memory(MapCounter(mode)), m_Counter(reinterpret_cast<uint32_t*>(m_Memory.Data())) {
  // The file is shared with every process; a short one must not be read past.
  Validation2Exception::CheckLogic(m_Memory.Length() >= kRegionSize, "Record sequence counter too small");
  if (mode == Create) std::atomic_ref<uint32_t>(*m_Counter).store(0, std::memory_order_relaxed);
}

uint32_t KivRecordSequenceGenerator::Next() {
  // Guarded: any group member may truncate the file.
  uint32_t number = 0;
  if (MappedAccess::Run([&] { number = NextInStep(); })) return number;
  return AfterFault();
}

uint32_t KivRecordSequenceGenerator::NextInStep() {
  // A locked instruction: client processes take numbers from the same word
  // at the same time. Relaxed, here and below: the word publishes nothing
  // but itself, and a fault inside an ordered atomic would leave the thread
  // sanitizer's runtime lock held.
  // After a fault the word is left alone (one fstat per number instead of
  // a fault per number) until the file has its length again.
  if (m_Lost.load(std::memory_order_relaxed)) {
    if (!m_Memory.IsIntact()) return m_Last.fetch_add(1, std::memory_order_relaxed) + 1;
    m_Lost.store(false, std::memory_order_relaxed);
  }
  const uint32_t number = std::atomic_ref<uint32_t>(*m_Counter).fetch_add(1, std::memory_order_relaxed);
  m_Last.store(number, std::memory_order_relaxed);
  return number;
}

uint32_t KivRecordSequenceGenerator::AfterFault() {
  m_Lost.store(true, std::memory_order_relaxed);
  return Recover();
}

void KivRecordSequenceGenerator::Repair() {
  if (!m_Memory.Owner() || m_Memory.IsIntact()) return;
  Recover();
}

uint32_t KivRecordSequenceGenerator::Peek() const {
  uint32_t number = 0;
  if (MappedAccess::Run(
          [&] { number = std::atomic_ref<uint32_t>(*m_Counter).load(std::memory_order_relaxed); }))
    return number;
  return m_Last.load(std::memory_order_relaxed) + 1;
}

uint32_t KivRecordSequenceGenerator::Recover() {
  // The creator gives the file its length back and carries on after the
  // last number it handed out; an opener numbers on from its own last one
  // until the counter is usable again. Numbers may repeat across processes
  // meanwhile: the cost of the truncation, never a crash.
  const uint32_t next = m_Last.fetch_add(1, std::memory_order_relaxed) + 1;
  if (m_Memory.RestoreLength())
    MappedAccess::Run(
        [&] { std::atomic_ref<uint32_t>(*m_Counter).store(next + 1, std::memory_order_relaxed); });
  return next;
}
