#pragma once
// Cells of remembered answers of TraceFilterRules, read without a lock.
//
// A cell is one atomic byte: bits 0-1 the status (1 = not yet computed,
// otherwise Disabled or Enabled), bit 2 the second-status flag. A hit costs
// three acquire loads: the rules' generation, the generation the cells were
// computed at, and the cell. A cell is filled, and the cells cleared, only
// under m_FillLock; a fill stores nothing when the rules changed while it
// computed, and a fill that sees a newer rules generation clears every cell
// first. So an answer computed before a rule change is never served after
// the change is visible, even if nobody calls Clear().
//
// Names are kept per handle (they never change once a handle exists), written
// before the cell that publishes them and read only after an Enabled cell.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>

#include "Support/AutoSync.h"
#include "Support/CriticalSectionSyncPolicy.h"
#include "TraceFiltering/TraceFilterRules.h"

class FilterAnswerCache {
 public:
  FilterAnswerCache(const FilterAnswerCache&) = delete;
  FilterAnswerCache& operator=(const FilterAnswerCache&) = delete;

  // Every cell back to "not yet computed".
  void Clear();

 protected:
  static constexpr uint8_t kNotComputed = static_cast<uint8_t>(Status::NotSet);
  static constexpr uint8_t kStatusMask = 3, kFlagBit = 4;

  FilterAnswerCache(TraceFilterRules& rules, size_t cells);
  ~FilterAnswerCache() = default;

  // The cell's value when it holds an answer valid for the current rules,
  // else kNotComputed. Lock-free.
  uint8_t Lookup(size_t cell) const {
    uint64_t rules = m_Rules.Generation();
    if (rules != m_Generation.load(std::memory_order_acquire)) return kNotComputed;
    return m_Cells[cell].load(std::memory_order_acquire);
  }

  // Computes the answer under the fill lock with `compute(flag)` (which asks
  // the rules and fills the caller's names and flag), keeps it unless the
  // rules changed meanwhile, and returns it as a cell value. `publishNames`
  // stores the caller's names before the cell becomes visible.
  template <class Compute, class PublishNames>
  uint8_t Fill(size_t cell, Compute&& compute, PublishNames&& publishNames) {
    AutoSync<CriticalSectionSyncPolicy> guard(m_FillLock);
    uint64_t before = m_Rules.Generation();
    if (before != m_Generation.load(std::memory_order_relaxed)) {
      ClearCellsLocked(0, m_Size);
      m_Generation.store(before, std::memory_order_release);
    }
    bool flag = false;
    Status status = compute(flag);
    uint8_t value = static_cast<uint8_t>(static_cast<uint8_t>(status) | (flag ? kFlagBit : 0));
    if (m_Rules.Generation() == before) {
      if (status == Status::Enabled) publishNames();
      m_Cells[cell].store(value, std::memory_order_release);
    }
    return value;
  }

  // Clears the cells [first, end) under the fill lock.
  void ClearCells(size_t first, size_t end);

  static Status StatusOf(uint8_t value) { return static_cast<Status>(value & kStatusMask); }

  // Fills the caller's out parameters (any may be null) from a cell value and
  // the names that go with it; names are null unless the answer is Enabled.
  static Status Answer(uint8_t value, std::initializer_list<const char**> outs, const char* const* names,
                       bool* flag) {
    bool enabled = StatusOf(value) == Status::Enabled;
    for (const char** out : outs) {
      if (out) *out = enabled ? *names : nullptr;
      ++names;
    }
    if (flag && enabled) *flag = (value & kFlagBit) != 0;
    return StatusOf(value);
  }

  TraceFilterRules& m_Rules;

 private:
  void ClearCellsLocked(size_t first, size_t end) REQUIRES(m_FillLock);

  CriticalSectionSyncPolicy m_FillLock;
  std::atomic<uint64_t> m_Generation;  // rules generation the cells belong to; written under m_FillLock
  const size_t m_Size;
  std::unique_ptr<std::atomic<uint8_t>[]> m_Cells;
};

// Answers of the module-label form for module handles below Modules and label
// handles below Labels; other handles are asked of the rules every time.
template <int Modules, int Labels>
class KivCachedModuleLabelData : public FilterAnswerCache {
 public:
  explicit KivCachedModuleLabelData(TraceFilterRules& rules) : FilterAnswerCache(rules, Modules * Labels) {}

  // As TraceFilterRules::GetCombinedData(module, label, ...); names come back
  // null unless the answer is Enabled.
  Status GetCombinedData(int module, int label, const char** moduleName = nullptr,
                         const char** labelName = nullptr, bool* flag = nullptr) {
    if (module < 0 || module >= Modules || label < 0 || label >= Labels)
      return m_Rules.GetCombinedData(module, label, moduleName, labelName, flag);
    size_t cell = static_cast<size_t>(module) * Labels + static_cast<size_t>(label);
    const char* names[2] = {nullptr, nullptr};
    uint8_t value = Lookup(cell);
    if (value == kNotComputed) {
      // The names come from this computation: a fill that lost a race with a
      // rule change publishes nothing.
      value = Fill(
          cell, [&](bool& f) { return m_Rules.GetCombinedData(module, label, &names[0], &names[1], &f); },
          [&] {
            m_ModuleNames[module].store(names[0], std::memory_order_relaxed);
            m_LabelNames[label].store(names[1], std::memory_order_relaxed);
          });
    } else if (StatusOf(value) == Status::Enabled) {
      names[0] = m_ModuleNames[module].load(std::memory_order_relaxed);
      names[1] = m_LabelNames[label].load(std::memory_order_relaxed);
    }
    return Answer(value, {moduleName, labelName}, names, flag);
  }

 private:
  std::atomic<const char*> m_ModuleNames[Modules] = {};
  std::atomic<const char*> m_LabelNames[Labels] = {};
};

// Answers of the module-client-label form for module handles below Modules,
// client numbers below Clients and label handles below Labels.
template <int Modules, int Clients, int Labels>
class KivCachedModuleClientLabelData : public FilterAnswerCache {
 public:
  explicit KivCachedModuleClientLabelData(TraceFilterRules& rules)
      : FilterAnswerCache(rules, size_t{Modules} * Clients * Labels) {}

  Status GetCombinedData(int module, uint32_t clientNumber, int label, const char** moduleName = nullptr,
                         const char** clientName = nullptr, const char** labelName = nullptr,
                         bool* flag = nullptr) {
    if (module < 0 || module >= Modules || clientNumber >= static_cast<uint32_t>(Clients) || label < 0 ||
        label >= Labels)
      return m_Rules.GetCombinedData(module, clientNumber, label, moduleName, clientName, labelName, flag);
    size_t pair = static_cast<size_t>(module) * Clients + clientNumber;
    size_t cell = pair * Labels + static_cast<size_t>(label);
    const char* names[3] = {nullptr, nullptr, nullptr};
    uint8_t value = Lookup(cell);
    if (value == kNotComputed) {
      value = Fill(
          cell,
          [&](bool& f) {
            return m_Rules.GetCombinedData(module, clientNumber, label, &names[0], &names[1], &names[2], &f);
          },
          [&] {
            m_ModuleNames[module].store(names[0], std::memory_order_relaxed);
            m_ClientNames[pair].store(names[1], std::memory_order_relaxed);
            m_LabelNames[label].store(names[2], std::memory_order_relaxed);
          });
    } else if (StatusOf(value) == Status::Enabled) {
      names[0] = m_ModuleNames[module].load(std::memory_order_relaxed);
      names[1] = m_ClientNames[pair].load(std::memory_order_relaxed);
      names[2] = m_LabelNames[label].load(std::memory_order_relaxed);
    }
    return Answer(value, {moduleName, clientName, labelName}, names, flag);
  }

  // Forgets the answers for one client number in every module and label.
  void ClearClient(uint32_t clientNumber) {
    if (clientNumber >= static_cast<uint32_t>(Clients)) return;
    for (size_t module = 0; module < Modules; ++module) {
      size_t first = (module * Clients + clientNumber) * Labels;
      ClearCells(first, first + Labels);
    }
  }

 private:
  std::atomic<const char*> m_ModuleNames[Modules] = {};
  std::atomic<const char*> m_ClientNames[size_t{Modules} * Clients] = {};
  std::atomic<const char*> m_LabelNames[Labels] = {};
};
