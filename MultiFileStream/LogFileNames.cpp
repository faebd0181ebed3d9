#include "MultiFileStream/LogFileNames.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <list>

#include "Support/CFileSystem.h"
#include "Support/Logging.h"
#include "Support/Validation2Exception.h"

namespace LogFileNames {

std::string Format(bool preservation, const std::string& directory, const std::string& prefix,
                   const std::string& extension, const timespec& when) {
  time_t seconds = when.tv_sec;
  tm local{};
  localtime_r(&seconds, &local);
  const char* format = preservation ? "%s%s-%04u%02u%02u-%02uh%02um%02u.%03us_p.%s"
                                    : "%s%s-%04u%02u%02u-%02uh%02um%02u.%03us.%s";
  int length = std::snprintf(nullptr, 0, format, directory.c_str(), prefix.c_str(), 1900u + local.tm_year,
                             1u + local.tm_mon, unsigned(local.tm_mday), unsigned(local.tm_hour),
                             unsigned(local.tm_min), unsigned(local.tm_sec), unsigned(when.tv_nsec / 1000000),
                             extension.c_str());
  std::string name(static_cast<size_t>(length), '\0');
  std::snprintf(name.data(), name.size() + 1, format, directory.c_str(), prefix.c_str(),
                1900u + local.tm_year, 1u + local.tm_mon, unsigned(local.tm_mday), unsigned(local.tm_hour),
                unsigned(local.tm_min), unsigned(local.tm_sec), unsigned(when.tv_nsec / 1000000),
                extension.c_str());
  return name;
}

bool IsPreserved(const std::string& path) { return path.find("_p") != std::string::npos; }

Listing GetAllLogFiles(const std::string& directory, const std::string& prefix,
                       const std::string& extension) {
  std::list<std::string> names;
  CFileSystem::FindAllFiles(directory, prefix, extension, names);
  names.sort();
  Listing listing;
  for (const std::string& name : names) {
    std::string path = directory + name;
    (IsPreserved(path) ? listing.preserved : listing.normal).push_back(std::move(path));
  }
  return listing;
}

size_t DeleteOldest(const std::vector<std::string>& paths, size_t keep) {
  size_t removed = 0;
  for (size_t i = 0; i + keep < paths.size(); ++i) {
    if (!Validation2Exception::ReportOSCall(unlink(paths[i].c_str()) == 0 || errno == ENOENT,
                                            "Can not delete file")) {
      KIV_DIAG_NOTHROW("can not delete file " << paths[i] << "\n");
      break;
    }
    ++removed;
  }
  return removed;
}

std::string NormaliseDirectory(std::string directory) {
  if (!directory.empty() && directory.back() == '/') return directory;
  if (!directory.empty() && directory.back() == '\\') directory.pop_back();
  return directory + "/";
}

}  // namespace LogFileNames
