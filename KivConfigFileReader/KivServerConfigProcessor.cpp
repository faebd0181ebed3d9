#include "KivConfigFileReader/KivServerConfigProcessor.h"

#include "Support/CRuntimeInfo.h"

void KivServerConfigProcessor::SetLogFilePath(const std::string& rawPath) {
  m_Config->m_LogDirectory = CRuntimeInfo::FormatEnvironmentVariables(rawPath) + "\\";
}
