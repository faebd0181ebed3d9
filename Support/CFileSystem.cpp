#include "Support/CFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Support/FileDescriptor.h"
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

// Removes everything below the directory `dirFd` except the entry `keep`.
bool EmptyDirectory(int dirFd, const std::string& keep, std::string& failed) {
  FileDescriptor listFd(::dup(dirFd));
  if (!listFd.valid()) return false;
  DIR* list = ::fdopendir(listFd.get());
  if (!list) return false;
  listFd.release();  // closedir closes it
  bool clean = true;
  auto fail = [&](const char* name) {
    if (clean) failed = name;
    clean = false;
  };
  while (dirent* entry = ::readdir(list)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 || keep == name) continue;
    // A directory is opened without following a link, so a sub-directory
    // swapped for a link meanwhile is removed as a link, never entered.
    FileDescriptor sub(::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub.valid()) {
      std::string below;
      if (!EmptyDirectory(sub.get(), "", below)) fail(name);
      sub.reset();
      if (::unlinkat(dirFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) fail(name);
      continue;
    }
    if (::unlinkat(dirFd, name, 0) != 0 && errno != ENOENT) fail(name);
  }
  ::closedir(list);
  return clean;
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

bool CFileSystem::RemoveContents(const std::string& directory, const std::string& keep, std::string& failed) {
  SharedFiles::Directory dir(directory);
  return dir.Fd() >= 0 && EmptyDirectory(dir.Fd(), keep, failed);
}
