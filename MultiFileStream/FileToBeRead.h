#pragma once
// One log file opened for reading back: checks whether it begins with the
// expected header and positions it at the start of its data.
//
// Owns its descriptor (closed on destruction). Not copyable.

#include <cstdint>
#include <string>

#include "Support/FileDescriptor.h"

class FileToBeRead {
 public:
  // Opens `path` and compares its first `headerSize` bytes with
  // `expectedHeader`. Raises "Failed to open file for read", "File size too
  // small" (shorter than the header) or a seek/read failure.
  FileToBeRead(std::string path, const std::string& expectedHeader, uint32_t headerSize);
  ~FileToBeRead();
  FileToBeRead(const FileToBeRead&) = delete;
  FileToBeRead& operator=(const FileToBeRead&) = delete;

  const std::string& Path() const { return m_Path; }
  bool HeaderMatched() const { return m_HeaderMatched; }
  // Bytes after the header when it matched, else the whole file.
  uint64_t DataLength() const { return m_DataLength; }
  // Data bytes not yet read.
  uint64_t Remaining() const { return m_DataLength - m_Consumed; }
  // Reads exactly `length` bytes (at most Remaining()); raises "Failed to read
  // from file" when fewer arrive (the file shrank under us).
  void Read(void* buffer, uint32_t length);

 private:
  std::string m_Path;
  FileDescriptor m_File;
  uint64_t m_DataLength = 0;
  uint64_t m_Consumed = 0;
  bool m_HeaderMatched = false;
};
