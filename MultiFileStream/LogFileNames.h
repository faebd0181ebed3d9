#pragma once
// The naming scheme of rotating log files and the listing of a directory's
// log files, oldest first.

#include <ctime>
#include <string>
#include <vector>

namespace LogFileNames {

// directory + prefix + "-YYYYMMDD-HHhMMmSS.mmms" (+ "_p" in preservation
// mode) + "." + extension, from the local time of `when`. The directory must
// already end in "/".
std::string Format(bool preservation, const std::string& directory, const std::string& prefix,
                   const std::string& extension, const timespec& when);

// A file counts as preserved when its full path contains "_p".
bool IsPreserved(const std::string& path);

// Full paths of the directory's files that begin with `prefix` and contain
// `extension`, split into preserved and normal files, each in ascending byte
// order (which is creation order, as names embed their time in fixed width).
struct Listing {
  std::vector<std::string> preserved;
  std::vector<std::string> normal;
};
Listing GetAllLogFiles(const std::string& directory, const std::string& prefix, const std::string& extension);

// Unlinks the oldest entries of `paths` until at most `keep` remain. A file
// that cannot be removed ends this round for the list, so a newer file is
// never deleted in its place. Returns the number of files removed.
size_t DeleteOldest(const std::vector<std::string>& paths, size_t keep);

// The directory ending in exactly one "/": a trailing backslash (as the
// settings deliver it) becomes "/", and "/" is appended when missing.
std::string NormaliseDirectory(std::string directory);

}  // namespace LogFileNames
