#include "MultiFileStream/RotatingFileOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "MultiFileStream/LogFileNames.h"
#include "Support/Logging.h"
#include "Support/SharedFiles.h"
#include "Support/Validation2Exception.h"

namespace {
// How long a switch waits for a free name before giving up for this write: a
// name is taken only within the same millisecond, so this is never reached
// unless the clock stands still.
constexpr int kMaxNameAttempts = 2000;
}  // namespace

RotatingFileOutput::RotatingFileOutput(std::string directory, std::string prefix, std::string extension,
                                       bool preservation, const RotatingFileLimits& limits,
                                       std::string header)
    : m_Directory(LogFileNames::NormaliseDirectory(std::move(directory))),
      m_Prefix(std::move(prefix)),
      m_Extension(std::move(extension)),
      m_Preservation(preservation),
      m_Limits(limits),
      m_Header(std::move(header)) {}

RotatingFileOutput::~RotatingFileOutput() { CloseFile(); }

uint64_t RotatingFileOutput::CurrentLimit() const {
  return m_Preservation ? m_Limits.preserveMaxFileSize : m_Limits.maxFileSize;
}

void RotatingFileOutput::write(const void* data, uint32_t length) {
  const iovec piece{const_cast<void*>(data), length};
  WriteGathered(&piece, 1);
}

void RotatingFileOutput::WriteGathered(const iovec* pieces, int count) {
  m_Faulted = false;
  try {
    Validation2Exception::CheckParameter(count >= 0 && count <= kMaxPieces, "Too many pieces for one block");
    if (!m_File.valid()) {
      SwitchToNewFile();  // the first write, or a retry after a failed open
    } else if (m_Written >= CurrentLimit()) {
      CloseFile();
      SwitchToNewFile();
    }
    if (!m_File.valid()) {
      m_LastError = "Can not open log file " + m_FileName;  // the block is dropped
      return;
    }
    AppendBlock(pieces, count);
    m_LastError.clear();
  } catch (const std::exception& e) {
    KIV_DIAG_NOTHROW("Error while writing log file " << m_FileName << ": " << e.what() << "\n");
    m_LastError = e.what();
  }
}

void RotatingFileOutput::AppendBlock(const iovec* pieces, int count) {
  uint64_t length = 0;
  for (int i = 0; i < count; ++i) length += pieces[i].iov_len;
  if (t_Observer && m_Inode != 0)
    t_Observer->BeforeAppend(Placement{m_Device, m_Inode, m_Header.size() + m_Written + length});
  if (WriteAll(pieces, count)) {
    m_Written += length;
    return;
  }
  // Cut short (no room, or a piece not readable): take the partial block
  // back so the file stays a sequence of whole blocks. O_APPEND makes the
  // next block land at the truncated end. If even that fails, leave this
  // file for a fresh one.
  off_t blockStart = static_cast<off_t>(m_Header.size() + m_Written);
  if (ftruncate(m_File.get(), blockStart) != 0) {
    KIV_DIAG_NOTHROW("can not remove a partial block from " << m_FileName << "\n");
    CloseFile();
  }
  Validation2Exception::CheckOSCall(
      false, m_Faulted ? "Block data could not be read" : "Error written data to file");
}

bool RotatingFileOutput::WriteAll(const iovec* pieces, int count) {
  iovec rest[kMaxPieces];
  std::copy(pieces, pieces + count, rest);
  int first = 0;
  for (;;) {
    while (first < count && rest[first].iov_len == 0) ++first;
    if (first == count) return true;
    const ssize_t n = ::writev(m_File.get(), rest + first, count - first);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      m_Faulted = n < 0 && errno == EFAULT;
      return false;
    }
    // A write cut short goes on where it stopped: over whole pieces, then
    // into the one it stopped in.
    auto done = static_cast<size_t>(n);
    for (; first < count && done >= rest[first].iov_len; ++first) done -= rest[first].iov_len;
    if (first == count) return true;
    rest[first].iov_base = static_cast<char*>(rest[first].iov_base) + done;
    rest[first].iov_len -= done;
  }
}

bool RotatingFileOutput::WriteAll(const void* data, uint64_t length) {
  const iovec piece{const_cast<void*>(data), length};
  return WriteAll(&piece, 1);
}

void RotatingFileOutput::SwitchToNewFile() {
  m_Written = 0;
  m_Device = m_Inode = 0;
  m_File.reset(CreateUniqFileWithCurrentTime());
  struct stat st {};
  if (m_File.valid() && fstat(m_File.get(), &st) == 0) {
    m_Device = static_cast<uint64_t>(st.st_dev);
    m_Inode = static_cast<uint64_t>(st.st_ino);
  }
  if (m_File.valid() && !WriteAll(m_Header.data(), m_Header.size())) {
    // A file without its whole header would be taken for a foreign file when
    // read back; remove it and try again at the next write.
    m_File.reset();
    ::unlink(m_FileName.c_str());
    KIV_DIAG_NOTHROW("Error written data to file " << m_FileName << "\n");
  }
  if (!m_File.valid()) {
    if (!m_OpenFailed) KIV_DIAG_NOTHROW("Error: can not open file " << m_FileName << "\n");
    m_OpenFailed = true;
  } else {
    m_OpenFailed = false;
  }
  DeleteOldFiles();
}

int RotatingFileOutput::CreateUniqFileWithCurrentTime() {
  // Permission bits 0666 before the umask, as log files are shared with the
  // operator's tools; read for the installation's group alone when the
  // installation grants others nothing (set on the descriptor, see
  // SharedFiles.h).
  const mode_t mode = SharedFiles::LogFileMode();
  const bool forGroup = (mode & 07) == 0;
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    m_FileName = LogFileNames::Format(m_Preservation, m_Directory, m_Prefix, m_Extension, now);
    int fd =
        ::open(m_FileName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, forGroup ? 0 : 0666);
    if (fd >= 0) {
      if (forGroup) SharedFiles::Adopt(fd, mode);
      return fd;
    }
    if (errno != EEXIST && errno != EINTR) return -1;
    // Wait until the next millisecond begins.
    timespec pause{0, 1000000 - now.tv_nsec % 1000000 + 1000};
    nanosleep(&pause, nullptr);
  }
  return -1;
}

void RotatingFileOutput::CloseFile() {
  if (!m_File.valid()) return;
  if (!m_File.close()) KIV_DIAG_NOTHROW("Can not close file " << m_FileName << "\n");
}

void RotatingFileOutput::DeleteOldFiles() {
  LogFileNames::Listing files = LogFileNames::GetAllLogFiles(m_Directory, m_Prefix, m_Extension);
  LogFileNames::DeleteOldest(files.normal, m_Limits.maxFileCount);
  LogFileNames::DeleteOldest(files.preserved, m_Limits.preserveMaxFileCount);
}
