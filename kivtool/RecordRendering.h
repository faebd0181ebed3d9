#pragma once
// Rendering of trace blocks in the output format an operator chose, keeping
// only the records a filter selects. Shared by export and follow.
//
//   RenderOptions options;             // text, " ", local time, no filter
//   options.format = OutputFormat::kJson;
//   RecordRenderingClient<Input, ExportFile> client(input, file, options, std::cerr, false);
//   TraceBlockReader<decltype(client)> reader(client);
//   while (input.GetDataLength() > 0) reader.Process(input);
//
// Text lines come from the standard text renderer itself, so they stay byte
// for byte as without a filter; JSON and CSV from the decoded record. The
// input (for progress), output and progress stream are borrowed and must
// outlive the client. Not thread-safe.

#include <cstdint>
#include <ostream>
#include <string>

#include "TraceData/BlockReaderClient.h"
#include "TraceData/CsvRecord.h"
#include "TraceData/DecodedRecord.h"
#include "TraceData/JsonRecord.h"
#include "TraceData/ProgressReporter.h"
#include "TraceData/RecordFilter.h"

enum class OutputFormat { kText, kJson, kCsv };

// Reads the -format value ("text", "json", "csv", any case); raises
// std::invalid_argument naming it otherwise.
OutputFormat ParseOutputFormat(const std::string& text);

struct RenderOptions {
  OutputFormat format = OutputFormat::kText;
  std::string separator = " ";  // text format only
  bool utc = false;             // JSON and CSV; text follows the process's time zone
  RecordFilter filter;
};

// What a text output file, or the terminal, starts with in each format
// (JSON Lines have none). `textHeader` is the standard text header.
std::string FormatHeader(OutputFormat format, const std::string& textHeader);

template <class Input, class Output>
class RecordRenderingClient {
 public:
  RecordRenderingClient(Input& input, Output& output, const RenderOptions& options, std::ostream& progress,
                        bool showProgress)
      : m_Input(input),
        m_Output(output),
        m_Options(options),
        m_Decode(options.format != OutputFormat::kText || !options.filter.Empty()),
        m_Text(input, output, progress, options.separator, false),
        m_Decoder(*this),
        m_Progress(progress),
        m_StartRemaining(static_cast<uint64_t>(input.GetDataLength())),
        m_ShowProgress(showProgress) {
    if (m_ShowProgress) m_Progress.SetProgress(Fraction());
  }

  void OnRecordBegin() {
    if (m_Decode) m_Decoder.OnRecordBegin();
    if (m_Options.format == OutputFormat::kText) m_Text.OnRecordBegin();
  }
  void OnSequenceNumber(uint32_t sequenceNumber) {
    if (m_Decode) m_Decoder.OnSequenceNumber(sequenceNumber);
  }
  template <class Value>
  void OnRead(const Value& value, uint16_t id) {
    if (m_Decode) m_Decoder.OnRead(value, id);
    if (m_Options.format == OutputFormat::kText) m_Text.OnRead(value, id);
  }
  void OnRead(const uint8_t* data, uint32_t length, uint16_t id) {
    if (m_Decode) m_Decoder.OnRead(data, length, id);
    if (m_Options.format == OutputFormat::kText) m_Text.OnRead(data, length, id);
  }
  void OnRecordEnd() {
    if (m_ShowProgress) m_Progress.SetProgress(Fraction());
    if (!m_Decode) {
      m_Text.OnRecordEnd();
      ++m_Written;
      return;
    }
    m_Decoder.OnRecordEnd();  // calls operator() below
  }

  // The decoded record, from the decoder.
  void operator()(const DecodedRecord& record) {
    if (!m_Options.filter.Matches(record)) return;
    ++m_Written;
    switch (m_Options.format) {
      case OutputFormat::kText:
        m_Text.OnRecordEnd();
        return;
      case OutputFormat::kJson:
        m_Line.clear();
        AppendJsonRecord(m_Line, record, m_Options.utc);
        break;
      case OutputFormat::kCsv:
        m_Line.clear();
        AppendCsvRecord(m_Line, record, m_Options.utc);
        break;
    }
    m_Output.write(m_Line.data(), m_Line.size());
  }

  // Records written so far.
  uint64_t Written() const { return m_Written; }

 private:
  double Fraction() const {
    return ConsumedFraction(m_StartRemaining, static_cast<uint64_t>(m_Input.GetDataLength()));
  }

  Input& m_Input;
  Output& m_Output;
  const RenderOptions& m_Options;
  const bool m_Decode;  // false: plain text without a filter, the standard path alone
  BlockReaderClient<Input, Output, std::ostream> m_Text;
  DecodedRecordCollector<RecordRenderingClient> m_Decoder;
  ProgressReporter<std::ostream> m_Progress;
  uint64_t m_StartRemaining;
  bool m_ShowProgress;
  std::string m_Line;
  uint64_t m_Written = 0;
};
