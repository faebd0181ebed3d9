#pragma once
// The kind-independent part of MultiFileOutputStream: appends whole blocks of
// bytes to a series of log files in one directory, each starting with a fixed
// header, switching to a new file at a size limit and pruning the oldest files
// to their count limits at every switch.
//
// No lock of its own: the owner serialises every call. Nothing raised while
// writing leaves write(); failures are logged in diagnostic mode and the data
// concerned is dropped.

#include <sys/uio.h>

#include <cstdint>
#include <string>

#include "Support/FileDescriptor.h"

struct RotatingFileLimits {
  uint32_t maxFileCount = 10;                 // files kept in normal mode
  uint32_t maxFileSize = 100 * 1024;          // bytes per file in normal mode
  uint32_t preserveMaxFileCount = 10;         // files kept in preservation mode
  uint32_t preserveMaxFileSize = 100 * 1024;  // bytes per file in preservation mode
};

class RotatingFileOutput {
 public:
  // Where the bytes of one append go: the file (device and inode) and its
  // size once they are all in it.
  struct Placement {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t end = 0;
  };
  // Told on the writing thread, just before the bytes are handed to the
  // file, where they go: a writer that must later learn whether a write cut
  // off by the death of the process reached the file compares the file's
  // size with `end`. Set for one write by an ObserverScope on that thread.
  class AppendObserver {
   public:
    virtual void BeforeAppend(const Placement& placement) noexcept = 0;

   protected:
    ~AppendObserver() = default;
  };
  class ObserverScope {
   public:
    explicit ObserverScope(AppendObserver* observer) : m_Saved(t_Observer) { t_Observer = observer; }
    ~ObserverScope() { t_Observer = m_Saved; }
    ObserverScope(const ObserverScope&) = delete;
    ObserverScope& operator=(const ObserverScope&) = delete;

   private:
    AppendObserver* m_Saved;
  };

  // Opens no file: the first write() does. `directory` is normalised to end
  // in one "/" (a trailing backslash becomes "/").
  RotatingFileOutput(std::string directory, std::string prefix, std::string extension, bool preservation,
                     const RotatingFileLimits& limits, std::string header);
  // Closes the current file, if any.
  virtual ~RotatingFileOutput();
  RotatingFileOutput(const RotatingFileOutput&) = delete;
  RotatingFileOutput& operator=(const RotatingFileOutput&) = delete;

  // Appends `length` bytes to the current file as one unit. The size limit is
  // checked before the bytes are written, so a file ends with the block that
  // reaches or passes it and a block is never split between files. The bytes
  // land whole or not at all: a write cut short (disk full) is undone, and a
  // later block tries again. While no file can be opened (missing directory,
  // no room) blocks are dropped and every write retries the open.
  virtual void write(const void* data, uint32_t length);
  // The same for one block in up to kMaxPieces pieces, written as one unit
  // with no copy. A piece that cannot be read (it lies in a mapping another
  // process cut short: the system call fails with EFAULT, where a read of
  // ours would fault) fails the write as a full disk does, nothing of the
  // block stays in the file, and LastWriteFaulted() tells it apart.
  static constexpr int kMaxPieces = 4;
  void WriteGathered(const iovec* pieces, int count);
  // Whether the latest write() put its bytes into a file, and why not: an
  // owner that accounts for every block learns of the loss here.
  bool LastWriteLanded() const { return m_LastError.empty(); }
  bool LastWriteFaulted() const { return m_Faulted; }
  const std::string& LastError() const { return m_LastError; }

  // Full path of the current file; empty before the first successful open.
  const std::string& CurrentFileName() const { return m_FileName; }
  bool IsOpen() const { return m_File.valid(); }
  // Data bytes in the current file, the header not counted.
  uint64_t Written() const { return m_Written; }
  const std::string& Directory() const { return m_Directory; }
  bool Preservation() const { return m_Preservation; }

 private:
  uint64_t CurrentLimit() const;
  void SwitchToNewFile();
  // Creates a file that did not exist before under the current time; a name
  // already taken (a second switch within the same millisecond) waits for the
  // next millisecond. Returns -1 when no file could be created.
  int CreateUniqFileWithCurrentTime();
  bool WriteAll(const void* data, uint64_t length);
  bool WriteAll(const iovec* pieces, int count);
  void AppendBlock(const iovec* pieces, int count);
  void CloseFile();
  void DeleteOldFiles();

  static inline thread_local AppendObserver* t_Observer = nullptr;

  const std::string m_Directory;
  const std::string m_Prefix;
  const std::string m_Extension;
  const bool m_Preservation;
  const RotatingFileLimits m_Limits;
  const std::string m_Header;

  uint64_t m_Written = 0;  // data bytes in the current file
  std::string m_FileName;
  std::string m_LastError;  // empty when the latest write landed     // current file, or the last one tried
  bool m_Faulted = false;   // the latest write failed on a piece it could not read
  FileDescriptor m_File;    // none open (none yet, or the last open failed)
  uint64_t m_Device = 0;    // of m_File; inode 0: unknown
  uint64_t m_Inode = 0;
  bool m_OpenFailed = false;  // the last open failed; logged once, not at every retry
};
