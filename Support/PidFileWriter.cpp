#include "Support/PidFileWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "Support/ScopedUmask.h"

PidFileWriter::Result PidFileWriter::Publish(const std::string& path, mode_t mode) {
  const std::string text = std::to_string(static_cast<long>(getpid())) + "\n";
  const std::string staging = path + ".new" + std::to_string(static_cast<long>(getpid()));
  int fd;
  {
    ScopedUmask mask(0);
    fd = ::open(staging.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  }
  if (fd < 0) return OpenFailed;
  Result result = Published;
  if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) result = WriteFailed;
  if (::close(fd) != 0 && result == Published) result = WriteFailed;
  if (result == Published && ::rename(staging.c_str(), path.c_str()) != 0) result = OpenFailed;
  if (result != Published) {
    int saved = errno;
    ::unlink(staging.c_str());
    errno = saved;
  }
  return result;
}
