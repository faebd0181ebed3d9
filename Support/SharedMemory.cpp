#include "Support/SharedMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "Support/CRuntimeInfo.h"
#include "Support/SharedFiles.h"
#include "Support/Validation2Exception.h"

std::string SharedMemory::FilePath(const std::string& name) {
  return CRuntimeInfo::TempDirectory() + name + ".map";
}

unsigned SharedMemory::MapFileMode() { return SharedFiles::SharedFileMode(); }

SharedMemory::SharedMemory(const std::string& name, uint32_t size) : m_Path(FilePath(name)), m_Owner(true) {
  // A failed check below leaves the descriptor to m_Fd, which closes it.
  m_Fd.reset(SharedFiles::CreateNew(m_Path, O_RDWR, MapFileMode()));
  Validation2Exception::CheckOSCall(m_Fd.valid(), "Can not create for shared memory");
  Validation2Exception::CheckOSCall(::ftruncate(m_Fd.get(), size) == 0, "Can not adjust file size");
  void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, m_Fd.get(), 0);
  Validation2Exception::CheckOSCall(address != MAP_FAILED, "Can not map memory");
  m_Address = address;
  m_Length = size;
}

SharedMemory::SharedMemory(const std::string& name)
    : SharedMemory(name, OwnedBy{SharedFiles::DirectoryOwner(FilePath(name)).value_or(geteuid())}) {}

SharedMemory::SharedMemory(const std::string& name, OwnedBy owner) : m_Path(FilePath(name)), m_Owner(false) {
  m_Fd.reset(SharedFiles::OpenExisting(m_Path, O_RDWR, owner.uid));
  Validation2Exception::CheckOSCall(m_Fd.valid(), "Can not open file " + m_Path);
  off_t end = ::lseek(m_Fd.get(), 0, SEEK_END);
  Validation2Exception::CheckOSCall(end >= 0, "Can not seek to the end of file");
  // The length is kept in 32 bits; a larger file is not one of ours.
  if (end > off_t{UINT32_MAX}) errno = EFBIG;
  Validation2Exception::CheckOSCall(end <= off_t{UINT32_MAX}, "Can not open file mapping");
  void* address =
      ::mmap(nullptr, static_cast<size_t>(end), PROT_READ | PROT_WRITE, MAP_SHARED, m_Fd.get(), 0);
  Validation2Exception::CheckOSCall(address != MAP_FAILED, "Can not open file mapping");
  m_Address = address;
  m_Length = static_cast<uint32_t>(end);
}

bool SharedMemory::IsFileAtPath() const {
  struct stat mapped {};
  struct stat named {};
  if (!m_Fd.valid() || ::fstat(m_Fd.get(), &mapped) != 0 || ::lstat(m_Path.c_str(), &named) != 0)
    return false;
  return mapped.st_dev == named.st_dev && mapped.st_ino == named.st_ino;
}

bool SharedMemory::IsIntact() const {
  struct stat mapped {};
  return m_Fd.valid() && ::fstat(m_Fd.get(), &mapped) == 0 && mapped.st_size >= static_cast<off_t>(m_Length);
}

bool SharedMemory::RestoreLength() const {
  return m_Owner && m_Fd.valid() && ::ftruncate(m_Fd.get(), static_cast<off_t>(m_Length)) == 0;
}

void SharedMemory::RemoveFile() {
  if (m_Owner && IsFileAtPath()) ::unlink(m_Path.c_str());
  m_Owner = false;
}

SharedMemory::~SharedMemory() {
  // Only our own file: a successor made under the same name stays.
  const bool remove = m_Owner && IsFileAtPath();
  // Each step runs even when the one before failed.
  Validation2Exception::ReportOSCall(::munmap(m_Address, m_Length) == 0, "Can not unmap memory");
  Validation2Exception::ReportOSCall(m_Fd.close(), "Can not close file");
  if (remove) Validation2Exception::ReportOSCall(::unlink(m_Path.c_str()) == 0, "can not remove file");
}
