#include "kivtool/TraceTextRendering.h"

#include "Support/Validation2Exception.h"
#include "TraceData/KivDataTextExporter.h"

void RenderTraceText(KivBinaryMultiFileInputStream& input, ExportFile& output, const std::string& separator,
                     std::ostream& progress, bool showProgress) {
  KivDataTextExporter<KivBinaryMultiFileInputStream, std::ostream> exporter(input, progress, separator,
                                                                            showProgress);
  try {
    exporter >> output;
  } catch (const std::exception& e) {
    // The operator needs to know which file is damaged; the text keeps the
    // reader's own message.
    Validation2Exception::Raise(LogicException(
        std::string(e.what()) + " (reading " + input.LastFileRead() + ")", __FILE__, __LINE__));
  }
  std::string report;
  for (const auto& file : exporter.GetDamagedFiles()) {
    report += (report.empty() ? "" : "; ") + file.m_Path + ": " + std::to_string(file.m_BytesSkipped) +
              " bytes skipped after damage (" + file.m_Reason + ")";
  }
  if (!report.empty()) {
    if (exporter.GetDamagedBlockCount() != 0) {
      report += "; " + std::to_string(exporter.GetDamagedBlockCount()) +
                " damaged trace block(s) were cut short; last: " + exporter.GetLastDamage();
    }
    // Every intact file has been rendered; the export still did not convert
    // everything.
    Validation2Exception::Raise(LogicException(report, __FILE__, __LINE__));
  }
  if (exporter.GetDamagedBlockCount() != 0) {
    // Every block after the damaged ones has been rendered; the export still
    // did not convert everything.
    Validation2Exception::Raise(
        LogicException(std::to_string(exporter.GetDamagedBlockCount()) +
                           " damaged trace block(s) were cut short; last: " + exporter.GetLastDamage(),
                       __FILE__, __LINE__));
  }
}
