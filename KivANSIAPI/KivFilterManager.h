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
// Locks: m_Lock guards the client settings and serialises lookups and
// configuration changes; it is always taken before the rules' own mutex.
// The paused and cache-use flags are atomics. Defined inline (header only):
// the service client, which applies the dispatcher's changes, lives below
// the API library.

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "KivConfigFileReader/KivConfigFileReader.h"
#include "Support/AutoSync.h"
#include "Support/ConfigPath.h"
#include "Support/CriticalSectionSyncPolicy.h"
#include "TraceFiltering/FilterAnswerCache.h"
#include "TraceFiltering/TraceFilterRules.h"

class KivFilterManager {
 public:
  using ModuleLabelCache = KivCachedModuleLabelData<70, 30>;
  using ModuleClientLabelCache = KivCachedModuleClientLabelData<70, 70, 30>;
  // Client number that asks the module-label form.
  static constexpr uint32_t NoClient = 0xFFFFFFFFu;

  KivFilterManager() : m_Rules(true), m_ModuleLabels(m_Rules), m_ModuleClientLabels(m_Rules) {}
  virtual ~KivFilterManager() = default;
  KivFilterManager(const KivFilterManager&) = delete;
  KivFilterManager& operator=(const KivFilterManager&) = delete;

  // The names behind the handles of an enabled query (client null in the
  // module-label form); they stay valid for the life of the manager.
  struct TraceNames {
    const char* module = nullptr;
    const char* client = nullptr;
    const char* label = nullptr;
  };

  // True when the combined status is enabled and tracing is not paused; then
  // `names`, when given, receives the names (the trace call's record).
  bool IsTraceEnabled(int module, uint32_t clientNumber, int label, TraceNames* names = nullptr) {
    if (m_Paused.load(std::memory_order_acquire)) return false;
    TraceNames found;
    const char** client = clientNumber == NoClient ? nullptr : &found.client;
    Status status;
    if (m_CachesInUse.load(std::memory_order_acquire)) {
      status = client ? m_ModuleClientLabels.GetCombinedData(module, clientNumber, label, &found.module,
                                                             client, &found.label)
                      : m_ModuleLabels.GetCombinedData(module, label, &found.module, &found.label);
    } else {
      // A reload resets every rule before reading the file again: waiting
      // for it to end answers from the whole new configuration, never from
      // the half-read one (an enabled call would pass as disabled and be
      // neither written nor counted).
      AutoSync<CriticalSectionSyncPolicy> reloading(m_ReloadLock);
      AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
      status = client
                   ? m_Rules.GetCombinedData(module, clientNumber, label, &found.module, client, &found.label)
                   : m_Rules.GetCombinedData(module, label, &found.module, &found.label);
    }
    if (status != Status::Enabled) return false;
    if (names) *names = found;
    return true;
  }

  // Handles: the same name (exact bytes) always gives the same handle.
  int GetModuleHandle(std::string_view name) {
    AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
    return m_Rules.GetModuleHandle(name);
  }
  int GetLabelHandle(std::string_view name) {
    AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
    return m_Rules.GetLabelHandle(name);
  }
  // Client `clientNumber` of module `module` is the global client `name`.
  void RegisterClient(int module, uint32_t clientNumber, std::string_view name) {
    AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
    m_Rules.RegisterClient(module, name, clientNumber);
    m_ModuleClientLabels.ClearClient(clientNumber);
  }

  // Reads the configuration file afresh: caches out of use and cleared,
  // every rule back to unconfigured, the file read, caches in use again.
  // Never raises on a bad file (the reader logs and keeps what it applied).
  void ReloadConfiguration() { ReloadConfiguration(KivConfigPathPolicy().Get()); }
  void ReloadConfiguration(const std::string& path);

  // While paused every query answers false.
  void SetPaused(bool paused) { m_Paused.store(paused, std::memory_order_release); }
  bool IsPaused() const { return m_Paused.load(std::memory_order_acquire); }
  bool CachesInUse() const { return m_CachesInUse.load(std::memory_order_acquire); }

  // Settings, filled by KivClientConfigProcessor<KivFilterManager>; each
  // takes m_Lock. `status` is 2 (enabled) or 0 (disabled).
  void SetTraceSwitch(bool on) {
    AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
    m_Rules.SetActive(on);
  }
  void SetDuplicateToDebugConsole(bool on) {
    Locked([&] { m_DuplicateToDebugConsole = on; });
  }
  void SetLogFormat(const std::string& format) {
    Locked([&] { m_LogFormat = format; });
  }
  void SetStatusTrace(bool on) {
    Locked([&] { m_StatusTrace = on; });
  }
  void SetNetworkMode(NetworkMode mode) {
    Locked([&] { m_NetworkMode = mode; });
  }
  void SetModuleStatus(const std::string& module, int32_t status) {
    Locked([&] { m_Rules.SetModuleStatus(module, ToStatus(status)); });
  }
  void SetGlobalLabelStatus(const std::string& label, int32_t status) {
    Locked([&] { m_Rules.SetGlobalLabelStatus(label, ToStatus(status)); });
  }
  void SetModuleLabelStatus(const std::string& module, const std::string& label, int32_t status) {
    Locked([&] { m_Rules.SetModuleLabelStatus(module, label, ToStatus(status)); });
  }
  void SetGlobalClientStatus(const std::string& client, int32_t status) {
    Locked([&] { m_Rules.SetGlobalClientStatus(client, ToStatus(status)); });
  }
  void SetModuleClientStatus(const std::string& module, const std::string& client, int32_t status) {
    Locked([&] { m_Rules.SetModuleClientStatus(module, client, ToStatus(status)); });
  }
  void SetGlobalClientLabelStatus(const std::string& client, const std::string& label, int32_t status) {
    Locked([&] { m_Rules.SetGlobalClientLabelStatus(client, label, ToStatus(status)); });
  }
  void SetModuleClientLabelStatus(const std::string& module, const std::string& client,
                                  const std::string& label, int32_t status) {
    Locked([&] { m_Rules.SetModuleClientLabelStatus(module, client, label, ToStatus(status)); });
  }

  std::string LogFormat() const {
    AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
    return m_LogFormat;
  }
  bool DuplicateToDebugConsole() const { return Read(m_DuplicateToDebugConsole); }
  bool StatusTrace() const { return Read(m_StatusTrace); }
  NetworkMode GetNetworkMode() const { return Read(m_NetworkMode); }
  bool TraceSwitch() const { return m_Rules.IsActive(); }

 private:
  static Status ToStatus(int32_t status) {
    return status == 2 ? Status::Enabled : status == 0 ? Status::Disabled : Status::NotSet;
  }
  template <class F>
  void Locked(F&& change) {
    AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
    change();
  }
  template <class T>
  T Read(const T& field) const {
    AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
    return field;
  }

  mutable CriticalSectionSyncPolicy m_Lock;
  CriticalSectionSyncPolicy m_ReloadLock;  // one reading of the file at a time; taken before m_Lock
  TraceFilterRules m_Rules;
  ModuleLabelCache m_ModuleLabels;
  ModuleClientLabelCache m_ModuleClientLabels;
  std::atomic<bool> m_CachesInUse{false};
  std::atomic<bool> m_Paused{false};
  // Guarded by m_Lock.
  std::string m_LogFormat = "text";
  bool m_DuplicateToDebugConsole = false;
  bool m_StatusTrace = true;
  NetworkMode m_NetworkMode = NetworkNone;
};

inline void KivFilterManager::ReloadConfiguration(const std::string& path) {
  // Two readings at once (the service client starting while a reload
  // message arrives) would interleave their resets and rules.
  AutoSync<CriticalSectionSyncPolicy> reloading(m_ReloadLock);
  Locked([&] {
    m_CachesInUse.store(false, std::memory_order_release);
    m_ModuleLabels.Clear();
    m_ModuleClientLabels.Clear();
  });
  Locked([&] { m_Rules.ResetStatus(); });
  // The reader's setters take m_Lock themselves, one rule at a time.
  KivClientConfigProcessor<KivFilterManager> processor(*this);
  KivConfigFileReader<KivClientConfigProcessor<KivFilterManager>>(processor).Read(path);
  Locked([&] { m_CachesInUse.store(true, std::memory_order_release); });
}
