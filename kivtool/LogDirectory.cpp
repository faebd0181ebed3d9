#include "kivtool/LogDirectory.h"

#include "KivConfigFileReader/KivConfigFileReader.h"
#include "Support/CRuntimeInfo.h"
#include "Support/ConfigPath.h"
#include "Support/Validation2Exception.h"

std::string ConfiguredLogDirectory() {
  MyConfigProcessor processor;
  KivConfigFileReader<MyConfigProcessor>(processor).Read(KivConfigPathPolicy().Get());
  std::string directory = CRuntimeInfo::FormatEnvironmentVariables(processor.LogPath());
  Validation2Exception::CheckLogic(!directory.empty(), "No log file directory in the configuration file");
  return directory;
}
