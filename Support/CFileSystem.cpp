#include "Support/CFileSystem.h"

#include <dirent.h>

#include <cstring>

void CFileSystem::FindAllFiles(std::string directory, const std::string& prefix, const std::string& fragment,
                               std::list<std::string>& names) {
  if (!directory.empty() && directory.back() == '\\') directory.back() = '/';
  else if (directory.empty() || directory.back() != '/') directory += '/';
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
