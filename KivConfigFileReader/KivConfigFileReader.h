#pragma once
// Reading "KivConfigLinux.xml". A KivConfigFileReader is made on the stack for
// one reading over a processor that decides what is kept:
//
//   KivServerConfig config;
//   KivServerConfigProcessor processor(config);
//   KivConfigFileReader<KivServerConfigProcessor>(processor).Read(KivConfigPathPolicy().Get());
//
// Processors: KivServerConfigProcessor (dispatcher settings),
// KivClientConfigProcessor<FilterManager> (client settings and filter rules),
// MyConfigProcessor (the raw log directory only). The configuration server
// that holds the dispatcher's settings is in ConfigServer.h.

#include <string>

#include "KivConfigFileReader/ConfigDocumentReader.h"
#include "KivConfigFileReader/ConfigServer.h"
#include "KivConfigFileReader/KivClientConfigProcessor.h"
#include "KivConfigFileReader/KivServerConfig.h"
#include "KivConfigFileReader/KivServerConfigProcessor.h"
#include "KivConfigFileReader/MyConfigProcessor.h"
#include "KivConfigFileReader/NetworkMode.h"

// The processor decides, through its s_ReportErrorsToSystemLog, whether a
// parse failure also goes to the system log under "KivServer".
template <class Processor>
class KivConfigFileReader : public ConfigDocumentReader {
 public:
  explicit KivConfigFileReader(Processor& processor)
      : ConfigDocumentReader(processor, Processor::s_ReportErrorsToSystemLog), m_Processor(&processor) {}

  Processor& GetProcessor() const { return *m_Processor; }

 private:
  Processor* m_Processor;
};

// Reads the file at `path` into `config` (the dispatcher's reading at start
// and on reload, where `reportUnreadableFile` stays true; see
// ConfigDocumentReader::SetReportUnreadableFile). Never raises.
inline void ReadKivServerConfig(KivServerConfig& config, const std::string& path,
                                bool reportUnreadableFile = true) {
  KivServerConfigProcessor processor(config);
  KivConfigFileReader<KivServerConfigProcessor> reader(processor);
  reader.SetReportUnreadableFile(reportUnreadableFile);
  reader.Read(path);
}
