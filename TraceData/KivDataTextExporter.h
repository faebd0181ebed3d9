#pragma once
// Renders every trace block of an input to text, one line per record.
//
//   MemoryInputStream blocks(data, length);
//   SmartBufferOutputStream<65536> text;
//   KivDataTextExporter<MemoryInputStream, std::ostream> exporter(blocks, std::cerr, " ", false);
//   exporter >> text;
//
// The input offers read(destination, length) and GetDataLength() (bytes
// still unread); the output and the progress stream offer
// write(data, length). All are borrowed and must outlive the exporter.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "TraceData/BlockReaderClient.h"
#include "TraceData/TraceBlockReader.h"

template <class InputStream, class ProgressStream>
class KivDataTextExporter {
 public:
  KivDataTextExporter(InputStream& input, ProgressStream& progress, std::string_view separator,
                      bool showProgress)
      : m_Input(input), m_Progress(progress), m_Separator(separator), m_ShowProgress(showProgress) {}

  // Renders blocks until the input is exhausted. A block whose header or
  // body cannot be read raises (see TraceBlockReader::Process); the lines
  // of the blocks before it have been written by then. An input of several
  // files instead skips the rest of that file only and goes on with the
  // next (see GetDamagedFiles()). Damage inside a
  // block body drops the rest of that block only and is counted.
  template <class Output>
  KivDataTextExporter& operator>>(Output& output) {
    using Client = BlockReaderClient<InputStream, Output, ProgressStream>;
    Client client(m_Input, output, m_Progress, m_Separator, m_ShowProgress);
    // On the heap: the reader holds the re-ordering window.
    auto reader = std::make_unique<TraceBlockReader<Client, 1000>>(client);
    try {
      while (m_Input.GetDataLength() > 0) {
        if constexpr (kFileWise) m_Input.BeginBlock();
        try {
          reader->Process(m_Input);
        } catch (const std::exception& e) {
          if constexpr (kFileWise) {
            // Nothing after damage in a file can be framed again; the next
            // file starts with a whole block.
            const std::string file = m_Input.LastFileRead();
            m_DamagedFiles.push_back({file, m_Input.SkipRestOfFile(), e.what()});
          } else {
            throw;
          }
        }
      }
    } catch (...) {
      CollectDamage(*reader);
      throw;
    }
    CollectDamage(*reader);
    return *this;
  }
  // A file whose reading ended at a block that could not be read.
  struct DamagedFile {
    std::string m_Path;
    uint64_t m_BytesSkipped;
    std::string m_Reason;
  };
  // Inputs of several files (BeginBlock(), SkipRestOfFile(), LastFileRead())
  // only: the files whose rest was skipped, in reading order.
  const std::vector<DamagedFile>& GetDamagedFiles() const { return m_DamagedFiles; }

  // Blocks cut short by damage inside their body, and the last reason.
  uint32_t GetDamagedBlockCount() const { return m_DamagedBlocks; }
  const std::string& GetLastDamage() const { return m_LastDamage; }

 private:
  template <class Reader>
  void CollectDamage(const Reader& reader) {
    m_DamagedBlocks += reader.GetDamagedBlockCount();
    if (reader.GetDamagedBlockCount() != 0) m_LastDamage = reader.GetLastDamage();
  }

  static constexpr bool kFileWise = requires(InputStream & in) {
    in.BeginBlock();
    in.SkipRestOfFile();
  };

  InputStream& m_Input;
  ProgressStream& m_Progress;
  std::string m_Separator;
  bool m_ShowProgress;
  uint32_t m_DamagedBlocks = 0;
  std::string m_LastDamage;
  std::vector<DamagedFile> m_DamagedFiles;
};
