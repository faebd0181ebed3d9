#include "kivtool/LogExporter.h"

#include <list>

#include "MultiFileStream/KivFileOutputSupport.h"
#include "Support/CFileSystem.h"
#include "Support/Validation2Exception.h"
#include "kivtool/ExportFile.h"
#include "kivtool/TraceTextRendering.h"

std::pair<std::string, std::string> LogExporter::SplitPath(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {"./", path};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

std::string LogExporter::BaseName(const std::string& name) {
  // A name of four characters or less would become an empty prefix matching
  // every file; keep it whole instead.
  return name.size() > 4 ? name.substr(0, name.size() - 4) : name;
}

void LogExporter::Run(const ExportRequest& request) {
  if (request.fromFile) {
    auto [directory, name] = SplitPath(request.source);
    std::string base = BaseName(name);
    KivBinaryMultiFileInputStream input;
    input.GetAllLogFiles(directory, base, "txt", "binary");
    ExportTo(input, request.output.empty() ? "EXPORT-" + base + ".txt" : request.output, request);
    return;
  }
  if (request.singleOutput) {
    KivBinaryMultiFileInputStream input;
    input.GetAllLogFiles(request.source, "kivlog-", "txt", "binary");
    ExportTo(input, request.output.empty() ? "kivexport.txt" : request.output, request);
    return;
  }
  std::list<std::string> names;
  CFileSystem::FindAllFiles(request.source, "kivlog-", ".txt", names);
  names.sort();
  std::string source = request.source;
  if (source.empty() || source.back() != '/') source += '/';
  std::string destination = request.output.empty() ? "." : request.output;
  std::string failures;
  for (const std::string& name : names) {
    // Each output holds exactly its own log file: collecting by the name as a
    // prefix would also pull in every longer name that starts with it (the
    // "_p" file of the same millisecond, or kivlog-AB beside kivlog-A).
    KivBinaryMultiFileInputStream input;
    input.AddFile(source + name, true);
    // A damaged file must not keep the files after it from being exported.
    try {
      ExportTo(input, destination + "/EXPORT-" + BaseName(name) + ".txt", request);
    } catch (const std::exception& e) {
      failures += (failures.empty() ? "" : "; ") + std::string(e.what());
    }
  }
  if (!failures.empty()) Validation2Exception::Raise(LogicException(failures, __FILE__, __LINE__));
}

void LogExporter::ExportTo(KivBinaryMultiFileInputStream& input, const std::string& path,
                           const ExportRequest& request) {
  ExportFile output(path);
  const std::string& header = KivTextFileOutputSupport::GetHeader();
  output.write(header.data(), header.size());
  try {
    RenderTraceText(input, output, request.separator, m_Progress, request.showProgress);
  } catch (...) {
    output.Flush();  // keep everything rendered before the damage
    if (request.showProgress) m_Progress << std::endl;
    throw;
  }
  output.Flush();
  if (request.showProgress) m_Progress << std::endl;
}
