#pragma once
// "kivtool export [-d source_dir|-s source_file] [-f [dest_file]|-m dest_dir]
// [-l separator] [-silent] [filters] [-format text|json|csv] [-utc]": binary
// log files to text, JSON Lines or CSV files.

#include <iostream>

#include "CommandProcess/CmdProcess.h"
#include "kivtool/LogExporter.h"

class ExportCommandProcessor : public CommandLineParser::CommandProcessor {
 public:
  // Progress goes to `progress`, which must outlive the object.
  explicit ExportCommandProcessor(std::ostream& progress = std::cerr) : m_Progress(progress) {}

  void Process(CommandLineParser::CommandOptions& options) override;

  // The export the options ask for. Reads the configuration only when the
  // source directory is not given.
  static ExportRequest MakeRequest(const CommandLineParser::CommandOptions& options);

 private:
  std::ostream& m_Progress;
};
