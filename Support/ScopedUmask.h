#pragma once
// Sets the process umask for the lifetime of the object and restores the old
// one on destruction, so files shared with other users get exactly the mode
// asked for.

#include <sys/stat.h>

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask = 0) : m_Old(umask(mask)) {}
  ~ScopedUmask() { umask(m_Old); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t m_Old;
};
