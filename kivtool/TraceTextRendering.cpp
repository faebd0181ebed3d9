#include "kivtool/TraceTextRendering.h"

#include <memory>
#include <string>

#include "Support/Validation2Exception.h"
#include "TraceData/TraceBlockReader.h"

uint64_t RenderRecords(KivBinaryMultiFileInputStream& input, ExportFile& output, const RenderOptions& options,
                       std::ostream& progress, bool showProgress) {
  using Client = RecordRenderingClient<KivBinaryMultiFileInputStream, ExportFile>;
  Client client(input, output, options, progress, showProgress);
  // On the heap: the reader holds the re-ordering window.
  auto reader = std::make_unique<TraceBlockReader<Client, 1000>>(client);
  std::string report;
  while (input.GetDataLength() > 0) {
    input.BeginBlock();
    try {
      reader->Process(input);
    } catch (const std::exception& e) {
      // Nothing after damage in a file can be framed again; the next file
      // starts with a whole block, so only the rest of this one is lost.
      const std::string file = input.LastFileRead();
      const uint64_t skipped = input.SkipRestOfFile();
      report += (report.empty() ? "" : "; ") + file + ": " + std::to_string(skipped) +
                " bytes skipped after damage (" + e.what() + ")";
    }
  }
  if (reader->GetDamagedBlockCount() != 0) {
    report += (report.empty() ? "" : "; ") + std::to_string(reader->GetDamagedBlockCount()) +
              " damaged trace block(s) were cut short; last: " + reader->GetLastDamage();
  }
  // Every intact file and block has been rendered by now; the export still
  // did not convert everything.
  if (!report.empty()) Validation2Exception::Raise(LogicException(report, __FILE__, __LINE__));
  return client.Written();
}
