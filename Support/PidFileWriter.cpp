#include "Support/PidFileWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "Support/FileDescriptor.h"
#include "Support/SharedFiles.h"

PidFileWriter::Result PidFileWriter::Publish(const std::string& path, mode_t mode) {
  const std::string text = std::to_string(static_cast<long>(getpid())) + "\n";
  const std::string staging = path + ".new" + std::to_string(static_cast<long>(getpid()));
  // A fresh private file (never one planted at the name), renamed over the
  // path: a link at `path` is replaced, not followed.
  FileDescriptor fd(SharedFiles::CreateNew(staging, O_WRONLY, mode));
  if (!fd.valid()) return OpenFailed;
  Result result = Published;
  if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) result = WriteFailed;
  if (!fd.close() && result == Published) result = WriteFailed;
  if (result == Published && ::rename(staging.c_str(), path.c_str()) != 0) result = OpenFailed;
  if (result != Published) {
    int saved = errno;
    ::unlink(staging.c_str());
    errno = saved;
  }
  return result;
}
