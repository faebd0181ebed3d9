#include "Support/SharedFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace SharedFiles {

namespace {
constexpr int kSafeOpen = O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
constexpr int kCreateAttempts = 4;

int OpenExistingAt(int dirFd, const std::string& name, int flags, std::optional<uid_t> owner) {
  // Closed on every path out but success, keeping the errno of the failure.
  FileDescriptor fd(::openat(dirFd, name.c_str(), (flags & ~(O_CREAT | O_EXCL)) | kSafeOpen));
  if (!fd.valid() || !IsTrustedFile(fd.get(), owner)) return -1;
  return fd.release();
}

int CreateNewAt(int dirFd, const std::string& name, int flags, mode_t mode) {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    // Mode 0 until Adopt: nobody may open the file before it has its final
    // mode and group.
    int fd = ::openat(dirFd, name.c_str(), flags | O_CREAT | O_EXCL | kSafeOpen, 0);
    if (fd >= 0) {
      Adopt(fd, mode);
      return fd;
    }
    if (errno != EEXIST) return -1;
    // A stale file (or a planted link) at the name goes; in a sticky
    // directory only its owner can remove it, so another user's name stays
    // taken and this fails.
    if (::unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT) {
      errno = EEXIST;
      return -1;
    }
  }
  errno = EEXIST;
  return -1;
}

bool IsGroupMode(mode_t mode) { return (mode & 07) == 0; }
}  // namespace

Policy InstallationPolicy() {
  const char* dir = getenv("OLVAN_VORNEL_DIR");
  if (!dir) dir = "/usr/vornel";
  Policy policy;
  struct stat st {};
  if (::stat(dir, &st) != 0) return policy;
  policy.worldAccessible = (st.st_mode & 07) != 0;
  policy.group = st.st_gid;
  return policy;
}

mode_t SharedFileMode() { return InstallationPolicy().worldAccessible ? 0666 : 0660; }
mode_t LogFileMode() { return InstallationPolicy().worldAccessible ? 0666 : 0640; }
mode_t LogDirectoryMode() { return InstallationPolicy().worldAccessible ? 0777 : 0750; }
mode_t TempDirectoryMode() { return InstallationPolicy().worldAccessible ? 0777 : 03770; }

void Adopt(int fd, mode_t mode) {
  if (IsGroupMode(mode)) {
    Policy policy = InstallationPolicy();
    if (!policy.worldAccessible && ::fchown(fd, static_cast<uid_t>(-1), policy.group) != 0) {
      // Not a member of that group: the directory's setgid bit decided.
    }
  }
  ::fchmod(fd, mode);
}

PathParts Split(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  std::string directory = path.substr(0, slash);
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  if (directory.empty()) directory.assign(1, '/');  // not = "/": a false -Wrestrict in optimised builds
  return {directory, path.substr(slash + 1)};
}

Directory::Directory(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  m_Fd.reset(::open(trimmed.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (m_Fd.valid() || (errno != ENOTDIR && errno != ELOOP)) return;
  // A link only root can have made (as "/var/run") is followed.
  struct stat st {};
  if (::lstat(trimmed.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && st.st_uid == 0)
    m_Fd.reset(::open(trimmed.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  else
    errno = ELOOP;
}

bool IsTrustedFile(int fd, std::optional<uid_t> owner) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  // A hard link to a file elsewhere has a second name.
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
    errno = EINVAL;
    return false;
  }
  if (owner && st.st_uid != *owner && st.st_uid != 0 && st.st_uid != geteuid()) {
    errno = EPERM;
    return false;
  }
  return true;
}

int OpenExisting(const std::string& path, int flags, std::optional<uid_t> owner) {
  PathParts parts = Split(path);
  Directory dir(parts.directory);
  if (dir.Fd() < 0) return -1;
  return OpenExistingAt(dir.Fd(), parts.name, flags, owner);
}

int CreateNew(const std::string& path, int flags, mode_t mode) {
  PathParts parts = Split(path);
  Directory dir(parts.directory);
  if (dir.Fd() < 0) return -1;
  return CreateNewAt(dir.Fd(), parts.name, flags, mode);
}

int OpenOrCreate(const std::string& path, int flags, mode_t mode, std::optional<uid_t> owner) {
  PathParts parts = Split(path);
  Directory dir(parts.directory);
  if (dir.Fd() < 0) return -1;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    int fd = OpenExistingAt(dir.Fd(), parts.name, flags, owner);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = ::openat(dir.Fd(), parts.name.c_str(), flags | O_CREAT | O_EXCL | kSafeOpen, 0);
    if (fd >= 0) {
      Adopt(fd, mode);
      return fd;
    }
    if (errno != EEXIST) return -1;  // else made meanwhile by someone else: open theirs
  }
  errno = EEXIST;
  return -1;
}

bool ReplaceContent(const std::string& path, const std::string& content, mode_t mode) {
  PathParts parts = Split(path);
  Directory dir(parts.directory);
  if (dir.Fd() < 0) return false;
  const std::string staging = parts.name + ".new" + std::to_string(static_cast<long>(getpid()));
  FileDescriptor fd(CreateNewAt(dir.Fd(), staging, O_WRONLY, mode));
  if (!fd.valid()) return false;
  size_t written = 0;
  bool ok = true;
  while (ok && written < content.size()) {
    ssize_t n = ::write(fd.get(), content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) written += static_cast<size_t>(n);
  }
  if (!fd.close()) ok = false;
  if (ok && ::renameat(dir.Fd(), staging.c_str(), dir.Fd(), parts.name.c_str()) == 0) return true;
  int saved = errno;
  ::unlinkat(dir.Fd(), staging.c_str(), 0);
  errno = saved;
  return false;
}

std::optional<uid_t> DirectoryOwner(const std::string& path) {
  Directory dir(Split(path).directory);
  struct stat st {};
  if (dir.Fd() < 0 || ::fstat(dir.Fd(), &st) != 0) return std::nullopt;
  return st.st_uid;
}

std::optional<uid_t> ProcessRealUid(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(static_cast<long>(pid)) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "Uid:") {
      unsigned long uid = 0;
      if (status >> uid) return static_cast<uid_t>(uid);
      return std::nullopt;
    }
    std::getline(status, key);
  }
  return std::nullopt;
}

std::optional<uid_t> FileOwner(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return st.st_uid;
}

}  // namespace SharedFiles
