#pragma once
// Sole owner of one file descriptor (-1 for none): closes it on destruction,
// reset() or move-assignment. Move-only; not thread-safe (one owner at a
// time, as for the descriptor itself).
//
// Closing never raises and never retries: on Linux a close that reports
// EINTR has released the descriptor already, and closing the number again
// could close one another thread has just opened. Implicit closes keep
// errno, so a failure being reported by the caller is not overwritten on the
// way out; close() is for callers that want to know whether closing worked.

#include <utility>

class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  // Takes ownership of `fd` (negative: owns none).
  explicit FileDescriptor(int fd) noexcept : m_Fd(fd < 0 ? -1 : fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : m_Fd(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const noexcept { return m_Fd; }
  bool valid() const noexcept { return m_Fd >= 0; }
  // Gives the descriptor up without closing it.
  int release() noexcept { return std::exchange(m_Fd, -1); }
  // Closes the current descriptor (errno kept) and owns `fd` instead.
  void reset(int fd = -1) noexcept;
  // Closes now; false with errno set when the system reported a failure
  // (the descriptor is gone either way). True when nothing was owned.
  bool close() noexcept;

 private:
  int m_Fd = -1;
};
