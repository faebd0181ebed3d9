#pragma once
// Safe access to files in directories other users can write ("{temp}", the
// log directories).
//
// Trust boundary: the group that owns the installation directory
// (OLVAN_VORNEL_DIR, else "/usr/vornel"). When that directory grants nothing
// to others, files and directories made here get the group's bits and none
// for others (and the group itself); when it is world-accessible the
// historic modes stay, and any local user may trace and control.
//
// Every open is relative to a descriptor of the file's directory, never
// follows a link in the last component (O_NOFOLLOW) and checks the opened
// file with fstat (regular, one link, expected owner) before it is used, so
// a name planted or swapped by another user can never redirect the caller to
// a file elsewhere. New files are made with O_CREAT|O_EXCL. The process umask
// is never changed: modes are set with fchmod on the new descriptor.
//
// Functions return a descriptor the caller owns (>= 0), or -1 with errno set
// (ELOOP for a link, EINVAL for a non-regular or multiply linked file, EPERM
// for a wrong owner, EEXIST for a name taken by someone else). Thread-safe.

#include <sys/types.h>

#include <optional>
#include <string>

#include "Support/FileDescriptor.h"

namespace SharedFiles {

// The access policy read from the installation directory at each call.
struct Policy {
  bool worldAccessible = true;  // others have any access (or unknown)
  gid_t group = static_cast<gid_t>(-1);
};
Policy InstallationPolicy();

// Modes for what the facility makes, following the policy.
mode_t SharedFileMode();     // map, lock, PID, status files: 0666 or 0660
mode_t LogFileMode();        // 0666 or 0640
mode_t LogDirectoryMode();   // 0777 or 0750
mode_t TempDirectoryMode();  // 0777 or 03770

// Gives a descriptor just made by this process `mode` and, when the policy
// is a group, that group. Failures of the group change are ignored (a member
// creating in a setgid directory gets the group anyway).
void Adopt(int fd, mode_t mode);

// Splits "dir/name" (the directory part may end in several "/").
struct PathParts {
  std::string directory;
  std::string name;
};
PathParts Split(const std::string& path);

// A directory opened without following a link in its last component,
// unless the link belongs to root (as "/var/run"). Owns the descriptor (-1 when the open failed, errno kept).
class Directory {
 public:
  explicit Directory(const std::string& path);
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  int Fd() const { return m_Fd.get(); }

 private:
  FileDescriptor m_Fd;
};

// Checks an opened descriptor: regular file with one link, owned by
// `owner` when given (root's and this process's own files always pass).
bool IsTrustedFile(int fd, std::optional<uid_t> owner);

// Opens the existing regular file at `path` (flags: the access mode and
// O_APPEND/O_TRUNC as wanted). `owner` as for IsTrustedFile.
int OpenExisting(const std::string& path, int flags, std::optional<uid_t> owner);

// Creates `path` anew with O_EXCL, then Adopt(mode). A stale file of this
// process's own user at the name is removed first; a name held by another
// user fails with EEXIST (in a sticky directory nobody else could remove it).
int CreateNew(const std::string& path, int flags, mode_t mode);

// Opens the file when it exists (checked as OpenExisting with `owner`),
// creates it otherwise (as CreateNew); for lock files several processes open.
int OpenOrCreate(const std::string& path, int flags, mode_t mode, std::optional<uid_t> owner);

// Writes `content` to a fresh file beside `path` and renames it over `path`,
// so readers see the old or the new whole file and a link planted at `path`
// is replaced, never followed. Returns false with errno set.
bool ReplaceContent(const std::string& path, const std::string& content, mode_t mode);

// The owner of the directory of `path` (the dispatcher owns "{temp}"), or
// nothing when it cannot be examined.
std::optional<uid_t> DirectoryOwner(const std::string& path);

// The real user id of process `pid` (from /proc), or nothing when the
// process does not exist.
std::optional<uid_t> ProcessRealUid(pid_t pid);

// The owner of the file at `path` (not following a link), or nothing.
std::optional<uid_t> FileOwner(const std::string& path);

}  // namespace SharedFiles
