#include "MultiFileStream/FileToBeRead.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "Support/Validation2Exception.h"

FileToBeRead::FileToBeRead(std::string path, const std::string& expectedHeader, uint32_t headerSize)
    : m_Path(std::move(path)) {
  // A failed check below leaves the descriptor to m_File, which closes it.
  m_File.reset(::open(m_Path.c_str(), O_RDONLY | O_CLOEXEC));
  Validation2Exception::CheckOSCall(m_File.valid(), "Failed to open file for read");
  off_t size = lseek(m_File.get(), 0, SEEK_END);
  Validation2Exception::CheckOSCall(size >= 0, "Failed to query file pointer position");
  Validation2Exception::CheckLogic(static_cast<uint64_t>(size) >= headerSize, "File size too small");
  Validation2Exception::CheckOSCall(lseek(m_File.get(), 0, SEEK_SET) == 0,
                                    "Failed to seek to beginning of the file");
  std::vector<char> header(headerSize);
  Validation2Exception::CheckOSCall(::read(m_File.get(), header.data(), headerSize) == ssize_t(headerSize),
                                    "Error attempting to read file header");
  // The expected text is compared up to its own end; a shorter expected
  // text compares only its length.
  size_t compared = std::min<size_t>(expectedHeader.size(), headerSize);
  m_HeaderMatched = std::memcmp(header.data(), expectedHeader.data(), compared) == 0;
  if (m_HeaderMatched) {
    m_DataLength = static_cast<uint64_t>(size) - headerSize;  // already just after the header
  } else {
    m_DataLength = static_cast<uint64_t>(size);
    Validation2Exception::CheckOSCall(lseek(m_File.get(), 0, SEEK_SET) == 0,
                                      "Failed to seek to beginning of the file");
  }
}

FileToBeRead::~FileToBeRead() = default;

void FileToBeRead::Read(void* buffer, uint32_t length) {
  char* bytes = static_cast<char*>(buffer);
  uint32_t done = 0;
  while (done < length) {
    ssize_t n = ::read(m_File.get(), bytes + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    Validation2Exception::CheckOSCall(n > 0, "Failed to read from file");
    done += static_cast<uint32_t>(n);
  }
  m_Consumed += length;
}
