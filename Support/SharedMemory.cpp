#include "Support/SharedMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "Support/CRuntimeInfo.h"
#include "Support/ScopedUmask.h"
#include "Support/Validation2Exception.h"

namespace {
// Closes a descriptor on a failed construction; the close itself may fail
// without hiding the original error.
void CloseQuietly(int fd) {
  try {
    int saved = errno;
    Validation2Exception::CheckOSCall(::close(fd) == 0, "Can not close file");
    errno = saved;
  } catch (...) {
  }
}
}  // namespace

std::string SharedMemory::FilePath(const std::string& name) {
  return CRuntimeInfo::TempDirectory() + name + ".map";
}

unsigned SharedMemory::MapFileMode() {
  const char* dir = getenv("OLVAN_VORNEL_DIR");
  if (!dir) dir = "/usr/vornel";
  struct stat st;
  if (::stat(dir, &st) != 0) return 0666;
  return st.st_mode & 0666;
}

SharedMemory::SharedMemory(const std::string& name, uint32_t size) : m_Path(FilePath(name)), m_Owner(true) {
  {
    ScopedUmask mask(0);
    m_Fd = ::open(m_Path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, MapFileMode());
  }
  Validation2Exception::CheckOSCall(m_Fd >= 0, "Can not create for shared memory");
  try {
    Validation2Exception::CheckOSCall(::ftruncate(m_Fd, size) == 0, "Can not adjust file size");
    void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, m_Fd, 0);
    Validation2Exception::CheckOSCall(address != MAP_FAILED, "Can not map memory");
    m_Address = address;
    m_Length = size;
  } catch (...) {
    CloseQuietly(m_Fd);
    m_Fd = -1;
    throw;
  }
}

SharedMemory::SharedMemory(const std::string& name) : m_Path(FilePath(name)), m_Owner(false) {
  m_Fd = ::open(m_Path.c_str(), O_RDWR | O_CLOEXEC);
  Validation2Exception::CheckOSCall(m_Fd >= 0, "Can not open file");
  try {
    off_t end = ::lseek(m_Fd, 0, SEEK_END);
    Validation2Exception::CheckOSCall(end >= 0, "Can not seek to the end of file");
    // The length is kept in 32 bits; a larger file is not one of ours.
    if (end > off_t{UINT32_MAX}) errno = EFBIG;
    Validation2Exception::CheckOSCall(end <= off_t{UINT32_MAX}, "Can not open file mapping");
    void* address = ::mmap(nullptr, static_cast<size_t>(end), PROT_READ | PROT_WRITE, MAP_SHARED, m_Fd, 0);
    Validation2Exception::CheckOSCall(address != MAP_FAILED, "Can not open file mapping");
    m_Address = address;
    m_Length = static_cast<uint32_t>(end);
  } catch (...) {
    CloseQuietly(m_Fd);
    m_Fd = -1;
    throw;
  }
}

bool SharedMemory::IsFileAtPath() const {
  struct stat mapped {};
  struct stat named {};
  if (m_Fd < 0 || ::fstat(m_Fd, &mapped) != 0 || ::stat(m_Path.c_str(), &named) != 0) return false;
  return mapped.st_dev == named.st_dev && mapped.st_ino == named.st_ino;
}

SharedMemory::~SharedMemory() {
  // A successor's file of the same name is not ours to remove; decided
  // while the descriptor still tells which file is ours.
  const bool remove = m_Owner && IsFileAtPath();
  // Each step runs even when the one before failed.
  try {
    Validation2Exception::CheckOSCall(::munmap(m_Address, m_Length) == 0, "Can not unmap memory");
  } catch (...) {
  }
  try {
    Validation2Exception::CheckOSCall(::close(m_Fd) == 0, "Can not close file");
  } catch (...) {
  }
  if (remove) {
    try {
      Validation2Exception::CheckOSCall(::unlink(m_Path.c_str()) == 0, "can not remove file");
    } catch (...) {
    }
  }
}

void SharedMemory::ReleaseFile() {
  if (m_Owner && IsFileAtPath()) ::unlink(m_Path.c_str());
  m_Owner = false;
}
