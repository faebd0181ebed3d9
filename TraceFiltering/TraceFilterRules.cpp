#include "TraceFiltering/TraceFilterRules.h"

#include "Support/AutoSync.h"

using Guard = AutoSync<CriticalSectionSyncPolicy>;

TraceFilterRules::TraceFilterRules(bool active)
    : m_Active(active),
      // The tables make entries inside the calls below, under m_Lock.
      m_Clients([this](std::string_view name)
                    REQUIRES(m_Lock) { return std::make_unique<PrimaryClientEntry>(name, m_Labels); }),
      m_Modules([this](std::string_view name) REQUIRES(m_Lock) {
        return std::make_unique<PrimaryModuleEntry>(name, m_Labels, m_Clients);
      }) {}

int TraceFilterRules::GetModuleHandle(std::string_view name) {
  Guard guard(m_Lock);
  return m_Modules.GetKey(name);
}

int TraceFilterRules::GetLabelHandle(std::string_view name) {
  Guard guard(m_Lock);
  return m_Labels.GetKey(name);
}

int TraceFilterRules::GetClientHandle(std::string_view name) {
  Guard guard(m_Lock);
  return m_Clients.GetKey(name);
}

void TraceFilterRules::RegisterClient(int module, std::string_view clientName, uint32_t clientNumber) {
  Guard guard(m_Lock);
  if (!m_Modules.Contains(module)) return;
  m_Modules[module].RegisterClientNumber(clientNumber, m_Clients.GetKey(clientName));
  Changed();
}

template <class Find>
void TraceFilterRules::SetRule(Status status, Find find) {
  Guard guard(m_Lock);
  find().m_TraceStatus.SetStatus(status);
  Changed();
}

void TraceFilterRules::SetModuleStatus(std::string_view module, Status status) {
  SetRule(
      status, [&]() REQUIRES(m_Lock) -> auto& { return m_Modules[m_Modules.GetKey(module)]; });
}

void TraceFilterRules::SetGlobalLabelStatus(std::string_view label, Status status) {
  SetRule(
      status, [&]() REQUIRES(m_Lock) -> auto& { return m_Labels[m_Labels.GetKey(label)]; });
}

void TraceFilterRules::SetModuleLabelStatus(std::string_view module, std::string_view label, Status status) {
  SetRule(
      status, [&]() REQUIRES(m_Lock) -> auto& {
        return m_Modules[m_Modules.GetKey(module)].Labels()[m_Labels.GetKey(label)];
      });
}

void TraceFilterRules::SetGlobalClientStatus(std::string_view client, Status status) {
  SetRule(
      status, [&]() REQUIRES(m_Lock) -> auto& { return m_Clients[m_Clients.GetKey(client)]; });
}

void TraceFilterRules::SetModuleClientStatus(std::string_view module, std::string_view client,
                                             Status status) {
  SetRule(
      status, [&]() REQUIRES(m_Lock) -> auto& {
        return m_Modules[m_Modules.GetKey(module)].Clients()[m_Clients.GetKey(client)];
      });
}

void TraceFilterRules::SetGlobalClientLabelStatus(std::string_view client, std::string_view label,
                                                  Status status) {
  SetRule(
      status, [&]() REQUIRES(m_Lock) -> auto& {
        return m_Clients[m_Clients.GetKey(client)].Labels()[m_Labels.GetKey(label)];
      });
}

void TraceFilterRules::SetModuleClientLabelStatus(std::string_view module, std::string_view client,
                                                  std::string_view label, Status status) {
  SetRule(
      status, [&]() REQUIRES(m_Lock) -> auto& {
        auto& clientEntry = m_Modules[m_Modules.GetKey(module)].Clients()[m_Clients.GetKey(client)];
        return clientEntry.Labels()[m_Labels.GetKey(label)];
      });
}

void TraceFilterRules::ResetStatus() {
  Guard guard(m_Lock);
  // Each reset propagates to the children, so the order of the walk does not
  // matter: every status ends up rebuilt from its parents' final flags.
  auto reset = [](FilterStatuses& entry) { entry.ResetStatus(); };
  m_Labels.ForEach(reset);
  m_Clients.ForEach([&](PrimaryClientEntry& client) {
    client.ResetStatus();
    client.Labels().ForEach(reset);
  });
  m_Modules.ForEach([&](PrimaryModuleEntry& module) {
    module.ResetStatus();
    module.Labels().ForEach(reset);
    module.Clients().ForEach([&](SlaveClientEntry& client) {
      client.ResetStatus();
      client.Labels().ForEach(reset);
    });
  });
  Changed();
}

void TraceFilterRules::SetActive(bool active) {
  Guard guard(m_Lock);
  m_Active.store(active, std::memory_order_release);
  Changed();
}

namespace {
template <class Entry>
Status Answer(Entry& labelEntry, const char** labelName, bool* flag) {
  Status status = labelEntry.m_TraceStatus.GetStatus();
  if (status == Status::Enabled) {
    if (labelName) *labelName = labelEntry.Name().c_str();
    if (flag) *flag = labelEntry.m_SecondStatus.GetStatus() == Status::Enabled;
  }
  return status;
}
}  // namespace

Status TraceFilterRules::GetCombinedData(int module, int label, const char** moduleName,
                                         const char** labelName, bool* flag) {
  if (!IsActive()) return Status::Disabled;
  Guard guard(m_Lock);
  if (!m_Modules.Contains(module) || !m_Labels.Contains(label)) return Status::Disabled;
  auto& moduleEntry = m_Modules[module];
  Status status = moduleEntry.m_TraceStatus.GetStatus();
  if (status != Status::Enabled) return status;
  status = Answer(moduleEntry.Labels()[label], labelName, flag);
  if (status == Status::Enabled && moduleName) *moduleName = moduleEntry.Name().c_str();
  return status;
}

Status TraceFilterRules::GetCombinedData(int module, uint32_t clientNumber, int label,
                                         const char** moduleName, const char** clientName,
                                         const char** labelName, bool* flag) {
  if (!IsActive()) return Status::Disabled;
  Guard guard(m_Lock);
  if (!m_Modules.Contains(module) || !m_Labels.Contains(label)) return Status::Disabled;
  auto& moduleEntry = m_Modules[module];
  Status status = moduleEntry.m_TraceStatus.GetStatus();
  if (status != Status::Enabled) return status;
  int clientHandle = moduleEntry.ClientHandleOf(clientNumber);
  if (clientHandle < 0) return Status::Disabled;
  auto& clientEntry = moduleEntry.Clients()[clientHandle];
  status = clientEntry.m_TraceStatus.GetStatus();
  if (status != Status::Enabled) return status;
  status = Answer(clientEntry.Labels()[label], labelName, flag);
  if (status == Status::Enabled) {
    if (moduleName) *moduleName = moduleEntry.Name().c_str();
    if (clientName) *clientName = clientEntry.Name().c_str();
  }
  return status;
}
