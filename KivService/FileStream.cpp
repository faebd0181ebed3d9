#include "KivService/FileStream.h"

#include <unistd.h>

#include <cerrno>

#include "MemoryStream/MemoryInputStream.h"
#include "Support/AutoSync.h"
#include "Support/CFileSystem.h"
#include "Support/Logging.h"
#include "Support/SysLogEntry.h"
#include "Support/Validation2Exception.h"
#include "TraceData/BlockReaderClient.h"
#include "TraceData/BlockRecords.h"
#include "TraceData/JsonRecord.h"
#include "TraceData/TraceBlockReader.h"

template <class OutputSupport, uint32_t HeaderSize>
FileStream<OutputSupport, HeaderSize>::FileStream(StatusReport::Collector& collector,
                                                  const KivServerConfig& config, std::string name)
    : m_Format(collector, "Output\\Local\\Format", "Format of log files", StatusReport::Text),
      m_PreservationMode(collector, "Output\\Local\\PreservationMode", "Preservation mode of the output",
                         StatusReport::Text),
      m_FileLocation(collector, "Output\\Local\\FileLocation", "Location of local log files",
                     StatusReport::Text),
      m_MaxFileCount(collector, "Output\\Local\\MaxFileCount",
                     "Limit of number of files in local log file directory", StatusReport::Number),
      m_MaxFileSize(collector, "Output\\Local\\MaxFileSize", "Limit of individual file size",
                    StatusReport::Number),
      m_ReservedMaxFileCount(collector, "Output\\Local\\ReservedMaxFileCount",
                             "Limit of number of files in local log file directory", StatusReport::Number),
      m_ReservedMaxFileSize(collector, "Output\\Local\\ReservedMaxfileSize", "Limit of individual file size",
                            StatusReport::Number),
      m_Name(std::move(name)) {
  ProcessConfig(config);
}

template <class OutputSupport, uint32_t HeaderSize>
FileStream<OutputSupport, HeaderSize>::~FileStream() = default;

template <class OutputSupport, uint32_t HeaderSize>
void FileStream<OutputSupport, HeaderSize>::ProcessConfig(const KivServerConfig& config) {
  // A fresh installation has no log directory yet; without it every block
  // would be dropped. A failure here is only logged: the output retries the
  // open at each write, so a directory that appears later is still used.
  std::string directory = config.m_LogDirectory;
  while (directory.size() > 1 && (directory.back() == '\\' || directory.back() == '/')) directory.pop_back();
  if (!CFileSystem::CreateDirectories(config.m_LogDirectory)) {
    ReportFailureToSystemLog("Can not create log directory", directory, errno != 0 ? errno : ENOTDIR);
    KIV_DIAG_NOTHROW("Can not create log directory " << config.m_LogDirectory << "\n");
  } else if (::access(directory.c_str(), W_OK | X_OK) != 0) {
    ReportFailureToSystemLog("Can not write to log directory", directory, errno);
  }
  try {
    m_Output = std::make_unique<Output>(config.m_LogDirectory, "kivlog-" + m_Name, OutputSupport::kExtension,
                                        config.m_PreservationMode, config.m_MaxBackups, config.m_MaxFileSize,
                                        config.m_PreserveMaxBackups, config.m_PreserveMaxFileSize);
  } catch (const std::bad_alloc&) {
    Validation2Exception::CheckMemoryAllocation(false, "Can not create new file stream.");
  }
  m_PreservationMode.SetText(config.m_PreservationMode ? "on" : "off");
  m_FileLocation.SetText(config.m_LogDirectory);
  m_MaxFileCount.SetNumber(config.m_MaxBackups);
  m_MaxFileSize.SetNumber(config.m_MaxFileSize);
  m_ReservedMaxFileCount.SetNumber(config.m_PreserveMaxBackups);
  m_ReservedMaxFileSize.SetNumber(config.m_PreserveMaxFileSize);
}

template <class OutputSupport, uint32_t HeaderSize>
void FileStream<OutputSupport, HeaderSize>::SetFormat(std::string_view format) {
  AutoSync<CriticalSectionSyncPolicy> guard(m_Lock);
  m_Format.SetText(format);
}

template <class OutputSupport, uint32_t HeaderSize>
std::string FileStream<OutputSupport, HeaderSize>::CurrentFileName() {
  AutoSync<CriticalSectionSyncPolicy> guard(m_Lock);
  return m_Output->CurrentFileName();
}

template <class OutputSupport, uint32_t HeaderSize>
void FileStream<OutputSupport, HeaderSize>::WriteToFile(const void* data, uint32_t length) {
  AutoSync<CriticalSectionSyncPolicy> guard(m_Lock);
  AppendLocked(data, length);
}

template <class OutputSupport, uint32_t HeaderSize>
void FileStream<OutputSupport, HeaderSize>::AppendLocked(const void* data, uint32_t length) {
  if (length == 0) return;
  const iovec piece{const_cast<void*>(data), length};
  AppendLocked(&piece, 1);
}

template <class OutputSupport, uint32_t HeaderSize>
void FileStream<OutputSupport, HeaderSize>::AppendLocked(const iovec* pieces, int count) {
  m_Output->WriteGathered(pieces, count);
  // The output drops what it cannot write; the dispatcher counts it lost,
  // unless the writer's own source failed.
  if (m_Output->LastWriteLanded()) return;
  if (m_Output->LastWriteFaulted()) throw KivTraceStreamDispatcher::SourceFault(m_Output->LastError());
  Validation2Exception::CheckOSCall(false, m_Output->LastError());
}

template class FileStream<KivBinaryFileOutputSupport, 256>;
template class FileStream<KivTextFileOutputSupport, 128>;
template class FileStream<KivJsonFileOutputSupport, 0>;

void BinaryFileStream::write(const void* data, uint32_t length) { WriteToFile(data, length); }

void BinaryFileStream::WriteGathered(const iovec* pieces, int count) {
  AutoSync<CriticalSectionSyncPolicy> guard(m_Lock);
  AppendLocked(pieces, count);
}

struct RenderedBlock::Renderer {
  struct NoProgress {
    void write(const void*, size_t) {}
  };
  using Client = BlockReaderClient<MemoryInputStream, SmartBufferOutputStream<256>, NoProgress>;

  explicit Renderer(SmartBufferOutputStream<256>& text) : client(input, text, progress, " ", false) {}

  MemoryInputStream input;
  NoProgress progress;
  Client client;
  TraceBlockReader<Client> reader{client};
};

RenderedBlock::RenderedBlock() = default;
RenderedBlock::~RenderedBlock() = default;

void RenderedBlock::Render(KivTraceStreamDispatcher::OutputKind kind, const void* block,
                           uint32_t length) noexcept {
  m_Kind = kind;
  m_Text.Clear();
  m_Damage = nullptr;
  if (kind != KivTraceStreamDispatcher::TextFiles) return;
  try {
    if (!m_Renderer) m_Renderer = std::make_unique<Renderer>(m_Text);
    m_Renderer->input.Assign(block, length);
    while (m_Renderer->input.GetDataLength() > 0) m_Renderer->reader.Process(m_Renderer->input);
  } catch (...) {
    m_Damage = std::current_exception();
  }
}

void TextFileStream::write(const void* data, uint32_t length) {
  AutoSync<CriticalSectionSyncPolicy> guard(m_Lock);
  m_Text.Render(KivTraceStreamDispatcher::TextFiles, data, length);
  AppendRendered(m_Text);
}

void TextFileStream::WriteRendered(const void* data, uint32_t length, const RenderedBlock& rendered) {
  if (rendered.Kind() != KivTraceStreamDispatcher::TextFiles) return write(data, length);
  AutoSync<CriticalSectionSyncPolicy> guard(m_Lock);
  AppendRendered(rendered);
}

void TextFileStream::AppendRendered(const RenderedBlock& rendered) {
  // Whatever rendered before a damaged header still goes to the file, so one
  // bad block does not hide the good records in front of it.
  AppendLocked(rendered.Data(), rendered.GetLength());
  rendered.Rethrow();
}

void JsonFileStream::write(const void* data, uint32_t length) {
  AutoSync<CriticalSectionSyncPolicy> guard(m_Lock);
  m_Lines.clear();
  // As for text files: the lines rendered before damage still go out. The
  // callback runs inside this call, under m_Lock, where the analysis cannot
  // see it.
  try {
    ForEachDecodedRecord(data, length, [&](const DecodedRecord& record) NO_THREAD_SAFETY_ANALYSIS {
      AppendJsonRecord(m_Lines, record, false);
    });
  } catch (...) {
    AppendLocked(m_Lines.data(), static_cast<uint32_t>(m_Lines.size()));
    throw;
  }
  AppendLocked(m_Lines.data(), static_cast<uint32_t>(m_Lines.size()));
}

std::unique_ptr<KivTraceStreamDispatcher::Stream> MakeFileStream(StatusReport::Collector& collector,
                                                                 const KivServerConfig& config,
                                                                 const std::string& name,
                                                                 std::string_view format) {
  if (format == "json") {
    auto stream = std::make_unique<JsonFileStream>(collector, config, name);
    stream->SetFormat("json");
    return stream;
  }
  if (format == "text") {
    auto stream = std::make_unique<TextFileStream>(collector, config, name);
    stream->SetFormat("text");
    return stream;
  }
  auto stream = std::make_unique<BinaryFileStream>(collector, config, name);
  stream->SetFormat("binary");
  return stream;
}
