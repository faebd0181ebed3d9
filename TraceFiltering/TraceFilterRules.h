#pragma once
// Which trace calls are enabled: the module, label and client tables, the
// rules read from the configuration, and the combined answer.
//
// Precedence for a label of a module: the module must be enabled (Module
// rule), then MLabel for that module, else GLabel, else disabled. For a label
// of a client of a module: the module must be enabled and its client too
// (MClient, else GClient, else disabled); then MClientLabel, else the module's
// label as above, with GClientLabel ORed in at the GLabel position.
//
// Thread safety: every member takes m_Lock (non-reentrant) except IsActive()
// and Generation(), which read atomics. Handles are indices that stay valid,
// and names returned through the out parameters stay valid and unchanged, for
// the life of the object.
//
// The lock-free answer caches over these rules (KivCachedModuleLabelData,
// KivCachedModuleClientLabelData) are in TraceFiltering/FilterAnswerCache.h.

#include <atomic>
#include <cstdint>
#include <string_view>

#include "Support/CriticalSectionSyncPolicy.h"
#include "TraceFiltering/FilterStatus.h"
#include "TraceFiltering/FilterTables.h"

class TraceFilterRules {
 public:
  explicit TraceFilterRules(bool active = true);
  TraceFilterRules(const TraceFilterRules&) = delete;
  TraceFilterRules& operator=(const TraceFilterRules&) = delete;

  // Handles: the same name (exact bytes) always gives the same handle; a new
  // name gets the next index with nothing set.
  int GetModuleHandle(std::string_view name);
  int GetLabelHandle(std::string_view name);
  int GetClientHandle(std::string_view name);

  // Records that `clientNumber` (chosen by the caller) stands for the global
  // client `clientName` in module `module`. A number already registered with
  // that module keeps its first client; an unknown module does nothing.
  void RegisterClient(int module, std::string_view clientName, uint32_t clientNumber);

  // The configuration rules, one setter per rule element. `status` is
  // Status::Enabled or Status::Disabled (Status::NotSet withdraws a setting).
  void SetModuleStatus(std::string_view module, Status status);                                 // Module
  void SetGlobalLabelStatus(std::string_view label, Status status);                             // GLabel
  void SetModuleLabelStatus(std::string_view module, std::string_view label, Status status);    // MLabel
  void SetGlobalClientStatus(std::string_view client, Status status);                           // GClient
  void SetModuleClientStatus(std::string_view module, std::string_view client, Status status);  // MClient
  void SetGlobalClientLabelStatus(std::string_view client, std::string_view label,
                                  Status status);  // GClientLabel
  void SetModuleClientLabelStatus(std::string_view module, std::string_view client, std::string_view label,
                                  Status status);  // MClientLabel
  // Every status back to unconfigured, before the configuration is read again.
  // Handles and client registrations are kept.
  void ResetStatus();

  // While inactive every query answers Disabled.
  void SetActive(bool active);
  bool IsActive() const { return m_Active.load(std::memory_order_acquire); }

  // The combined answer, Disabled or Enabled. Out-of-range handles and client
  // numbers never registered with the module answer Disabled. Only an Enabled
  // answer fills the out parameters (any may be null): the names, and `flag`
  // = the second status of the label entry that gave the answer.
  Status GetCombinedData(int module, int label, const char** moduleName = nullptr,
                         const char** labelName = nullptr, bool* flag = nullptr);
  Status GetCombinedData(int module, uint32_t clientNumber, int label, const char** moduleName = nullptr,
                         const char** clientName = nullptr, const char** labelName = nullptr,
                         bool* flag = nullptr);

  // Rises after every change that can alter an answer (rules, reset, client
  // registration, activation), after the change is in place. The caches
  // compare it to drop answers computed before the change.
  uint64_t Generation() const { return m_Generation.load(std::memory_order_acquire); }

 private:
  void Changed() { m_Generation.fetch_add(1, std::memory_order_acq_rel); }
  // Sets the status of the entry `find` returns (called under m_Lock, so it
  // is declared REQUIRES(m_Lock)) and marks the rules changed.
  template <class Find>
  void SetRule(Status status, Find find);

  CriticalSectionSyncPolicy m_Lock;
  std::atomic<bool> m_Active;
  std::atomic<uint64_t> m_Generation{0};
  // Declared in dependency order: clients' label entries hang off labels,
  // and modules' entries off both.
  PrimaryLabels m_Labels GUARDED_BY(m_Lock);
  PrimaryClients m_Clients GUARDED_BY(m_Lock);
  PrimaryModules m_Modules GUARDED_BY(m_Lock);
};
