#pragma once
// File-backed shared memory in "{temp}" + name + ".map".
//
// Two forms: the creating constructor makes (and truncates) the file, sizes
// and maps it and becomes its owner, so its destructor removes the file; the
// opening constructor maps an existing file at its current length and never
// removes it. Both map the whole file read/write, shared between processes.
// The object owns the descriptor and the mapping; both are released in the
// destructor, which never raises. Access to the memory is serialised by the
// users (an InterProcessLock around every access).

#include <cstdint>
#include <string>

class SharedMemory {
 public:
  // Creates "{temp}name.map" with `size` bytes. The file mode is the read and
  // write bits of the installation directory (OLVAN_VORNEL_DIR, else
  // "/usr/vornel"), 0666 when that cannot be examined.
  SharedMemory(const std::string& name, uint32_t size);
  // Maps the existing "{temp}name.map" at its current length.
  explicit SharedMemory(const std::string& name);
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
  // An owner gives up its file: removed now when it is still the one at
  // Path(), and not again by the destructor. The mapping stays usable.
  void ReleaseFile();

  // "{temp}" + name + ".map".
  static std::string FilePath(const std::string& name);
  // Mode given to newly created map files (see the creating constructor).
  static unsigned MapFileMode();

 private:
  uint32_t m_Length = 0;
  void* m_Address = nullptr;
  int m_Fd = -1;
  std::string m_Path;
  bool m_Owner = false;
};
