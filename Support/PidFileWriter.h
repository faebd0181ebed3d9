#pragma once
// Publishing a process id file so that readers never see it half written.

#include <sys/types.h>

#include <string>

class PidFileWriter {
 public:
  enum Result {
    Published,
    OpenFailed,   // the file could not be created or put in place
    WriteFailed,  // the id could not be written
  };
  // Writes this process's id in decimal and a newline to `path` with the
  // given permission bits (the umask does not apply). The text goes to a private file first
  // and is renamed into place, so a reader that finds `path` always finds
  // the whole id. On failure errno is set and nothing is left behind.
  static Result Publish(const std::string& path, mode_t mode);
};
