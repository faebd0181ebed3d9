#pragma once
// A lock shared between processes: a write record lock on byte 0 of
// "{temp}" + name + ".lck". Used through AutoSync<InterProcessLock> around
// every access to a shared buffer.
//
// The lock belongs to this object's open file (not to the whole process), so
// two objects with the same name exclude each other even inside one process,
// and closing one object's file never drops a lock held through another. It
// conflicts with plain fcntl/lockf record locks other processes take on the
// same byte. A child process must create its own object rather than use one
// inherited across fork (the inherited file is shared with the parent).
// Calls on one object from several threads are serialised by the caller.

#include <string>

#include "Support/FileDescriptor.h"
#include "Support/ThreadAnnotations.h"

class CAPABILITY("interprocess lock") InterProcessLock {
 public:
  // The owner (`removeFile` true) opens or creates the lock file (mode
  // SharedFiles::SharedFileMode()); a borrower (`removeFile` false) opens the
  // existing file, which must belong to the owner of "{temp}". Files are
  // opened without following links (see SharedFiles.h). Raises "Unable to
  // open lock file". A borrower's destructor leaves the file in place:
  // removing it while others wait on it lets the next opener create a fresh
  // file and take a "lock" that excludes nobody.
  explicit InterProcessLock(const std::string& name, bool removeFile = true);
  // Closes the file and (unless constructed with removeFile false) removes
  // it; never raises. Processes still using the name keep working on the
  // removed file; the next object creates a new one.
  virtual ~InterProcessLock();
  InterProcessLock(const InterProcessLock&) = delete;
  InterProcessLock& operator=(const InterProcessLock&) = delete;

  // The owner blocks until the lock is granted ("Can not lock"). A borrower
  // waits at most kBorrowerDeadlineMs, then raises "Can not lock" with
  // ETIMEDOUT: another process holding the lock must never stall it.
  void Lock() ACQUIRE();
  static constexpr int kBorrowerDeadlineMs = 300;
  // "Can not unlock".
  void Unlock() RELEASE();

  const std::string& Path() const { return m_Path; }

 private:
  std::string m_Path;
  FileDescriptor m_Fd;
  bool m_RemoveFile = true;
};
