#pragma once
// Conversion of binary log files to text, JSON Lines or CSV files, as
// "kivtool export" does it. JSON log files ("kivlog-*.json") are copied as
// they are: per file beside the other exports, after the file of a single
// export (its name with ".json" for its extension), or as one file for a
// ".json" source file's set. Record filters do not apply to the copies.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "MultiFileStream/MultiFileInputStream.h"
#include "kivtool/RecordRendering.h"

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
  bool showProgress = true;
  // Format, separator, time zone and record filter.
  RenderOptions render;
  // Directory source: only the files of these peers ("kivlog-<host>-...");
  // empty: every file.
  std::vector<std::string> hosts;
};

class LogExporter {
 public:
  // Progress characters and the report of what was written go to `progress`
  // (when the request asks for progress).
  explicit LogExporter(std::ostream& progress) : m_Progress(progress) {}

  // Raises "no log files in <directory>" (creating nothing) when the source
  // holds no log file or does not exist. Damage ends the reading of its file
  // only: every other file is exported whole, then one error names each
  // damaged file and the bytes skipped. Files that are too small or lack the
  // binary header are skipped. Returns the number of records written.
  uint64_t Run(const ExportRequest& request);

  // Directory and name of a file path: "./" when it has no "/".
  static std::pair<std::string, std::string> SplitPath(const std::string& path);
  // The log file name without its last four characters (".txt").
  static std::string BaseName(const std::string& name);
  // The log file names of `directory` ("kivlog-*.txt"), sorted, of the given
  // hosts only when `hosts` is not empty.
  static std::vector<std::string> ListLogFiles(const std::string& directory,
                                               const std::vector<std::string>& hosts);

 private:
  // Writes the format's header and renders `input` into a new file at `path`.
  void ExportTo(KivBinaryMultiFileInputStream& input, const std::string& path, const ExportRequest& request);
  // The file name extension of the request's format (".txt" for text).
  static std::string Extension(const ExportRequest& request);

  std::ostream& m_Progress;
  uint64_t m_Records = 0;
};
