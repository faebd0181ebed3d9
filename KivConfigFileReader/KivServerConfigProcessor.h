#pragma once
// Processor of the dispatcher: writes every dispatcher setting into a
// KivServerConfig it does not own (the configuration server's). Filter rules
// are ignored. Reading errors also go to the system log.

#include "KivConfigFileReader/BaseConfigProcessor.h"
#include "KivConfigFileReader/KivServerConfig.h"

class KivServerConfigProcessor : public BaseConfigProcessor {
 public:
  static constexpr bool s_ReportErrorsToSystemLog = true;

  explicit KivServerConfigProcessor(KivServerConfig& config) : m_Config(&config) {}

  void SetLogFormat(const std::string& format) override { m_Config->m_LogFormat = format; }
  void SetStatusTrace(bool on) override { m_Config->m_StatusTrace = on; }
  void SetNetworkSetting(NetworkMode mode) override { m_Config->m_NetworkMode = mode; }
  void SetServerPortNumber(uint32_t port) override { m_Config->m_ServerPort = port; }
  void SetServerMaxConnection(uint32_t backlog) override { m_Config->m_ServerMaxConnection = backlog; }
  void SetClientPortNumber(uint32_t port) override { m_Config->m_ClientPort = port; }
  void SetServerName(const std::string& name) override { m_Config->m_ServerName = name; }
  void SetSyslog(const SyslogSettings& syslog) override { m_Config->m_Syslog = syslog; }
  void SetServerOptions(const NetworkServerOptions& options) override { m_Config->m_ServerOptions = options; }
  void SetClientTls(const NetworkTlsFiles& files) override { m_Config->m_ClientTls = files; }

  void SetTraceEnabled(bool on) override { m_Config->m_TraceEnabled = on; }
  void SetDrainPriority(uint32_t priority) override { m_Config->m_DrainPriority = priority; }
  // Stores the expanded path with one '\' appended: the outputs join the
  // directory directly with their file name prefix.
  void SetLogFilePath(const std::string& rawPath) override;
  void SetMaxFileSize(uint32_t bytes) override { m_Config->m_MaxFileSize = bytes; }
  void SetMaxBackups(uint32_t count) override { m_Config->m_MaxBackups = count; }
  void SetPreserveMaxFileSize(uint32_t bytes) override { m_Config->m_PreserveMaxFileSize = bytes; }
  void SetPreserveMaxBackups(uint32_t count) override { m_Config->m_PreserveMaxBackups = count; }

  KivServerConfig* Config() const { return m_Config; }

 private:
  KivServerConfig* m_Config;
};
