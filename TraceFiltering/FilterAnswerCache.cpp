#include "TraceFiltering/FilterAnswerCache.h"

#include "Support/AutoSync.h"

FilterAnswerCache::FilterAnswerCache(TraceFilterRules& rules, size_t cells)
    : m_Rules(rules),
      m_Generation(rules.Generation()),
      m_Size(cells),
      m_Cells(std::make_unique<std::atomic<uint8_t>[]>(cells)) {
  ClearCellsLocked(0, m_Size);
}

void FilterAnswerCache::Clear() { ClearCells(0, m_Size); }

void FilterAnswerCache::ClearCells(size_t first, size_t end) {
  AutoSync<CriticalSectionSyncPolicy> guard(m_FillLock);
  ClearCellsLocked(first, end);
}

void FilterAnswerCache::ClearCellsLocked(size_t first, size_t end) {
  for (size_t i = first; i < end && i < m_Size; ++i)
    m_Cells[i].store(kNotComputed, std::memory_order_relaxed);
}
