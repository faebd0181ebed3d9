#pragma once
// The filter state of one client process: the filter rule tables, their two
// answer caches, and the client settings read from the configuration file.
// The process-wide KivServiceMonitorProxy owns the one instance; the service
// client applies the dispatcher's reload, pause and resume to it.
//
// IsTraceEnabled is asked on every trace call of every application thread:
// with the caches in use and the answer cached it is a few atomic loads and
// takes no lock. A miss fills the cell under the cache's fill lock and the
// rules' mutex. Only while the caches are out of use (during a reload) do
// queries wait for the reload to end (m_ReloadLock), then take m_Lock and ask
// the rules directly.
//
// Before all that, the module-label form has an answer word per handle pair:
// the answer and the global answer generation it was computed at. Every
// change that can alter an answer (rules, reload, pause, resume, client
// registration, a fork, which closes the service monitor) bumps the
// generation after it is in place, so a remembered answer is served only
// while nothing changed since it was computed: one load and compare, no lock.
// Callers make sure the service monitor runs before they ask (the process's
// trace calls do), so a served answer also means the monitor was started.
//
// Locks: m_Lock guards the client settings and serialises lookups and
// configuration changes; it is always taken before the rules' own mutex.
// The paused and cache-use flags, the answer words and the names kept beside
// them are atomics. The service client, below this library, applies the
// dispatcher's reload, pause and resume through FilterSettingsSink. Only the
// trace call's own path (IsTraceEnabled, RememberedAnswer) is defined here.

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "KivConfigFileReader/NetworkMode.h"
#include "KivService/FilterSettingsSink.h"
#include "Support/AutoSync.h"
#include "Support/CriticalSectionSyncPolicy.h"
#include "TraceFiltering/FilterAnswerCache.h"
#include "TraceFiltering/TraceFilterRules.h"

class KivFilterManager final : public FilterSettingsSink {
 public:
  using ModuleLabelCache = KivCachedModuleLabelData<70, 30>;
  using ModuleClientLabelCache = KivCachedModuleClientLabelData<70, 70, 30>;
  // Client number that asks the module-label form.
  static constexpr uint32_t NoClient = 0xFFFFFFFFu;

  KivFilterManager();
  ~KivFilterManager() override;
  KivFilterManager(const KivFilterManager&) = delete;
  KivFilterManager& operator=(const KivFilterManager&) = delete;

  // The names behind the handles of an enabled query (no client in the
  // module-label form); they stay valid for the life of the manager.
  struct TraceNames {
    std::string_view module;
    std::string_view client;
    std::string_view label;
    bool hasClient = false;
  };

  // Handles of the module-label form that have answer words.
  static constexpr int kAnswerModules = 70, kAnswerLabels = 30;
  enum class Answer { Disabled, Enabled, Unknown };

  // The remembered answer of the module-label form, Unknown when there is
  // none valid now (then ask IsTraceEnabled). Enabled fills `names`.
  // Lock-free: the trace call's path.
  Answer RememberedAnswer(int module, int label, TraceNames& names) const noexcept {
    const Answer answer = RememberedAnswer(module, label);
    if (answer == Answer::Enabled) RememberedNames(module, label, names);
    return answer;
  }
  // The same without the names, which a disabled call does not need.
  Answer RememberedAnswer(int module, int label) const noexcept {
    if (static_cast<unsigned>(module) >= kAnswerModules || static_cast<unsigned>(label) >= kAnswerLabels)
      return Answer::Unknown;
    const uint64_t generation = s_AnswerGeneration.load(std::memory_order_acquire);
    const uint64_t word = m_Answers[module * kAnswerLabels + label].load(std::memory_order_acquire);
    if ((word >> 1) != generation) return Answer::Unknown;
    return (word & 1) == 0 ? Answer::Disabled : Answer::Enabled;
  }
  // The names behind handles RememberedAnswer() found enabled: kept before
  // the answer was, and never changed after.
  void RememberedNames(int module, int label, TraceNames& names) const noexcept {
    names.module = m_AnswerModuleNames[module].Get();
    names.label = m_AnswerLabelNames[label].Get();
    names.hasClient = false;
  }

  // Invalidates every remembered answer of every manager.
  static void ForgetAnswers() noexcept { s_AnswerGeneration.fetch_add(1, std::memory_order_acq_rel); }

  // True when the combined status is enabled and tracing is not paused; then
  // `names`, when given, receives the names (the trace call's record).
  bool IsTraceEnabled(int module, uint32_t clientNumber, int label, TraceNames* names = nullptr) {
    TraceNames found;
    const bool withClient = clientNumber != NoClient;
    if (!withClient) {
      const Answer answer = RememberedAnswer(module, label, found);
      if (answer != Answer::Unknown) {
        if (answer == Answer::Disabled) return false;
        if (names) *names = found;
        return true;
      }
    }
    // Read before the state it answers from: an answer kept under it is
    // stale as soon as anything changed since.
    const uint64_t generation = s_AnswerGeneration.load(std::memory_order_acquire);
    if (m_Paused.load(std::memory_order_acquire)) {
      if (!withClient) Remember(module, label, generation, false, found);
      return false;
    }
    const char* moduleName = nullptr;
    const char* clientName = nullptr;
    const char* labelName = nullptr;
    const char** client = withClient ? &clientName : nullptr;
    Status status;
    if (m_CachesInUse.load(std::memory_order_acquire)) {
      status = client ? m_ModuleClientLabels.GetCombinedData(module, clientNumber, label, &moduleName, client,
                                                             &labelName)
                      : m_ModuleLabels.GetCombinedData(module, label, &moduleName, &labelName);
    } else {
      // A reload resets every rule before reading the file again: waiting
      // for it to end answers from the whole new configuration, never from
      // the half-read one (an enabled call would pass as disabled and be
      // neither written nor counted).
      AutoSync<CriticalSectionSyncPolicy> reloading(m_ReloadLock);
      AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
      status = client ? m_Rules.GetCombinedData(module, clientNumber, label, &moduleName, client, &labelName)
                      : m_Rules.GetCombinedData(module, label, &moduleName, &labelName);
    }
    const bool enabled = status == Status::Enabled;
    if (enabled) {
      found.module = moduleName ? moduleName : "";
      found.label = labelName ? labelName : "";
      // As the record always had it: a ClientName packet when there is a name.
      found.hasClient = clientName != nullptr;
      if (clientName) found.client = clientName;
    }
    if (!withClient) Remember(module, label, generation, enabled, found);
    if (!enabled) return false;
    if (names) *names = found;
    return true;
  }

  // Handles: the same name (exact bytes) always gives the same handle.
  int GetModuleHandle(std::string_view name);
  int GetLabelHandle(std::string_view name);
  // Client `clientNumber` of module `module` is the global client `name`.
  void RegisterClient(int module, uint32_t clientNumber, std::string_view name);

  // Reads the configuration file afresh: caches out of use and cleared,
  // every rule back to unconfigured, the file read, caches in use again.
  // Never raises on a bad file (the reader logs and keeps what it applied).
  void ReloadConfiguration() override;
  void ReloadConfiguration(const std::string& path);

  // While paused every query answers false.
  void SetPaused(bool paused) override;
  bool IsPaused() const;
  bool CachesInUse() const;

  // Settings, filled by KivClientConfigProcessor<KivFilterManager>; each
  // takes m_Lock. `status` is 2 (enabled) or 0 (disabled).
  void SetTraceSwitch(bool on);
  void SetDuplicateToDebugConsole(bool on);
  void SetLogFormat(const std::string& format);
  void SetStatusTrace(bool on);
  void SetNetworkMode(NetworkMode mode);
  void SetModuleStatus(const std::string& module, int32_t status);
  void SetGlobalLabelStatus(const std::string& label, int32_t status);
  void SetModuleLabelStatus(const std::string& module, const std::string& label, int32_t status);
  void SetGlobalClientStatus(const std::string& client, int32_t status);
  void SetModuleClientStatus(const std::string& module, const std::string& client, int32_t status);
  void SetGlobalClientLabelStatus(const std::string& client, const std::string& label, int32_t status);
  void SetModuleClientLabelStatus(const std::string& module, const std::string& client,
                                  const std::string& label, int32_t status);

  std::string LogFormat() const;
  bool DuplicateToDebugConsole() const;
  bool StatusTrace() const;
  NetworkMode GetNetworkMode() const;
  bool TraceSwitch() const;

 private:
  template <class F>
  void Locked(F&& change);

  // A name kept beside the answer words; written before the word that
  // publishes it (release), read after it (acquire).
  class KeptName {
   public:
    void Set(std::string_view name) noexcept {
      m_Data.store(name.data(), std::memory_order_relaxed);
      m_Size.store(name.size(), std::memory_order_relaxed);
    }
    std::string_view Get() const noexcept {
      return {m_Data.load(std::memory_order_relaxed), m_Size.load(std::memory_order_relaxed)};
    }

   private:
    std::atomic<const char*> m_Data{""};
    std::atomic<size_t> m_Size{0};
  };

  // Keeps the answer computed at `generation` for the module-label pair.
  void Remember(int module, int label, uint64_t generation, bool enabled, const TraceNames& names) noexcept {
    if (static_cast<unsigned>(module) >= kAnswerModules || static_cast<unsigned>(label) >= kAnswerLabels)
      return;
    if (enabled) {
      // Names never change once a handle exists: rewriting them under a
      // reader is harmless.
      m_AnswerModuleNames[module].Set(names.module);
      m_AnswerLabelNames[label].Set(names.label);
    }
    // Only over an answer of an earlier generation: a query that computed
    // before a change and stores after it would send the next ones the
    // slow way again.
    std::atomic<uint64_t>& cell = m_Answers[module * kAnswerLabels + label];
    const uint64_t word = generation << 1 | (enabled ? 1 : 0);
    for (uint64_t kept = cell.load(std::memory_order_relaxed); (kept >> 1) < generation;)
      if (cell.compare_exchange_weak(kept, word, std::memory_order_release, std::memory_order_relaxed)) break;
  }

  // Starts at 1: a word of 0 (never computed) matches no generation.
  static inline std::atomic<uint64_t> s_AnswerGeneration{1};

  mutable CriticalSectionSyncPolicy m_Lock;
  CriticalSectionSyncPolicy m_ReloadLock;  // one reading of the file at a time; taken before m_Lock
  TraceFilterRules m_Rules;
  ModuleLabelCache m_ModuleLabels;
  ModuleClientLabelCache m_ModuleClientLabels;
  std::atomic<bool> m_CachesInUse{false};
  std::atomic<bool> m_Paused{false};
  std::atomic<uint64_t> m_Answers[kAnswerModules * kAnswerLabels] = {};
  KeptName m_AnswerModuleNames[kAnswerModules];
  KeptName m_AnswerLabelNames[kAnswerLabels];
  std::string m_LogFormat GUARDED_BY(m_Lock) = "text";
  bool m_DuplicateToDebugConsole GUARDED_BY(m_Lock) = false;
  bool m_StatusTrace GUARDED_BY(m_Lock) = true;
  NetworkMode m_NetworkMode GUARDED_BY(m_Lock) = NetworkNone;
};
