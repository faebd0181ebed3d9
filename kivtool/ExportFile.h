#pragma once
// The text file an export writes: created (or truncated) on construction,
// written through a 64 KiB buffer. Owns its descriptor.

#include <cstdint>
#include <string>
#include <vector>

#include "Support/FileDescriptor.h"

class ExportFile {
 public:
  // Raises "Can not create export file" with the path when it cannot be made.
  explicit ExportFile(std::string path);
  // Flushes what is buffered (failures ignored) and closes the file.
  ~ExportFile();
  ExportFile(const ExportFile&) = delete;
  ExportFile& operator=(const ExportFile&) = delete;

  void write(const void* data, uint64_t length);
  // Writes the buffer out; raises "Error writing export file" when the file
  // takes less than given (full disk).
  void Flush();
  const std::string& Path() const { return m_Path; }

 private:
  void WriteOut(const char* bytes, uint64_t length);

  std::string m_Path;
  FileDescriptor m_File;
  std::vector<char> m_Buffer;
};
