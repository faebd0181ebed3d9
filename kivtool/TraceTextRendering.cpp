#include "kivtool/TraceTextRendering.h"

#include <memory>

#include "Support/Validation2Exception.h"
#include "TraceData/TraceBlockReader.h"

uint64_t RenderRecords(KivBinaryMultiFileInputStream& input, ExportFile& output, const RenderOptions& options,
                       std::ostream& progress, bool showProgress) {
  using Client = RecordRenderingClient<KivBinaryMultiFileInputStream, ExportFile>;
  Client client(input, output, options, progress, showProgress);
  // On the heap: the reader holds the re-ordering window.
  auto reader = std::make_unique<TraceBlockReader<Client, 1000>>(client);
  try {
    while (input.GetDataLength() > 0) reader->Process(input);
  } catch (const std::exception& e) {
    // The operator needs to know which file is damaged; the text keeps the
    // reader's own message.
    Validation2Exception::Raise(LogicException(
        std::string(e.what()) + " (reading " + input.LastFileRead() + ")", __FILE__, __LINE__));
  }
  if (reader->GetDamagedBlockCount() != 0) {
    // Every block after the damaged ones has been rendered; the export still
    // did not convert everything.
    Validation2Exception::Raise(
        LogicException(std::to_string(reader->GetDamagedBlockCount()) +
                           " damaged trace block(s) were cut short; last: " + reader->GetLastDamage(),
                       __FILE__, __LINE__));
  }
  return client.Written();
}
