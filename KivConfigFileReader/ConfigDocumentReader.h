#pragma once
// The walk over a "KivConfigLinux.xml" document, shared by every reader
// instantiation: it parses the XML, visits the elements in their fixed order
// and hands each value to a processor it does not own. One object serves one
// reading; it lives on the caller's stack.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "KivConfigFileReader/BaseConfigProcessor.h"

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

class ConfigDocumentReader {
 public:
  // `reportToSystemLog`: a parse failure is also sent to the system log under
  // "KivServer" (the dispatcher's and the export command's readers).
  ConfigDocumentReader(BaseConfigProcessor& processor, bool reportToSystemLog)
      : m_Processor(&processor), m_ReportToSystemLog(reportToSystemLog) {}
  virtual ~ConfigDocumentReader() = default;
  ConfigDocumentReader(const ConfigDocumentReader&) = delete;
  ConfigDocumentReader& operator=(const ConfigDocumentReader&) = delete;

  // Reads the file at `path` and applies it. Never raises: errors end the
  // reading, are logged, and leave the values applied so far in place.
  void Read(const std::string& path);
  // Whether Read reports a file it cannot open to the system log (when the
  // processor reports at all). Readings that repeat the dispatcher's own
  // (one per client arriving or leaving) turn it off, so a missing file is
  // reported at start and at reload, not once per client.
  void SetReportUnreadableFile(bool report) { m_ReportUnreadableFile = report; }
  // The same for a document held in memory.
  void ReadText(std::string_view xml);

  // The raw "path" of "Logfile" as last read (empty before).
  const std::string& RawLogPath() const { return m_RawLogPath; }

  // True only when `element` has the attribute and its value is exactly
  // `expected`; never raises.
  static bool IsXMLAttributeMatch(const tinyxml2::XMLElement* element, const char* name,
                                  const char* expected);
  // A signed decimal read like strtol in base 10 (leading blanks and a sign,
  // stops at the first non-digit, no digits give 0), saturated to 32 bits,
  // returned as its unsigned 32-bit image.
  static uint32_t ParseNumber(const char* text);
  // A "size" in kilobytes as bytes: 0 means 100 KB; values whose byte count
  // does not fit 32 bits are held at the largest whole kilobyte that does.
  static uint32_t KilobytesToBytes(uint32_t kilobytes);
  // True when `name` has 1 to `maxLength` printable ASCII characters (33 to
  // 126), none of them in `excluded`.
  static bool IsSyslogName(const std::string& name, size_t maxLength, const char* excluded);

 private:
  // `path` names the file for the system log report of a parse failure
  // (empty for text).
  void Apply(tinyxml2::XMLDocument& document, bool loaded, const std::string& path = {});
  void Walk(const tinyxml2::XMLDocument& document);
  void GetLogFileInfo(const tinyxml2::XMLElement* node);
  void GetStatusTraceInfo(const tinyxml2::XMLElement* node);
  // The root's optional "drain_priority" (see KivServerConfig), always set.
  void GetDrainPriority(const tinyxml2::XMLElement* root);
  void GetNetworkInfo(const tinyxml2::XMLElement* node);
  void GetNetworkServerInfo(const tinyxml2::XMLElement* node);
  void GetNetworkClientInfo(const tinyxml2::XMLElement* node);
  // `node` may be null (no element): the syslog output is then off.
  void GetSyslogInfo(const tinyxml2::XMLElement* node);
  // Fills `settings` from the element; returns what is wrong, or "".
  static std::string ReadSyslogSettings(const tinyxml2::XMLElement* node, SyslogSettings& settings);
  static NetworkTlsFiles ReadTlsFiles(const tinyxml2::XMLElement* node);
  void GetGlobalInfo(const tinyxml2::XMLElement* node);
  void GetModuleInfo(const tinyxml2::XMLElement* node);
  // `module` / `client` empty: the label is not within a module / client.
  void GetLabelInfo(const tinyxml2::XMLElement* node, const std::string& module, const std::string& client);
  void GetClientInfo(const tinyxml2::XMLElement* node, const char* labelElement, const std::string& module);

  BaseConfigProcessor* m_Processor;
  bool m_ReportToSystemLog;
  bool m_ReportUnreadableFile = true;
  std::string m_RawLogPath;
};
