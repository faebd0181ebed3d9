#pragma once
// File-backed shared memory in "{temp}" + name + ".map".
//
// Two forms: the creating constructor makes (and truncates) the file, sizes
// and maps it and becomes its owner, so its destructor removes the file; the
// opening constructor maps an existing file at its current length and never
// removes it. Both map the whole file read/write, shared between processes.
// Files are opened without following links and checked (see SharedFiles.h):
// a name another user planted or swapped is refused, never written through.
// The object owns the descriptor and the mapping; both are released in the
// destructor, which never raises. Access to the memory is serialised by the
// users (an InterProcessLock around every access).

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "Support/FileDescriptor.h"

class SharedMemory {
 public:
  // The user whose file an opener expects (root's and its own always pass).
  struct OwnedBy {
    uid_t uid;
  };

  // Creates "{temp}name.map" anew (O_EXCL; a stale file of this user at the
  // name is removed first) with `size` bytes and MapFileMode().
  SharedMemory(const std::string& name, uint32_t size);
  // Maps the existing "{temp}name.map" at its current length; the file must
  // belong to the owner of "{temp}" (the dispatcher).
  explicit SharedMemory(const std::string& name);
  // As above, for a file that must belong to `owner`.
  SharedMemory(const std::string& name, OwnedBy owner);
  virtual ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  uint8_t* Data() const { return static_cast<uint8_t*>(m_Address); }
  uint32_t Length() const { return m_Length; }
  const std::string& Path() const { return m_Path; }
  bool Owner() const { return m_Owner; }
  // True while the file at Path() is still the one mapped here (same device
  // and inode); false once it was removed or replaced by a newer file of the
  // same name. Lets a user remove the file by name without hitting a successor.
  bool IsFileAtPath() const;
  // False once the file was shortened below the mapped length (another
  // process truncated it): accesses past its end would raise SIGBUS.
  bool IsIntact() const;
  // Creator only: gives a truncated file its length back (the content of
  // the lost pages reads as zeros). False when that failed.
  bool RestoreLength() const;
  // Creator only: removes the file now (when it is still the mapped one);
  // the mapping stays valid and the destructor removes nothing.
  void RemoveFile();

  // "{temp}" + name + ".map".
  static std::string FilePath(const std::string& name);
  // Mode given to newly created map files: the group's read/write bits when
  // the installation directory grants others nothing, else 0666.
  static unsigned MapFileMode();

 private:
  uint32_t m_Length = 0;
  void* m_Address = nullptr;
  FileDescriptor m_Fd;
  std::string m_Path;
  bool m_Owner = false;
};
