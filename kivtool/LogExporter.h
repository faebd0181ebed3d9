#pragma once
// Conversion of binary log files to text files, as "kivtool export" does it.

#include <ostream>
#include <string>

#include "MultiFileStream/MultiFileInputStream.h"

struct ExportRequest {
  // Source: a directory of log files, or (fromFile) the log file set that one
  // file names: every file of its directory whose name starts with its name
  // less its last four characters.
  bool fromFile = false;
  std::string source;
  // Directory source: true writes everything into `output` (a file), false
  // writes one file per log file into `output` (a directory). A file source
  // always writes one file.
  bool singleOutput = false;
  std::string output;
  std::string separator = " ";
  bool showProgress = true;
};

class LogExporter {
 public:
  // Progress characters go to `progress` (when the request asks for them).
  explicit LogExporter(std::ostream& progress) : m_Progress(progress) {}

  // Damage ends the reading of its file only: every other file is exported
  // whole, then one error names each damaged file and the bytes skipped.
  // Files that are too small or lack the binary header are skipped.
  void Run(const ExportRequest& request);

  // Directory and name of a file path: "./" when it has no "/".
  static std::pair<std::string, std::string> SplitPath(const std::string& path);
  // The log file name without its last four characters (".txt").
  static std::string BaseName(const std::string& name);

 private:
  // Writes the text header and renders `input` into a new file at `path`.
  void ExportTo(KivBinaryMultiFileInputStream& input, const std::string& path, const ExportRequest& request);

  std::ostream& m_Progress;
};
