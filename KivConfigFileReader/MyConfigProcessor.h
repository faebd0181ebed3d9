#pragma once
// Processor of the export and clean commands: keeps only the raw log
// directory text ("Logfile" "path", not expanded; the callers expand it).
// Reading errors also go to the system log.

#include <string>

#include "KivConfigFileReader/BaseConfigProcessor.h"

class MyConfigProcessor : public BaseConfigProcessor {
 public:
  static constexpr bool s_ReportErrorsToSystemLog = true;

  void SetLogFilePath(const std::string& rawPath) override { m_LogPath = rawPath; }
  // Empty until a reading reached "Logfile" (the trace switch must be on).
  const std::string& LogPath() const { return m_LogPath; }

 private:
  std::string m_LogPath;
};
