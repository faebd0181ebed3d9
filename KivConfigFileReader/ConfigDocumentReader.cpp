#include "KivConfigFileReader/ConfigDocumentReader.h"

#include <tinyxml2.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "Support/Logging.h"
#include "Support/SysLogEntry.h"
#include "Support/Validation2Exception.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

constexpr uint32_t kDefaultSizeKilobytes = 100;
constexpr uint32_t kDefaultBackups = 10;
constexpr uint32_t kDefaultPort = 3456;
constexpr uint32_t kDefaultMaxConnection = 1;

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
    loaded = document.LoadFile(path.c_str()) == tinyxml2::XML_SUCCESS;
  } catch (...) {
  }
  Apply(document, loaded);
}

void ConfigDocumentReader::ReadText(std::string_view xml) {
  XMLDocument document;
  bool loaded = false;
  try {
    loaded = document.Parse(xml.data(), xml.size()) == tinyxml2::XML_SUCCESS;
  } catch (...) {
  }
  Apply(document, loaded);
}

void ConfigDocumentReader::Apply(XMLDocument& document, bool loaded) {
  try {
    Validation2Exception::CheckParameter(loaded, document.ErrorStr() ? document.ErrorStr() : "");
    Walk(document);
  } catch (...) {
    // Only parser failures carry a description; the validation errors of the
    // walk were already logged by their checks.
    const char* description = document.Error() ? document.ErrorStr() : nullptr;
    if (description && *description) {
      KIV_DIAG_NOTHROW(description << "\n");
      if (m_ReportToSystemLog) {
        try {
          SysLogEntry entry("KivServer", 1);
          entry << description;
        } catch (...) {
        }
      }
    }
  }
}

void ConfigDocumentReader::Walk(const XMLDocument& document) {
  const XMLElement* root = document.FirstChildElement("KIVConfig");
  bool trace = IsXMLAttributeMatch(root, "trace", "1");
  m_Processor->SetTraceEnabled(trace);
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
    } else {
      m_Processor->SetLogFormat("text");
      if (format) KIV_DIAG_NOTHROW("KivConfig setting : Log Format is set as TEXT \n");
    }
  } catch (...) {
    KIV_DIAG_NOTHROW("Error while GetLogFileInfo\n");
    throw;
  }
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
  m_Processor->SetServerPortNumber(port ? ParseNumber(port) : kDefaultPort);
  const char* backlog = node->Attribute("max_connection");
  m_Processor->SetServerMaxConnection(backlog ? ParseNumber(backlog) : kDefaultMaxConnection);

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
  m_Processor->SetClientPortNumber(port ? ParseNumber(port) : kDefaultPort);
  const char* host = node->Attribute("server_name");
  Validation2Exception::CheckParameter(host != nullptr, "Error: no valid hostname is specified");
  m_Processor->SetServerName(host);
  m_Processor->SetClientTls(ReadTlsFiles(node));
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
