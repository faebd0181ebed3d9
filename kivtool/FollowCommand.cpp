#include "kivtool/FollowCommand.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "MultiFileStream/KivFileOutputSupport.h"
#include "TraceData/TraceRecordBuilder.h"
#include "kivtool/FilterOptions.h"
#include "kivtool/LogDirectory.h"
#include "kivtool/LogExporter.h"

namespace {

constexpr uint32_t kBlockHeaderSize = TraceRecordBuilder::kBlockHeaderPacketSize;
// Where the body length sits in the block header packet: after the packet's
// own header and the block header's earlier fields.
constexpr uint32_t kBodyLengthOffset =
    kBlockHeaderSize - sizeof(TraceBlockHeader) + offsetof(TraceBlockHeader, m_BodyLength);
// No writer makes blocks this large; a length past it means damage.
constexpr uint32_t kMaxBlockBody = 64u << 20;

volatile sig_atomic_t g_Stop = 0;
void OnStopSignal(int) { g_Stop = 1; }

}  // namespace

void FollowOutput::write(const void* data, uint64_t length) {
  const char* bytes = static_cast<const char*>(data);
  if (!m_Collecting) {
    m_Buffer.append(bytes, length);
    return;
  }
  m_Tail.emplace_back(bytes, length);
  if (m_Tail.size() > kTail) m_Tail.pop_front();
}

void FollowOutput::StopCollecting() {
  m_Collecting = false;
  for (const std::string& piece : m_Tail) m_Buffer += piece;
  m_Tail.clear();
}

bool FollowOutput::Flush() {
  size_t done = 0;
  while (done < m_Buffer.size()) {
    const ssize_t n = ::write(m_Fd, m_Buffer.data() + done, m_Buffer.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  m_Buffer.clear();
  return true;
}

LogFollower::LogFollower(std::string directory, std::vector<std::string> hosts, const RenderOptions& options,
                         int out, std::ostream& err)
    : m_Directory(std::move(directory)),
      m_Hosts(std::move(hosts)),
      m_Options(options),
      m_Err(err),
      m_Output(out),
      m_Client(m_NoInput, m_Output, options, err, false),
      m_Reader(std::make_unique<TraceBlockReader<Client, 1000>>(m_Client)) {
  if (m_Directory.empty() || m_Directory.back() != '/') m_Directory += '/';
}

LogFollower::~LogFollower() = default;

bool LogFollower::Selected(const std::string& name) const {
  if (!name.starts_with("kivlog-") || name.find(".txt") == std::string::npos) return false;
  if (m_Hosts.empty()) return true;
  for (const std::string& host : m_Hosts)
    if (name.starts_with("kivlog-" + host + "-")) return true;
  return false;
}

std::string LogFollower::NewestFile() const {
  std::string newest;
  timespec newestTime{};
  for (const std::string& name : LogExporter::ListLogFiles(m_Directory, m_Hosts)) {
    struct stat info {};
    if (::stat((m_Directory + name).c_str(), &info) != 0) continue;
    const timespec& t = info.st_mtim;
    // Names embed their creation time, so among equal times the later name wins.
    if (newest.empty() || t.tv_sec > newestTime.tv_sec ||
        (t.tv_sec == newestTime.tv_sec && t.tv_nsec >= newestTime.tv_nsec)) {
      newest = name;
      newestTime = t;
    }
  }
  return newest;
}

void LogFollower::Open(const std::string& name) {
  m_File.reset(::open((m_Directory + name).c_str(), O_RDONLY | O_CLOEXEC));
  m_FileName = name;
  m_Kind = Kind::kUnknown;
  m_Pending.clear();
  if (!m_File.valid())
    m_Err << "kivtool: can not open " << m_Directory << name << ": " << strerror(errno) << std::endl;
}

void LogFollower::ReadCurrent() {
  if (!m_File.valid()) return;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(m_File.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (m_Kind != Kind::kForeign) m_Pending.append(buffer, static_cast<size_t>(n));
  }
  RenderPending();
}

void LogFollower::RenderPending() {
  if (m_Kind == Kind::kUnknown) {
    const std::string& text = KivTextFileOutputSupport::GetHeader();
    const std::string binary =
        FormatHeader(KivBinaryFileOutputSupport::GetHeader(), KivBinaryFileOutputSupport::HeaderSize);
    if (m_Pending.size() >= text.size() && m_Pending.compare(0, text.size(), text) == 0) {
      m_Kind = Kind::kText;
      m_Pending.erase(0, text.size());
    } else if (m_Pending.size() >= binary.size()) {
      m_Kind = m_Pending.compare(0, binary.size(), binary) == 0 ? Kind::kBinary : Kind::kForeign;
      m_Pending.erase(0, binary.size());
    } else {
      return;  // the header is still being written
    }
  }
  if (m_Kind == Kind::kText) {
    const size_t end = m_Pending.rfind('\n');
    if (end == std::string::npos) return;
    size_t start = 0;
    while (start <= end) {
      const size_t lineEnd = m_Pending.find('\n', start);
      const std::string_view line(m_Pending.data() + start, lineEnd + 1 - start);
      if (m_Options.filter.m_Grep.empty() || line.find(m_Options.filter.m_Grep) != std::string_view::npos)
        m_Output.write(line.data(), line.size());
      start = lineEnd + 1;
    }
    m_Pending.erase(0, end + 1);
    return;
  }
  if (m_Kind != Kind::kBinary) {
    m_Pending.clear();
    return;
  }
  size_t start = 0;
  try {
    while (m_Pending.size() - start >= kBlockHeaderSize) {
      uint32_t bodyLength;
      std::memcpy(&bodyLength, m_Pending.data() + start + kBodyLengthOffset, sizeof bodyLength);
      if (bodyLength > kMaxBlockBody) throw std::runtime_error("block length " + std::to_string(bodyLength));
      const size_t blockSize = kBlockHeaderSize + bodyLength;
      if (m_Pending.size() - start < blockSize) break;  // the rest is still being written
      MemoryInputStream block(m_Pending.data() + start, static_cast<uint32_t>(blockSize));
      m_Reader->Process(block);
      start += blockSize;
    }
  } catch (const std::exception& e) {
    m_Err << "kivtool: damaged log file " << m_Directory << m_FileName << " (" << e.what()
          << "); the rest of it is skipped" << std::endl;
    m_Kind = Kind::kForeign;
    m_Pending.clear();
    return;
  }
  m_Pending.erase(0, start);
}

void LogFollower::Run(const volatile sig_atomic_t& stop) {
  m_Watch.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (!m_Watch.valid() || ::inotify_add_watch(m_Watch.get(), m_Directory.c_str(),
                                              IN_CREATE | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE) < 0)
    throw std::runtime_error("Can not watch " + m_Directory + ": " + strerror(errno));
  const std::string newest = NewestFile();
  if (!newest.empty()) {
    Open(newest);
    ReadCurrent();
  }
  m_Output.StopCollecting();
  if (!m_Output.Flush()) return;

  alignas(inotify_event) char events[sizeof(inotify_event) + NAME_MAX + 1];
  while (!stop) {
    pollfd watch{m_Watch.get(), POLLIN, 0};
    if (::poll(&watch, 1, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("Can not wait for changes: ") + strerror(errno));
    }
    std::string created;
    for (;;) {
      const ssize_t n = ::read(m_Watch.get(), events, sizeof events);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (event->mask & IN_Q_OVERFLOW) {
          // Events were lost: a new file may have been among them.
          const std::string newest = NewestFile();
          if (newest != m_FileName) created = newest;
          continue;
        }
        if (event->len == 0 || !(event->mask & (IN_CREATE | IN_MOVED_TO))) continue;
        const std::string name = event->name;
        if (Selected(name) && name != m_FileName) created = name;
      }
    }
    // What the old file still got comes before the new file's records.
    ReadCurrent();
    if (!created.empty()) {
      Open(created);
      ReadCurrent();
    }
    if (!m_Output.Flush()) return;
  }
}

void FollowCommandProcessor::Process(CommandLineParser::CommandOptions& options) {
  const RenderOptions render = ReadRenderOptions(options);
  ApplyUtc(render);
  std::string directory = options.Has("D") ? options.Get("D") : ConfiguredLogDirectory();
  struct stat info {};
  if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    throw std::runtime_error("no log directory " + directory);

  struct sigaction action {};
  action.sa_handler = OnStopSignal;  // no SA_RESTART: the wait ends at once
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  LogFollower follower(directory, ReadHosts(options), render, STDOUT_FILENO, std::cerr);
  if (render.format == OutputFormat::kCsv) {
    const std::string& header = CsvHeader();
    if (::write(STDOUT_FILENO, header.data(), header.size()) < 0) return;
  }
  follower.Run(g_Stop);
}
