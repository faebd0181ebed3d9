#pragma once
// Directory listing by name prefix and fragment.

#include <list>
#include <string>

class CFileSystem {
 public:
  // Appends to `names` the entries of `directory` whose name starts with
  // `prefix` and contains `fragment`, in directory order. A directory that
  // cannot be opened leaves the list unchanged.
  static void FindAllFiles(std::string directory, const std::string& prefix, const std::string& fragment,
                           std::list<std::string>& names);
  // Creates `directory` and any missing parents (mode 0777 before the
  // umask, or SharedFiles::LogDirectoryMode() with the installation's group
  // when the installation grants others nothing). A trailing "/" or "\\" is ignored. Returns false when the
  // directory does not exist afterwards.
  static bool CreateDirectories(std::string directory);
  // Removes everything inside `directory` except its entry named `keep`,
  // never following a link: the walk goes through directory descriptors
  // (openat, unlinkat), so an entry swapped for a link meanwhile is removed
  // as a link, never entered. Returns false when anything remained, with
  // the first entry that could not be removed in `failed`, or when the
  // directory could not be opened (`failed` left empty, errno set).
  static bool RemoveContents(const std::string& directory, const std::string& keep, std::string& failed);
};
