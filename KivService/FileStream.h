#pragma once
// Local log file outputs of a dispatcher: BinaryFileStream writes each block
// unchanged to rotating binary files; TextFileStream renders it to text lines
// first, JsonFileStream to JSON lines (files ending in ".json"). All name their files "kivlog-" + the
// dispatcher's name and take directory, limits and preservation mode from the settings when made; a change of
// settings is followed by rebuilding the stream, never by changing it in place.
//
// Each file stream owns the seven "Output\Local\..." status entries, which
// live exactly as long as the stream.
//
// Locking: m_Lock guards the file output (and the text stream's render
// buffer); each status entry has its own lock. The owning dispatcher already
// serialises writes; m_Lock keeps the stream safe on its own as well.

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "KivConfigFileReader/KivServerConfig.h"
#include "KivService/KivTraceStreamDispatcher.h"
#include "KivService/StatusReport.h"
#include "MemoryStream/MemoryOutputStream.h"
#include "MultiFileStream/MultiFileOutputStream.h"
#include "Support/CriticalSectionSyncPolicy.h"
#include "Support/ThreadAnnotations.h"

// A block's text lines rendered on its writer's own thread before the
// dispatcher's lock is taken: the lines depend on nothing but the block, so
// writers render at once and only the append is serialised. Owned by one
// writer and reused between its blocks (so not thread-safe); the reader it
// renders with is made at the first text block and kept, with its buffers
// and date cache, for the next.
class RenderedBlock {
 public:
  RenderedBlock();
  ~RenderedBlock();
  // Renders `block` for an output of `kind`: text lines for TextFiles;
  // nothing for any other kind. Never raises: damage (or no memory) ends
  // the rendering, keeps the lines before it and is raised by Rethrow().
  void Render(KivTraceStreamDispatcher::OutputKind kind, const void* block, uint32_t length) noexcept;
  // The kind rendered for by the latest Render().
  KivTraceStreamDispatcher::OutputKind Kind() const { return m_Kind; }
  const uint8_t* Data() const { return m_Text.Data(); }
  uint32_t GetLength() const { return m_Text.GetLength(); }
  // Raises what ended the latest rendering early; nothing when it did not.
  void Rethrow() const {
    if (m_Damage) std::rethrow_exception(m_Damage);
  }

 private:
  KivTraceStreamDispatcher::OutputKind m_Kind = KivTraceStreamDispatcher::BinaryFiles;
  // Small inline part: it grows to the writer's blocks once, and an idle
  // client's server keeps little.
  SmartBufferOutputStream<256> m_Text;
  std::exception_ptr m_Damage;
  struct Renderer;  // renders into m_Text
  std::unique_ptr<Renderer> m_Renderer;
};

template <class OutputSupport, uint32_t HeaderSize>
class FileStream : public KivTraceStreamDispatcher::Stream {
 public:
  using Output = MultiFileOutputStream<OutputSupport, HeaderSize>;

  // Registers the status entries with `collector` and creates the rotating
  // output from `config` (opening no file yet); nothing of `config` is kept. Raises
  // "Can not create new file stream." when the output cannot be made.
  FileStream(StatusReport::Collector& collector, const KivServerConfig& config, std::string name);
  ~FileStream() override;

  // "Output\Local\Format": "text", "binary" or "json", set by whoever builds it.
  void SetFormat(std::string_view format);

  // Full path of the current log file; empty before the first block.
  std::string CurrentFileName();

 protected:
  // Appends bytes to the rotating output under m_Lock; raises when the
  // output dropped them (no file could be opened, a write failed).
  void WriteToFile(const void* data, uint32_t length);
  // The same with m_Lock already held by the caller.
  void AppendLocked(const void* data, uint32_t length) REQUIRES(m_Lock);
  // The same for a block in pieces; raises SourceFault when one could not be read.
  void AppendLocked(const iovec* pieces, int count) REQUIRES(m_Lock);

  CriticalSectionSyncPolicy m_Lock;

 private:
  // Called by the constructor only.
  void ProcessConfig(const KivServerConfig& config) REQUIRES(m_Lock);

  StatusReport::Status m_Format;
  StatusReport::Status m_PreservationMode;
  StatusReport::Status m_FileLocation;
  StatusReport::Status m_MaxFileCount;
  StatusReport::Status m_MaxFileSize;
  StatusReport::Status m_ReservedMaxFileCount;
  StatusReport::Status m_ReservedMaxFileSize;
  const std::string m_Name;
  std::unique_ptr<Output> m_Output GUARDED_BY(m_Lock);
};

class BinaryFileStream : public FileStream<KivBinaryFileOutputSupport, 256> {
 public:
  using FileStream::FileStream;
  void write(const void* data, uint32_t length) override;
  // With no copy: the pieces go to the file in one system call.
  void WriteGathered(const iovec* pieces, int count) override;
};

class TextFileStream : public FileStream<KivTextFileOutputSupport, 128> {
 public:
  using FileStream::FileStream;
  // Renders the block's records as text lines (fields separated by one
  // blank) and appends them. A block damaged past its header still has the
  // lines rendered before the damage written; then the damage is raised.
  void write(const void* data, uint32_t length) override;
  // Appends the lines the writer rendered for text files (rendering here
  // when it rendered for another kind), as write() does.
  void WriteRendered(const void* data, uint32_t length, const RenderedBlock& rendered) override;

 private:
  void AppendRendered(const RenderedBlock& rendered) REQUIRES(m_Lock);

  RenderedBlock m_Text GUARDED_BY(m_Lock);  // reused between blocks
};

class JsonFileStream : public FileStream<KivJsonFileOutputSupport, 0> {
 public:
  using FileStream::FileStream;
  // Renders the block's records as JSON lines (local time with its offset)
  // and appends them; damage is handled as by the text stream.
  void write(const void* data, uint32_t length) override;

 private:
  std::string m_Lines GUARDED_BY(m_Lock);  // reused between blocks
};

// The fallback and plain file outputs share this: a TextFileStream when
// `format` is exactly "text", a JsonFileStream for "json", otherwise a
// BinaryFileStream, with its format status set accordingly.
std::unique_ptr<KivTraceStreamDispatcher::Stream> MakeFileStream(StatusReport::Collector& collector,
                                                                 const KivServerConfig& config,
                                                                 const std::string& name,
                                                                 std::string_view format);
