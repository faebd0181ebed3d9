#include "kivtool/CleanCommand.h"

#include "kivtool/LogCleaner.h"
#include "kivtool/LogDirectory.h"

void CleanCommandProcessor::Process(CommandLineParser::CommandOptions& options) {
  std::string directory = ConfiguredLogDirectory() + "/";
  if (options.Has("F")) {
    LogCleaner::DeleteFile(directory);
    return;
  }
  switch (LogCleaner::Confirm(directory, m_In, m_Out)) {
    case LogCleaner::Answer::Yes:
      LogCleaner::DeleteFile(directory);
      m_Out << "All log files have been deleted." << std::endl;
      break;
    case LogCleaner::Answer::No:
      break;
    case LogCleaner::Answer::NoAnswer:
      // Without a "Y" nothing is deleted; the operator learns why.
      m_Out << "\nNo answer was given; no log files have been deleted." << std::endl;
      break;
  }
}
