#include "kivtool/LogExporter.h"

#include <cstring>
#include <fstream>
#include <list>
#include <vector>

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

namespace {
constexpr char kJsonExtension[] = ".json";

// JSON log files are already in their exported form: the export copies them.
void CopyJsonLogs(const std::vector<std::string>& paths, const std::string& output) {
  ExportFile out(output);
  std::vector<char> buffer(64 * 1024);
  for (const std::string& path : paths) {
    std::ifstream in(path, std::ios::binary);
    Validation2Exception::CheckOSCall(in.is_open(), "Can not open log file " + path);
    while (in) {
      in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      if (in.gcount() > 0) out.write(buffer.data(), static_cast<uint64_t>(in.gcount()));
    }
  }
  out.Flush();
}

// The JSON log files of `directory` whose names begin with `prefix`, oldest first.
std::vector<std::string> JsonLogs(const std::string& directory, const std::string& prefix) {
  std::list<std::string> names;
  CFileSystem::FindAllFiles(directory, prefix, kJsonExtension, names);
  names.sort();
  std::string dir = directory;
  if (dir.empty() || dir.back() != '/') dir += '/';
  std::vector<std::string> paths;
  for (const std::string& name : names)
    if (name.ends_with(kJsonExtension)) paths.push_back(dir + name);
  return paths;
}
}  // namespace

void LogExporter::Run(const ExportRequest& request) {
  if (request.fromFile && request.source.ends_with(kJsonExtension)) {
    auto [directory, name] = SplitPath(request.source);
    std::string base = name.substr(0, name.size() - std::strlen(kJsonExtension));
    CopyJsonLogs(JsonLogs(directory, base),
                 request.output.empty() ? "EXPORT-" + base + kJsonExtension : request.output);
    return;
  }
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
    std::string output = request.output.empty() ? "kivexport.txt" : request.output;
    ExportTo(input, output, request);
    // JSON logs cannot join the text file: they go beside it.
    std::vector<std::string> json = JsonLogs(request.source, "kivlog-");
    if (!json.empty())
      CopyJsonLogs(
          json, (output.ends_with(".txt") ? output.substr(0, output.size() - 4) : output) + kJsonExtension);
    return;
  }
  std::list<std::string> names;
  CFileSystem::FindAllFiles(request.source, "kivlog-", ".txt", names);
  names.sort();
  std::string source = request.source;
  if (source.empty() || source.back() != '/') source += '/';
  std::string destination = request.output.empty() ? "." : request.output;
  for (const std::string& name : names) {
    // Each output holds exactly its own log file: collecting by the name as a
    // prefix would also pull in every longer name that starts with it (the
    // "_p" file of the same millisecond, or kivlog-AB beside kivlog-A).
    KivBinaryMultiFileInputStream input;
    input.AddFile(source + name, true);
    ExportTo(input, destination + "/EXPORT-" + BaseName(name) + ".txt", request);
  }
  for (const std::string& path : JsonLogs(request.source, "kivlog-"))
    CopyJsonLogs({path}, destination + "/EXPORT-" + SplitPath(path).second);
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
