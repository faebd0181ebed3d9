#include "Support/CFileSystem.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>

#include <cstring>

#include "Support/SharedFiles.h"

void CFileSystem::FindAllFiles(std::string directory, const std::string& prefix, const std::string& fragment,
                               std::list<std::string>& names) {
  if (!directory.empty() && directory.back() == '\\')
    directory.back() = '/';
  else if (directory.empty() || directory.back() != '/')
    directory += '/';
  DIR* dir = opendir(directory.c_str());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (strncmp(name, prefix.c_str(), prefix.size()) != 0) continue;
    if (!fragment.empty() && !strstr(name, fragment.c_str())) continue;
    names.emplace_back(name);
  }
  closedir(dir);
}

namespace {
// A directory made here gets the installation's group and read access for it
// alone when the installation grants others nothing (SharedFiles.h); with a
// world-accessible installation it keeps 0777 before the umask.
void AdoptLogDirectory(const std::string& path) {
  const mode_t mode = SharedFiles::LogDirectoryMode();
  if (mode & 07) return;
  SharedFiles::Directory dir(path);
  if (dir.Fd() >= 0) SharedFiles::Adopt(dir.Fd(), mode);
}
}  // namespace

bool CFileSystem::CreateDirectories(std::string directory) {
  while (directory.size() > 1 && (directory.back() == '/' || directory.back() == '\\')) directory.pop_back();
  if (directory.empty()) return false;
  // Walk the path left to right so every missing parent is made first; an
  // entry that already exists (made by us or a racing process) is fine.
  for (size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
    std::string part = directory.substr(0, slash);
    if (mkdir(part.c_str(), 0777) == 0) {
      AdoptLogDirectory(part);
    } else if (errno != EEXIST) {
      return false;
    }
    if (slash == std::string::npos) break;
  }
  struct stat st;
  return stat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
