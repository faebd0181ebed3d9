#pragma once
// Receiver of everything the configuration file reader finds. Every operation
// has an empty default body; a processor overrides what its program keeps.
// The reader calls them in document order and stops calling at the first
// error, so values already handed over stay applied.

#include <cstdint>
#include <string>

#include "KivConfigFileReader/NetworkMode.h"
#include "KivConfigFileReader/NetworkOptions.h"
#include "KivConfigFileReader/SyslogSettings.h"

// Status values of filter rules, as the filter tables store them.
namespace KivRuleStatus {
constexpr int32_t Disabled = 0;
constexpr int32_t Enabled = 2;
}  // namespace KivRuleStatus

class BaseConfigProcessor {
 public:
  virtual ~BaseConfigProcessor() = default;

  // Never called by the reader; kept for processors that are told a
  // destination by other means.
  virtual void SetDestination(const std::string&) {}
  virtual void SetDuplicateToDebugConsole(bool) {}
  virtual void SetLogFormat(const std::string&) {}  // "binary", "text" or "json"
  virtual void SetStatusTrace(bool) {}
  virtual void SetNetworkSetting(NetworkMode) {}
  virtual void SetServerPortNumber(uint32_t) {}
  virtual void SetServerMaxConnection(uint32_t) {}
  virtual void SetClientPortNumber(uint32_t) {}
  virtual void SetServerName(const std::string&) {}
  // The "Syslog" element as read; m_On false when it is absent, off or unusable.
  virtual void SetSyslog(const SyslogSettings&) {}
  // The optional "Server" and "Client" network attributes (defaults where
  // absent), handed over once per element.
  virtual void SetServerOptions(const NetworkServerOptions&) {}
  virtual void SetClientTls(const NetworkTlsFiles&) {}

  // The global trace switch of the root element.
  virtual void SetTraceEnabled(bool) {}
  // The root's "drain_priority", 0 when absent or not usable.
  virtual void SetDrainPriority(uint32_t) {}
  // "Logfile" values: the raw, unexpanded "path"; sizes already in bytes.
  virtual void SetLogFilePath(const std::string&) {}
  virtual void SetMaxFileSize(uint32_t) {}
  virtual void SetMaxBackups(uint32_t) {}
  virtual void SetPreserveMaxFileSize(uint32_t) {}
  virtual void SetPreserveMaxBackups(uint32_t) {}

  // Filter rules; `status` is KivRuleStatus::Enabled or Disabled. Module and
  // client names are never empty: such elements are skipped by the reader.
  virtual void SetModuleStatus(const std::string& /*module*/, int32_t /*status*/) {}
  virtual void SetGlobalLabelStatus(const std::string& /*label*/, int32_t /*status*/) {}
  virtual void SetModuleLabelStatus(const std::string& /*module*/, const std::string& /*label*/,
                                    int32_t /*status*/) {}
  virtual void SetGlobalClientStatus(const std::string& /*client*/, int32_t /*status*/) {}
  virtual void SetModuleClientStatus(const std::string& /*module*/, const std::string& /*client*/,
                                     int32_t /*status*/) {}
  virtual void SetGlobalClientLabelStatus(const std::string& /*client*/, const std::string& /*label*/,
                                          int32_t /*status*/) {}
  virtual void SetModuleClientLabelStatus(const std::string& /*module*/, const std::string& /*client*/,
                                          const std::string& /*label*/, int32_t /*status*/) {}
};
