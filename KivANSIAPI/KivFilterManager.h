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
// The paused and cache-use flags are atomics. The service client, below this
// library, applies the dispatcher's reload, pause and resume through
// FilterSettingsSink. Only IsTraceEnabled is defined here: it is the trace
// call's own path.

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

  mutable CriticalSectionSyncPolicy m_Lock;
  CriticalSectionSyncPolicy m_ReloadLock;  // one reading of the file at a time; taken before m_Lock
  TraceFilterRules m_Rules;
  ModuleLabelCache m_ModuleLabels;
  ModuleClientLabelCache m_ModuleClientLabels;
  std::atomic<bool> m_CachesInUse{false};
  std::atomic<bool> m_Paused{false};
  std::string m_LogFormat GUARDED_BY(m_Lock) = "text";
  bool m_DuplicateToDebugConsole GUARDED_BY(m_Lock) = false;
  bool m_StatusTrace GUARDED_BY(m_Lock) = true;
  NetworkMode m_NetworkMode GUARDED_BY(m_Lock) = NetworkNone;
};
