#include "Support/FileDescriptor.h"

#include <unistd.h>

#include <cerrno>

void FileDescriptor::reset(int fd) noexcept {
  const int saved = errno;
  close();
  m_Fd = fd < 0 ? -1 : fd;
  errno = saved;
}

bool FileDescriptor::close() noexcept {
  const int fd = std::exchange(m_Fd, -1);
  if (fd < 0) return true;
  // EINTR: the descriptor is released all the same (see the header).
  return ::close(fd) == 0 || errno == EINTR;
}
