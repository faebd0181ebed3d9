#pragma once
// The kind-independent part of MultiFileInputStream: an ordered list of log
// files read back to back as one stream of data bytes (their headers
// skipped).
//
// A single read never straddles two files. Writers never split a block
// between files, so a request that runs past the end of a file means that
// file ends in the middle of a block (a crash or a full disk cut it short);
// the read fails instead of completing the damaged block with the next file's
// bytes. Owns its open files. Not thread-safe.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "MultiFileStream/FileToBeRead.h"

class MultiFileInput {
 public:
  MultiFileInput(std::string expectedHeader, uint32_t headerSize);
  ~MultiFileInput();
  MultiFileInput(const MultiFileInput&) = delete;
  MultiFileInput& operator=(const MultiFileInput&) = delete;

  // Appends the directory's files whose names begin with `prefix` and contain
  // `extension`, in ascending name order (creation order). With kind
  // "binary" only files that begin with the expected header are kept. Files
  // that cannot be opened, are shorter than the header or (for "binary")
  // foreign are skipped silently. Returns the number of files kept.
  size_t GetAllLogFiles(const std::string& directory, const std::string& prefix, const std::string& extension,
                        const std::string& kind);
  // Appends one file under the same rules; false when it was skipped.
  bool AddFile(const std::string& path, bool binaryOnly);

  // Delivers exactly `length` bytes. Raises "Invalid parameter: buf" for a
  // null buffer, "No more files available for read" past the last file, a
  // logic error when the request runs past the end of the current file, and
  // "Failed to read from file" when a file delivers less than it held.
  void read(void* buffer, uint32_t length);

  // Sum of the data lengths of all files added.
  uint64_t GetTotalLength() const { return m_TotalLength; }
  // Data bytes delivered so far.
  uint64_t GetReadPosition() const { return m_ReadPosition; }
  // Data bytes not yet delivered (GetTotalLength() - GetReadPosition()).
  // Readers bound lengths taken from the data by it before allocating.
  uint64_t GetDataLength() const { return m_TotalLength - m_ReadPosition; }
  // Path of the file the latest read took (or tried to take) its bytes
  // from; empty before the first read.
  const std::string& LastFileRead() const { return m_LastFileRead; }
  // Files not yet read to their end.
  size_t FilesLeft() const { return m_Files.size(); }

  // Marks the start of a trace block: until the next mark, reads come from
  // the file holding its first byte only, so a block cut short at the end of
  // a file is never completed with the next file's bytes.
  void BeginBlock();
  // Gives up the rest of the file the current block started in (damage was
  // found in it) and moves on to the next file. Returns the bytes given up,
  // counted from the start of the block; 0 when no file is left.
  uint64_t SkipRestOfFile();

 private:
  const std::string m_ExpectedHeader;
  const uint32_t m_HeaderSize;
  uint64_t m_TotalLength = 0;
  uint64_t m_ReadPosition = 0;
  std::deque<std::unique_ptr<FileToBeRead>> m_Files;
  std::string m_LastFileRead;
  bool m_InBlock = false;     // set by BeginBlock()
  uint64_t m_BlockStart = 0;  // read position at the latest BeginBlock()
};
