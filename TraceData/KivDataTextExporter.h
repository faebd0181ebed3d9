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
  // of the blocks before it have been written by then. Damage inside a
  // block body drops the rest of that block only and is counted.
  template <class Output>
  KivDataTextExporter& operator>>(Output& output) {
    using Client = BlockReaderClient<InputStream, Output, ProgressStream>;
    Client client(m_Input, output, m_Progress, m_Separator, m_ShowProgress);
    // On the heap: the reader holds the re-ordering window.
    auto reader = std::make_unique<TraceBlockReader<Client, 1000>>(client);
    try {
      while (m_Input.GetDataLength() > 0) reader->Process(m_Input);
    } catch (...) {
      CollectDamage(*reader);
      throw;
    }
    CollectDamage(*reader);
    return *this;
  }

  // Blocks cut short by damage inside their body, and the last reason.
  uint32_t GetDamagedBlockCount() const { return m_DamagedBlocks; }
  const std::string& GetLastDamage() const { return m_LastDamage; }

 private:
  template <class Reader>
  void CollectDamage(const Reader& reader) {
    m_DamagedBlocks += reader.GetDamagedBlockCount();
    if (reader.GetDamagedBlockCount() != 0) m_LastDamage = reader.GetLastDamage();
  }

  InputStream& m_Input;
  ProgressStream& m_Progress;
  std::string m_Separator;
  bool m_ShowProgress;
  uint32_t m_DamagedBlocks = 0;
  std::string m_LastDamage;
};
