#include "kivtool/ExportFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Support/Validation2Exception.h"

namespace {
constexpr size_t kBufferSize = 64 * 1024;
}

ExportFile::ExportFile(std::string path) : m_Path(std::move(path)) {
  m_File.reset(::open(m_Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!m_File.valid()) Validation2Exception::CheckOSCall(false, "Can not create export file " + m_Path);
  m_Buffer.reserve(kBufferSize);
}

ExportFile::~ExportFile() {
  try {
    Flush();
  } catch (...) {  // a destructor must not raise; a failed flush was reported by its check
  }
}

void ExportFile::write(const void* data, uint64_t length) {
  const char* bytes = static_cast<const char*>(data);
  if (m_Buffer.size() + length > kBufferSize) Flush();
  if (length >= kBufferSize) {
    WriteOut(bytes, length);  // large pieces go straight out
    return;
  }
  m_Buffer.insert(m_Buffer.end(), bytes, bytes + length);
}

void ExportFile::Flush() {
  // The buffer is emptied even when the write fails, so a failed flush is
  // not repeated by the destructor.
  struct Empty {
    std::vector<char>& buffer;
    ~Empty() { buffer.clear(); }
  } empty{m_Buffer};
  WriteOut(m_Buffer.data(), m_Buffer.size());
}

void ExportFile::WriteOut(const char* bytes, uint64_t length) {
  while (length > 0) {
    ssize_t n = ::write(m_File.get(), bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Validation2Exception::CheckOSCall(false, "Error writing export file " + m_Path);
    bytes += n;
    length -= static_cast<uint64_t>(n);
  }
}
