#pragma once
// Processor of the trace API client: hands the client settings and every
// filter rule to a filter manager it does not own. Directory, sizes and
// counts are checked by the reader but not kept; reading errors go only to the
// diagnostic log.
//
// FilterManager must provide these member functions (each takes the
// manager's own write lock; the processor takes none):
//   void SetTraceSwitch(bool on);                      root "trace"
//   void SetDuplicateToDebugConsole(bool on);          "duplicate_to_debug_console"
//   void SetLogFormat(const std::string& format);      "binary" or "text"
//   void SetStatusTrace(bool on);                      "StatusTrace"
//   void SetNetworkMode(NetworkMode mode);             "Network"
//   void SetModuleStatus(const std::string& module, int32_t status);           "Module"
//   void SetGlobalLabelStatus(const std::string& label, int32_t status);       "GLabel"
//   void SetModuleLabelStatus(const std::string& module, const std::string& label,
//                             int32_t status);                                  "MLabel"
//   void SetGlobalClientStatus(const std::string& client, int32_t status);     "GClient"
//   void SetModuleClientStatus(const std::string& module, const std::string& client,
//                              int32_t status);                                 "MClient"
//   void SetGlobalClientLabelStatus(const std::string& client, const std::string& label,
//                                   int32_t status);                            "GClientLabel"
//   void SetModuleClientLabelStatus(const std::string& module, const std::string& client,
//                                   const std::string& label, int32_t status);  "MClientLabel"
// `status` is KivRuleStatus::Enabled (2) or KivRuleStatus::Disabled (0), the
// values of the filter tables. "Module" is reported only with state "1"
// (enabled); a module with any other state produces no call at all.

#include <cstdint>
#include <string>

#include "KivConfigFileReader/BaseConfigProcessor.h"

template <class FilterManager>
class KivClientConfigProcessor : public BaseConfigProcessor {
 public:
  static constexpr bool s_ReportErrorsToSystemLog = false;

  explicit KivClientConfigProcessor(FilterManager& manager) : m_Manager(&manager) {}

  void SetDuplicateToDebugConsole(bool on) override { m_Manager->SetDuplicateToDebugConsole(on); }
  void SetLogFormat(const std::string& format) override { m_Manager->SetLogFormat(format); }
  void SetStatusTrace(bool on) override { m_Manager->SetStatusTrace(on); }
  void SetNetworkSetting(NetworkMode mode) override { m_Manager->SetNetworkMode(mode); }
  void SetTraceEnabled(bool on) override { m_Manager->SetTraceSwitch(on); }

  void SetModuleStatus(const std::string& module, int32_t status) override {
    m_Manager->SetModuleStatus(module, status);
  }
  void SetGlobalLabelStatus(const std::string& label, int32_t status) override {
    m_Manager->SetGlobalLabelStatus(label, status);
  }
  void SetModuleLabelStatus(const std::string& module, const std::string& label, int32_t status) override {
    m_Manager->SetModuleLabelStatus(module, label, status);
  }
  void SetGlobalClientStatus(const std::string& client, int32_t status) override {
    m_Manager->SetGlobalClientStatus(client, status);
  }
  void SetModuleClientStatus(const std::string& module, const std::string& client, int32_t status) override {
    m_Manager->SetModuleClientStatus(module, client, status);
  }
  void SetGlobalClientLabelStatus(const std::string& client, const std::string& label,
                                  int32_t status) override {
    m_Manager->SetGlobalClientLabelStatus(client, label, status);
  }
  void SetModuleClientLabelStatus(const std::string& module, const std::string& client,
                                  const std::string& label, int32_t status) override {
    m_Manager->SetModuleClientLabelStatus(module, client, label, status);
  }

  FilterManager* Manager() const { return m_Manager; }

 private:
  FilterManager* m_Manager;
};
