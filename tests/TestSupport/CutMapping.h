#pragma once
// Two pages of a shared file mapping whose second page is then cut off the
// file, as a client's ring truncated under the dispatcher: reading the cut
// page faults (SIGBUS in user space, EFAULT inside a system call). The
// first page stays readable and holds 'a' to 'z' over and over. Owns the
// file descriptor and the mapping; the file lives at `path`.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <string>

namespace kivtest {

class CutMapping {
 public:
  explicit CutMapping(const std::string& path)
      : m_Page(static_cast<size_t>(sysconf(_SC_PAGESIZE))),
        m_Fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {
    if (m_Fd < 0 || ftruncate(m_Fd, static_cast<off_t>(2 * m_Page)) != 0) return;
    void* map = mmap(nullptr, 2 * m_Page, PROT_READ | PROT_WRITE, MAP_SHARED, m_Fd, 0);
    if (map == MAP_FAILED) return;
    m_Map = static_cast<char*>(map);
    for (size_t i = 0; i < 2 * m_Page; ++i) m_Map[i] = static_cast<char>('a' + i % 26);
    if (ftruncate(m_Fd, static_cast<off_t>(m_Page)) != 0) {
      munmap(m_Map, 2 * m_Page);
      m_Map = nullptr;
    }
  }
  ~CutMapping() {
    if (m_Map) munmap(m_Map, 2 * m_Page);
    if (m_Fd >= 0) close(m_Fd);
  }
  CutMapping(const CutMapping&) = delete;
  CutMapping& operator=(const CutMapping&) = delete;

  bool Ok() const { return m_Map != nullptr; }
  size_t PageSize() const { return m_Page; }
  char* Readable() const { return m_Map; }
  char* Cut() const { return m_Map + m_Page; }

 private:
  const size_t m_Page;
  const int m_Fd;
  char* m_Map = nullptr;
};

}  // namespace kivtest
