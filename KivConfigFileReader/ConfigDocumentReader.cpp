#include "KivConfigFileReader/ConfigDocumentReader.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "KivConfigFileReader/KivServerConfig.h"
#include "Support/Logging.h"
#include "Support/SysLogEntry.h"
#include "Support/Validation2Exception.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

constexpr uint32_t kDefaultSizeKilobytes = 100;
constexpr uint32_t kDefaultBackups = 10;

// The one attribute every rule element needs twice; nullptr when missing.
struct NameAndState {
  const char* name;
  const char* state;
};

NameAndState ReadNameAndState(const XMLElement* node) {
  return {node->Attribute("name"), node->Attribute("state")};
}

// Module and client rules without a usable name or state are skipped, not
// fatal, so one bad rule does not throw away every rule after it. An empty
// name is refused too: it would otherwise turn the element's labels into
// global ones.
bool UsableRule(const NameAndState& rule, const char* element) {
  if (rule.name && *rule.name && rule.state) return true;
  KIV_DIAG_NOTHROW("KivConfig setting : " << element
                                          << " element without valid \"name\" or \"state\" skipped\n");
  return false;
}

int32_t RuleStatus(const char* state) {
  return std::strcmp(state, "1") == 0 ? KivRuleStatus::Enabled : KivRuleStatus::Disabled;
}

uint32_t OrDefault(uint32_t value, uint32_t fallback) { return value == 0 ? fallback : value; }

}  // namespace

bool ConfigDocumentReader::IsXMLAttributeMatch(const XMLElement* element, const char* name,
                                               const char* expected) {
  if (element == nullptr) return false;
  const char* value = element->Attribute(name);
  return value != nullptr && std::strcmp(value, expected) == 0;
}

uint32_t ConfigDocumentReader::ParseNumber(const char* text) {
  if (text == nullptr) return 0;
  long value = std::strtol(text, nullptr, 10);
  // Saturate like a 32-bit strtol would, then keep the unsigned image.
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return static_cast<uint32_t>(static_cast<int32_t>(value));
}

uint32_t ConfigDocumentReader::KilobytesToBytes(uint32_t kilobytes) {
  uint64_t bytes = uint64_t{OrDefault(kilobytes, kDefaultSizeKilobytes)} << 10;
  // A wrapped product could give a tiny or zero file limit; hold it instead.
  constexpr uint64_t kLargest = uint64_t{UINT32_MAX} & ~uint64_t{1023};
  return static_cast<uint32_t>(bytes > kLargest ? kLargest : bytes);
}

void ConfigDocumentReader::Read(const std::string& path) {
  XMLDocument document;
  bool loaded = false;
  try {
    errno = 0;
    loaded = document.LoadFile(path.c_str()) == tinyxml2::XML_SUCCESS;
    const int openError = errno != 0 ? errno : ENOENT;
    const auto id = document.ErrorID();
    if (!loaded && m_ReportToSystemLog && m_ReportUnreadableFile &&
        (id == tinyxml2::XML_ERROR_FILE_NOT_FOUND || id == tinyxml2::XML_ERROR_FILE_COULD_NOT_BE_OPENED)) {
      // Without the file the dispatcher runs with tracing off: say why.
      ReportFailureToSystemLog("Configuration file can not be read", path, openError);
    }
  } catch (const std::exception&) {  // out of memory while parsing: an empty configuration
  }
  Apply(document, loaded, path);
}

void ConfigDocumentReader::ReadText(std::string_view xml) {
  XMLDocument document;
  bool loaded = false;
  try {
    loaded = document.Parse(xml.data(), xml.size()) == tinyxml2::XML_SUCCESS;
  } catch (const std::exception&) {  // out of memory while parsing: an empty configuration
  }
  Apply(document, loaded);
}

void ConfigDocumentReader::Apply(XMLDocument& document, bool loaded, const std::string& path) {
  try {
    Validation2Exception::CheckParameter(loaded, document.ErrorStr() ? document.ErrorStr() : "");
    Walk(document);
  } catch (...) {
    // Only parser failures carry a description; the validation errors of the
    // walk were already logged by their checks.
    const char* description = document.Error() ? document.ErrorStr() : nullptr;
    if (description && *description) {
      KIV_DIAG_NOTHROW(description << "\n");
      const auto id = document.ErrorID();
      const bool openFailed =
          id == tinyxml2::XML_ERROR_FILE_NOT_FOUND || id == tinyxml2::XML_ERROR_FILE_COULD_NOT_BE_OPENED;
      if (m_ReportToSystemLog && !openFailed) {  // an open failure was reported by Read
        if (path.empty())
          ReportFailureToSystemLog(description);
        else
          ReportFailureToSystemLog("Configuration file can not be parsed", path + ": " + description);
      }
    }
  }
}

void ConfigDocumentReader::Walk(const XMLDocument& document) {
  const XMLElement* root = document.FirstChildElement("KIVConfig");
  bool trace = IsXMLAttributeMatch(root, "trace", "1");
  m_Processor->SetTraceEnabled(trace);
  // Tracing off: nothing else is read, and there is nothing to drain.
  GetDrainPriority(trace ? root : nullptr);
  if (!trace) return;

  const XMLElement* current = root->FirstChildElement("Logfile");
  GetLogFileInfo(current);

  // Each optional element is searched after the one found last.
  struct Step {
    const char* name;
    void (ConfigDocumentReader::*read)(const XMLElement*);
  } steps[] = {{"StatusTrace", &ConfigDocumentReader::GetStatusTraceInfo},
               {"Network", &ConfigDocumentReader::GetNetworkInfo},
               {"Server", &ConfigDocumentReader::GetNetworkServerInfo},
               {"Client", &ConfigDocumentReader::GetNetworkClientInfo}};
  for (const auto& step : steps) {
    if (const XMLElement* next = current->NextSiblingElement(step.name)) {
      current = next;
      (this->*step.read)(current);
    }
  }

  // Read apart from the chain above, so that its place among the optional
  // elements does not change which of them are found.
  GetSyslogInfo(root->FirstChildElement("Syslog"));

  const XMLElement* global = current->NextSiblingElement("Global");
  if (global == nullptr) return;
  GetGlobalInfo(global);
  for (const XMLElement* module = global->NextSiblingElement("Module"); module;
       module = module->NextSiblingElement("Module"))
    GetModuleInfo(module);
}

void ConfigDocumentReader::GetLogFileInfo(const XMLElement* node) {
  try {
    Validation2Exception::CheckParameter(node != nullptr, "error:Logfile configuation invalid");
    const char* path = node->Attribute("path");
    Validation2Exception::CheckParameter(path != nullptr, "error: Invalid path ");
    m_RawLogPath = path;
    m_Processor->SetLogFilePath(m_RawLogPath);

    const char* size = node->Attribute("size");
    Validation2Exception::CheckParameter(size != nullptr, "Error: invalid size");
    m_Processor->SetMaxFileSize(KilobytesToBytes(ParseNumber(size)));
    const char* backups = node->Attribute("maxbackups");
    Validation2Exception::CheckParameter(backups != nullptr, "Error: invalid maxbackups ");
    m_Processor->SetMaxBackups(OrDefault(ParseNumber(backups), kDefaultBackups));
    const char* preserveSize = node->Attribute("preserve_size");
    Validation2Exception::CheckParameter(preserveSize != nullptr, "Error: invalid preserve_size");
    m_Processor->SetPreserveMaxFileSize(KilobytesToBytes(ParseNumber(preserveSize)));
    const char* preserveBackups = node->Attribute("preserve_maxbackups");
    Validation2Exception::CheckParameter(preserveBackups != nullptr, "Error: invalid preserve_maxbackups");
    m_Processor->SetPreserveMaxBackups(OrDefault(ParseNumber(preserveBackups), kDefaultBackups));

    if (const char* console = node->Attribute("duplicate_to_debug_console"))
      m_Processor->SetDuplicateToDebugConsole(std::strcmp(console, "1") == 0);

    const char* format = node->Attribute("log_format");
    if (format && std::strcmp(format, "binary") == 0) {
      m_Processor->SetLogFormat("binary");
      KIV_DIAG_NOTHROW("KivConfig setting : Log Format is set as BIANRY\n");
    } else if (format && std::strcmp(format, "json") == 0) {
      m_Processor->SetLogFormat("json");
    } else {
      m_Processor->SetLogFormat("text");
      if (format) KIV_DIAG_NOTHROW("KivConfig setting : Log Format is set as TEXT \n");
    }
  } catch (...) {
    KIV_DIAG_NOTHROW("Error while GetLogFileInfo\n");
    throw;
  }
}

void ConfigDocumentReader::GetDrainPriority(const XMLElement* root) {
  const char* text = root ? root->Attribute("drain_priority") : nullptr;
  uint32_t priority = 0;
  if (text) {
    // Digits only; anything else keeps the normal scheduling, told rather
    // than guessed at. A number above the highest is held at it.
    const std::string_view digits(text);
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    const bool number = !digits.empty() && end == digits.data() + digits.size() &&
                        (error == std::errc() || error == std::errc::result_out_of_range);
    if (error == std::errc::result_out_of_range) value = kMaxDrainPriority;
    if (!number) {
      KIV_DIAG_NOTHROW("KivConfig setting : drain_priority \"" << text << "\" ignored\n");
      if (m_ReportToSystemLog)
        ReportFailureToSystemLog(std::string("Configuration: drain_priority \"") + text +
                                 "\" is not a number from 0 to " + std::to_string(kMaxDrainPriority) +
                                 "; the normal scheduling is kept");
    } else {
      priority = static_cast<uint32_t>(std::min<uint64_t>(value, kMaxDrainPriority));
    }
  }
  m_Processor->SetDrainPriority(priority);
}

void ConfigDocumentReader::GetStatusTraceInfo(const XMLElement* node) {
  const char* state = node->Attribute("state");
  if (state == nullptr) {
    m_Processor->SetStatusTrace(true);
    KIV_DIAG_NOTHROW("Status tracing is enabled as default\n");
  } else if (std::strcmp(state, "on") == 0) {
    m_Processor->SetStatusTrace(true);
    KIV_DIAG_NOTHROW("Status tracing is enabled\n");
  } else {
    m_Processor->SetStatusTrace(false);
  }
}

void ConfigDocumentReader::GetNetworkInfo(const XMLElement* node) {
  NetworkMode mode = NetworkNone;
  if (IsXMLAttributeMatch(node, "mode", "server"))
    mode = NetworkServer;
  else if (IsXMLAttributeMatch(node, "mode", "client"))
    mode = NetworkClient;
  m_Processor->SetNetworkSetting(mode);
}

void ConfigDocumentReader::GetNetworkServerInfo(const XMLElement* node) {
  const char* port = node->Attribute("port_number");
  m_Processor->SetServerPortNumber(port ? ParseNumber(port) : kDefaultStreamPort);
  const char* backlog = node->Attribute("max_connection");
  m_Processor->SetServerMaxConnection(backlog ? ParseNumber(backlog) : kDefaultServerMaxConnection);

  NetworkServerOptions options;
  if (const char* bind = node->Attribute("bind_address")) options.m_BindAddress = bind;
  if (const char* peers = node->Attribute("allowed_peers")) options.m_AllowedPeers = peers;
  // Zero or a negative number would refuse everyone or close at once; such a
  // value keeps the default.
  auto positive = [&](const char* name, uint32_t fallback) {
    const char* text = node->Attribute(name);
    uint32_t value = text ? ParseNumber(text) : 0;
    if (text && (value == 0 || value > INT32_MAX))
      KIV_DIAG_NOTHROW("KivConfig setting : Server " << name << " \"" << text << "\" ignored\n");
    return value == 0 || value > INT32_MAX ? fallback : value;
  };
  options.m_MaxPeers = positive("max_peers", options.m_MaxPeers);
  options.m_IdleTimeoutSeconds = positive("idle_timeout", options.m_IdleTimeoutSeconds);
  options.m_MaxPendingKilobytes = positive("max_pending", options.m_MaxPendingKilobytes);
  options.m_Tls = ReadTlsFiles(node);
  m_Processor->SetServerOptions(options);
}

NetworkTlsFiles ConfigDocumentReader::ReadTlsFiles(const XMLElement* node) {
  NetworkTlsFiles files;
  if (const char* certificate = node->Attribute("tls_certificate")) files.m_Certificate = certificate;
  if (const char* key = node->Attribute("tls_key")) files.m_Key = key;
  if (const char* ca = node->Attribute("tls_ca")) files.m_Ca = ca;
  return files;
}

void ConfigDocumentReader::GetNetworkClientInfo(const XMLElement* node) {
  const char* port = node->Attribute("port_number");
  m_Processor->SetClientPortNumber(port ? ParseNumber(port) : kDefaultStreamPort);
  const char* host = node->Attribute("server_name");
  Validation2Exception::CheckParameter(host != nullptr, "Error: no valid hostname is specified");
  m_Processor->SetServerName(host);
  m_Processor->SetClientTls(ReadTlsFiles(node));
}

void ConfigDocumentReader::GetSyslogInfo(const XMLElement* node) {
  SyslogSettings settings;
  if (node != nullptr && IsXMLAttributeMatch(node, "state", "1")) {
    std::string problem = ReadSyslogSettings(node, settings);
    settings.m_On = problem.empty();
    if (!problem.empty()) {
      // A bad element switches only the syslog output off; the local files
      // and the rules after it are not affected.
      KIV_DIAG_NOTHROW("KivConfig setting : Syslog switched off: " << problem << "\n");
      if (m_ReportToSystemLog) ReportFailureToSystemLog("Syslog output switched off: " + problem);
    }
  }
  m_Processor->SetSyslog(settings);
}

std::string ConfigDocumentReader::ReadSyslogSettings(const XMLElement* node, SyslogSettings& settings) {
  auto text = [&](const char* name, std::string& into) {
    if (const char* value = node->Attribute(name)) into = value;
  };
  text("server_name", settings.m_Server);
  if (settings.m_Server.empty()) return "no \"server_name\"";
  if (const char* transport = node->Attribute("transport")) {
    if (std::strcmp(transport, "tls") == 0)
      settings.m_Tls = true;
    else if (std::strcmp(transport, "tcp") != 0)
      return std::string("\"transport\" must be \"tcp\" or \"tls\", not \"") + transport + "\"";
  }
  settings.m_Port = settings.m_Tls ? SyslogSettings::kDefaultTlsPort : SyslogSettings::kDefaultPort;
  if (const char* port = node->Attribute("port_number")) {
    char* end = nullptr;
    unsigned long value = std::strtoul(port, &end, 10);
    if (*port == '\0' || *end != '\0' || value == 0 || value > 65535)
      return std::string("\"port_number\" is not a port: \"") + port + "\"";
    settings.m_Port = static_cast<uint32_t>(value);
  }
  text("tls_ca", settings.m_TlsCa);
  text("tls_certificate", settings.m_TlsCertificate);
  text("tls_key", settings.m_TlsKey);
  if (settings.m_Tls && settings.m_TlsCa.empty()) return "\"transport\" \"tls\" needs \"tls_ca\"";
  if (settings.m_TlsCertificate.empty() != settings.m_TlsKey.empty())
    return "\"tls_certificate\" and \"tls_key\" go together";
  text("app_name", settings.m_AppName);
  text("sd_id", settings.m_SdId);
  // The header and structured data fields allow printable ASCII only, some
  // characters excluded; anything else would make every message invalid.
  if (!IsSyslogName(settings.m_AppName, 48, ""))
    return "\"app_name\" is not 1 to 48 printable ASCII characters";
  if (!IsSyslogName(settings.m_SdId, 32, "= ]\""))
    return "\"sd_id\" is not 1 to 32 printable ASCII characters without '=', ']' or '\"'";
  if (const char* queue = node->Attribute("queue_size")) {
    char* end = nullptr;
    unsigned long value = std::strtoul(queue, &end, 10);
    if (*queue == '\0' || *end != '\0' || value == 0 || value > (1UL << 22))
      return std::string("\"queue_size\" is not a size from 1 to 4194304 kilobytes: \"") + queue + "\"";
    settings.m_QueueKilobytes = static_cast<uint32_t>(value);
  }
  return "";
}

bool ConfigDocumentReader::IsSyslogName(const std::string& name, size_t maxLength, const char* excluded) {
  if (name.empty() || name.size() > maxLength) return false;
  for (char c : name)
    if (c < 33 || c > 126 || std::strchr(excluded, c) != nullptr) return false;
  return true;
}

void ConfigDocumentReader::GetGlobalInfo(const XMLElement* node) {
  static const std::string none;
  for (const XMLElement* child = node->FirstChildElement(); child; child = child->NextSiblingElement()) {
    if (std::strcmp(child->Name(), "GLabel") == 0)
      GetLabelInfo(child, none, none);
    else if (std::strcmp(child->Name(), "GClient") == 0)
      GetClientInfo(child, "GClientLabel", none);
  }
}

void ConfigDocumentReader::GetModuleInfo(const XMLElement* node) {
  NameAndState rule = ReadNameAndState(node);
  if (!UsableRule(rule, "Module")) return;
  // A module that is not switched on contributes nothing, whatever its
  // children say.
  if (std::strcmp(rule.state, "1") != 0) return;
  const std::string module(rule.name);
  m_Processor->SetModuleStatus(module, KivRuleStatus::Enabled);
  static const std::string none;
  for (const XMLElement* child = node->FirstChildElement(); child; child = child->NextSiblingElement()) {
    if (std::strcmp(child->Name(), "MLabel") == 0)
      GetLabelInfo(child, module, none);
    else if (std::strcmp(child->Name(), "MClient") == 0)
      GetClientInfo(child, "MClientLabel", module);
  }
}

void ConfigDocumentReader::GetLabelInfo(const XMLElement* node, const std::string& module,
                                        const std::string& client) {
  Validation2Exception::CheckParameter(node != nullptr, "Error: invalid element");
  const char* name = node->Attribute("name");
  Validation2Exception::CheckParameter(name != nullptr, "Error: invalid Attribute \"name\" ");
  const char* state = node->Attribute("state");
  Validation2Exception::CheckParameter(state != nullptr, "Error: invalid Attribute \"state\" ");
  const std::string label(name);
  int32_t status = RuleStatus(state);
  if (!module.empty() && !client.empty())
    m_Processor->SetModuleClientLabelStatus(module, client, label, status);
  else if (!module.empty())
    m_Processor->SetModuleLabelStatus(module, label, status);
  else if (!client.empty())
    m_Processor->SetGlobalClientLabelStatus(client, label, status);
  else
    m_Processor->SetGlobalLabelStatus(label, status);
}

void ConfigDocumentReader::GetClientInfo(const XMLElement* node, const char* labelElement,
                                         const std::string& module) {
  NameAndState rule = ReadNameAndState(node);
  if (!UsableRule(rule, module.empty() ? "GClient" : "MClient")) return;
  const std::string client(rule.name);
  int32_t status = RuleStatus(rule.state);
  if (module.empty())
    m_Processor->SetGlobalClientStatus(client, status);
  else
    m_Processor->SetModuleClientStatus(module, client, status);
  if (status != KivRuleStatus::Enabled) return;
  Validation2Exception::CheckParameter(labelElement != nullptr && *labelElement != '\0',
                                       "Error: Invalid lable type");
  for (const XMLElement* label = node->FirstChildElement(labelElement); label;
       label = label->NextSiblingElement(labelElement))
    GetLabelInfo(label, module, client);
}
