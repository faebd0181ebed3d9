#include "KivANSIAPI/KivFilterManager.h"

#include <pthread.h>

#include "KivConfigFileReader/KivConfigFileReader.h"
#include "Support/ConfigPath.h"

namespace {
Status ToStatus(int32_t status) {
  return status == 2 ? Status::Enabled : status == 0 ? Status::Disabled : Status::NotSet;
}
}  // namespace

KivFilterManager::KivFilterManager() : m_Rules(true), m_ModuleLabels(m_Rules), m_ModuleClientLabels(m_Rules) {
  // A fork closes the service monitor in both processes: their next trace
  // call must take the path that starts it again.
  static const bool registered = pthread_atfork(nullptr, ForgetAnswers, ForgetAnswers) == 0;
  (void)registered;
}
KivFilterManager::~KivFilterManager() = default;

template <class F>
void KivFilterManager::Locked(F&& change) {
  AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
  change();
  ForgetAnswers();
}

int KivFilterManager::GetModuleHandle(std::string_view name) {
  AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
  return m_Rules.GetModuleHandle(name);
}

int KivFilterManager::GetLabelHandle(std::string_view name) {
  AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
  return m_Rules.GetLabelHandle(name);
}

void KivFilterManager::RegisterClient(int module, uint32_t clientNumber, std::string_view name) {
  AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
  m_Rules.RegisterClient(module, name, clientNumber);
  m_ModuleClientLabels.ClearClient(clientNumber);
  ForgetAnswers();
}

void KivFilterManager::ReloadConfiguration() { ReloadConfiguration(KivConfigPathPolicy().Get()); }

void KivFilterManager::ReloadConfiguration(const std::string& path) {
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

void KivFilterManager::SetPaused(bool paused) {
  m_Paused.store(paused, std::memory_order_release);
  ForgetAnswers();
}
bool KivFilterManager::IsPaused() const { return m_Paused.load(std::memory_order_acquire); }
bool KivFilterManager::CachesInUse() const { return m_CachesInUse.load(std::memory_order_acquire); }

void KivFilterManager::SetTraceSwitch(bool on) {
  Locked([&] { m_Rules.SetActive(on); });
}
void KivFilterManager::SetDuplicateToDebugConsole(bool on) {
  AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
  m_DuplicateToDebugConsole = on;
}
void KivFilterManager::SetLogFormat(const std::string& format) {
  AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
  m_LogFormat = format;
}
void KivFilterManager::SetStatusTrace(bool on) {
  AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
  m_StatusTrace = on;
}
void KivFilterManager::SetNetworkMode(NetworkMode mode) {
  AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
  m_NetworkMode = mode;
}
void KivFilterManager::SetModuleStatus(const std::string& module, int32_t status) {
  Locked([&] { m_Rules.SetModuleStatus(module, ToStatus(status)); });
}
void KivFilterManager::SetGlobalLabelStatus(const std::string& label, int32_t status) {
  Locked([&] { m_Rules.SetGlobalLabelStatus(label, ToStatus(status)); });
}
void KivFilterManager::SetModuleLabelStatus(const std::string& module, const std::string& label,
                                            int32_t status) {
  Locked([&] { m_Rules.SetModuleLabelStatus(module, label, ToStatus(status)); });
}
void KivFilterManager::SetGlobalClientStatus(const std::string& client, int32_t status) {
  Locked([&] { m_Rules.SetGlobalClientStatus(client, ToStatus(status)); });
}
void KivFilterManager::SetModuleClientStatus(const std::string& module, const std::string& client,
                                             int32_t status) {
  Locked([&] { m_Rules.SetModuleClientStatus(module, client, ToStatus(status)); });
}
void KivFilterManager::SetGlobalClientLabelStatus(const std::string& client, const std::string& label,
                                                  int32_t status) {
  Locked([&] { m_Rules.SetGlobalClientLabelStatus(client, label, ToStatus(status)); });
}
void KivFilterManager::SetModuleClientLabelStatus(const std::string& module, const std::string& client,
                                                  const std::string& label, int32_t status) {
  Locked([&] { m_Rules.SetModuleClientLabelStatus(module, client, label, ToStatus(status)); });
}

std::string KivFilterManager::LogFormat() const {
  AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
  return m_LogFormat;
}
bool KivFilterManager::DuplicateToDebugConsole() const {
  AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
  return m_DuplicateToDebugConsole;
}
bool KivFilterManager::StatusTrace() const {
  AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
  return m_StatusTrace;
}
NetworkMode KivFilterManager::GetNetworkMode() const {
  AutoSync<CriticalSectionSyncPolicy> lock(m_Lock);
  return m_NetworkMode;
}
bool KivFilterManager::TraceSwitch() const { return m_Rules.IsActive(); }
