#pragma once
// Exclusive ownership of "{temp}" + name + ".lck": while the object lives no
// other object with the same name (in this or another process) can be
// constructed. Never blocks: construction fails at once when the lock is
// held. The lock belongs to this object's open file, so it is released when
// the object is destroyed or its process ends (a crash never leaves it held).

#include <string>

#include "Support/FileDescriptor.h"

class ExclusiveAccessUsingLockFile {
 public:
  // Raises "Bad logic:Error opening lock file, exclusive access denined" when
  // the file cannot be opened and "Fail to lock the file ..." when another
  // holder exists; in the latter case nothing on disk is changed.
  explicit ExclusiveAccessUsingLockFile(const std::string& name);
  // Removes the file and releases the lock; never raises.
  virtual ~ExclusiveAccessUsingLockFile();
  ExclusiveAccessUsingLockFile(const ExclusiveAccessUsingLockFile&) = delete;
  ExclusiveAccessUsingLockFile& operator=(const ExclusiveAccessUsingLockFile&) = delete;

  const std::string& LockFilePath() const { return m_Path; }
  // True when some holder (another object or process) has the lock on
  // "{temp}name.lck"; false when the file is missing or unlocked.
  static bool IsHeld(const std::string& name);

 private:
  std::string m_Path;
  FileDescriptor m_Fd;
};
