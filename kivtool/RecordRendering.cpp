#include "kivtool/RecordRendering.h"

#include <cctype>
#include <stdexcept>

OutputFormat ParseOutputFormat(const std::string& text) {
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "TEXT") return OutputFormat::kText;
  if (upper == "JSON") return OutputFormat::kJson;
  if (upper == "CSV") return OutputFormat::kCsv;
  throw std::invalid_argument("invalid format \"" + text + "\" (text, json or csv)");
}

std::string FormatHeader(OutputFormat format, const std::string& textHeader) {
  switch (format) {
    case OutputFormat::kText:
      return textHeader;
    case OutputFormat::kJson:
      return {};
    case OutputFormat::kCsv:
      return CsvHeader();
  }
  return {};
}
