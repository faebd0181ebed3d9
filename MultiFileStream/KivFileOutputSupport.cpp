#include "MultiFileStream/KivFileOutputSupport.h"

#include "Support/CFastStr.h"
#include "Support/Logging.h"

namespace {
constexpr char kRule[] = "-----------------------------------------------------\r\n";
constexpr char kBinaryHeader[] =
    "-----------------------------------------------------\r\n"
    "NOTE: KIV 3.0 trace data is stored as binary format. \r\n"
    "Please type kivtool at command prompt for information\r\n"
    "about converting to text format.  \r\n"
    "-----------------------------------------------------\r\n";
static_assert(sizeof(kRule) - 1 == 55, "53 hyphens and CR LF");
static_assert(sizeof(kBinaryHeader) - 1 == KivBinaryFileOutputSupport::HeaderSize,
              "the binary note fills the header exactly");

struct Column {
  const char* title;
  uint32_t width;
};
// Same order and widths as the columns of a rendered record line.
constexpr Column kColumns[] = {{"Timestamp", 23}, {"PID", 6},     {"TID", 11},    {"Module", 12},
                               {"Label", 10},     {"Client", 12}, {"Message", 10}};

std::string BuildTextHeader() {
  CFastStr<128, 129> line;
  for (const Column& column : kColumns) {
    line.Append('#');
    line.Reduce(column.title, column.width);
  }
  line.Append(' ', KivTextFileOutputSupport::HeaderSize - 1 - line.Length());
  line.Append('\n');
  return std::string(line.View());
}
}  // namespace

const std::string& KivBinaryFileOutputSupport::GetHeader() {
  static const std::string header(kBinaryHeader, sizeof(kBinaryHeader) - 1);
  return header;
}

const std::string& KivTextFileOutputSupport::GetHeader() {
  static const std::string header = BuildTextHeader();
  return header;
}

const std::string& KivJsonFileOutputSupport::GetHeader() {
  static const std::string none;
  return none;
}

std::string FormatHeader(const std::string& text, uint32_t size) {
  KIV_DIAG("HeaderSize is " << size << "\n");
  if (text.size() == size || size == 0) return text.substr(0, size);
  std::string header = text.substr(0, size - 1);
  header.append(size - 1 - header.size(), ' ');
  header += '\n';
  return header;
}
