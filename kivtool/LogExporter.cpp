#include "kivtool/LogExporter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <list>
#include <stdexcept>

#include "MultiFileStream/KivFileOutputSupport.h"
#include "Support/CFileSystem.h"
#include "Support/Validation2Exception.h"
#include "kivtool/ExportFile.h"
#include "kivtool/TraceTextRendering.h"

namespace {

std::string WithSlash(std::string directory) {
  if (directory.empty() || directory.back() != '/') directory += '/';
  return directory;
}

[[noreturn]] void NoLogFiles(const std::string& where) {
  throw std::runtime_error("no log files in " + where);
}

}  // namespace

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

// The JSON log files of `directory` whose names begin with `prefix` (and, when
// `hosts` is not empty, belong to one of them), oldest first.
std::vector<std::string> JsonLogs(const std::string& directory, const std::string& prefix,
                                  const std::vector<std::string>& hosts = {}) {
  std::list<std::string> names;
  CFileSystem::FindAllFiles(directory, prefix, kJsonExtension, names);
  names.sort();
  std::string dir = directory;
  if (dir.empty() || dir.back() != '/') dir += '/';
  std::vector<std::string> paths;
  for (const std::string& name : names) {
    const bool ofHost = std::any_of(hosts.begin(), hosts.end(), [&](const std::string& host) {
      return name.starts_with("kivlog-" + host + "-");
    });
    if (name.ends_with(kJsonExtension) && (hosts.empty() || ofHost)) paths.push_back(dir + name);
  }
  return paths;
}
}  // namespace

std::vector<std::string> LogExporter::ListLogFiles(const std::string& directory,
                                                   const std::vector<std::string>& hosts) {
  std::list<std::string> listed;
  CFileSystem::FindAllFiles(directory, "kivlog-", ".txt", listed);
  std::vector<std::string> names;
  for (const std::string& name : listed) {
    const bool ofHost = std::any_of(hosts.begin(), hosts.end(), [&](const std::string& host) {
      return name.starts_with("kivlog-" + host + "-");
    });
    if (hosts.empty() || ofHost) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string LogExporter::Extension(const ExportRequest& request) {
  switch (request.render.format) {
    case OutputFormat::kJson:
      return ".json";
    case OutputFormat::kCsv:
      return ".csv";
    case OutputFormat::kText:
      break;
  }
  return ".txt";
}

uint64_t LogExporter::Run(const ExportRequest& request) {
  m_Records = 0;
  if (request.fromFile && request.source.ends_with(kJsonExtension)) {
    auto [directory, name] = SplitPath(request.source);
    std::string base = name.substr(0, name.size() - std::strlen(kJsonExtension));
    const std::vector<std::string> json = JsonLogs(directory, base);
    if (json.empty()) NoLogFiles(request.source);
    CopyJsonLogs(json, request.output.empty() ? "EXPORT-" + base + kJsonExtension : request.output);
    return m_Records;
  }
  if (request.fromFile) {
    auto [directory, name] = SplitPath(request.source);
    std::string base = BaseName(name);
    KivBinaryMultiFileInputStream input;
    if (input.GetAllLogFiles(directory, base, "txt", "binary") == 0) NoLogFiles(request.source);
    ExportTo(input, request.output.empty() ? "EXPORT-" + base + Extension(request) : request.output, request);
    return m_Records;
  }
  struct stat info {};
  if (::stat(request.source.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) NoLogFiles(request.source);
  const std::string source = WithSlash(request.source);
  // Text logs are listed too and skipped by the binary reader; JSON logs
  // are copied rather than decoded.
  const std::vector<std::string> names = ListLogFiles(source, request.hosts);
  KivBinaryMultiFileInputStream all;
  for (const std::string& name : names) all.AddFile(source + name, true);
  const std::vector<std::string> json = JsonLogs(source, "kivlog-", request.hosts);
  if (all.FilesLeft() == 0 && json.empty()) NoLogFiles(request.source);

  if (request.singleOutput) {
    const std::string output = request.output.empty() ? "kivexport" + Extension(request) : request.output;
    const bool decoded = all.FilesLeft() != 0;
    if (decoded) ExportTo(all, output, request);
    // JSON logs cannot join the decoded file: they go beside it.
    if (!json.empty()) {
      const size_t dot = output.rfind('.');
      const bool hasExtension = dot != std::string::npos && output.find('/', dot) == std::string::npos;
      std::string copy = (hasExtension ? output.substr(0, dot) : output) + kJsonExtension;
      // A JSON export of binary logs already has that name.
      if (copy == output && decoded) copy = output.substr(0, dot) + "-logs" + kJsonExtension;
      CopyJsonLogs(json, copy);
    }
    return m_Records;
  }
  const std::string destination = request.output.empty() ? "." : request.output;
  std::string failures;
  for (const std::string& name : names) {
    // Each output holds exactly its own log file: collecting by the name as a
    // prefix would also pull in every longer name that starts with it (the
    // "_p" file of the same millisecond, or kivlog-AB beside kivlog-A).
    KivBinaryMultiFileInputStream input;
    input.AddFile(source + name, true);
    // A damaged file must not keep the files after it from being exported.
    try {
      ExportTo(input, destination + "/" + "EXPORT-" + BaseName(name) + Extension(request), request);
    } catch (const std::exception& e) {
      failures += (failures.empty() ? "" : "; ") + std::string(e.what());
    }
  }
  for (const std::string& path : json)
    CopyJsonLogs({path}, destination + "/EXPORT-" + SplitPath(path).second);
  if (!failures.empty()) Validation2Exception::Raise(LogicException(failures, __FILE__, __LINE__));
  return m_Records;
}

void LogExporter::ExportTo(KivBinaryMultiFileInputStream& input, const std::string& path,
                           const ExportRequest& request) {
  ExportFile output(path);
  const std::string header = FormatHeader(request.render.format, KivTextFileOutputSupport::GetHeader());
  output.write(header.data(), header.size());
  uint64_t records = 0;
  try {
    records = RenderRecords(input, output, request.render, m_Progress, request.showProgress);
  } catch (...) {
    output.Flush();  // keep everything rendered before the damage
    if (request.showProgress)
      m_Progress << std::endl << "Wrote " << path << " (cut short by damage)" << std::endl;
    throw;
  }
  output.Flush();
  m_Records += records;
  if (request.showProgress)
    m_Progress << std::endl
               << "Wrote " << records << " record" << (records == 1 ? "" : "s") << " to " << path
               << std::endl;
}
