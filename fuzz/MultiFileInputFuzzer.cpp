// Export over damaged log files: the input becomes two binary log files
// (split where the first byte says; its top bit drops the second file's
// header) that are exported to text. Any failure must be a reported
// exception: no crash, no hang, no unbounded allocation.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>

#include "MultiFileStream/KivFileOutputSupport.h"
#include "kivtool/LogExporter.h"

namespace {
const std::string& Directory() {
  static const std::string directory = [] {
    char pattern[] = "/tmp/kiv-fuzz-multifile-XXXXXX";
    const char* made = mkdtemp(pattern);
    return std::string(made ? made : "/tmp") + "/";
  }();
  return directory;
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string& header = KivBinaryFileOutputSupport::GetHeader();
  const bool secondHasHeader = (data[0] & 0x80) == 0;
  const size_t rest = size - 1;
  const size_t split = rest * (data[0] & 0x7F) / 127;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  WriteFile(Directory() + "kivlog-A.txt", header + std::string(bytes, split));
  WriteFile(Directory() + "kivlog-B.txt",
            (secondHasHeader ? header : std::string()) + std::string(bytes + split, rest - split));
  std::ostringstream progress;
  ExportRequest request;
  request.source = Directory();
  request.singleOutput = true;
  request.output = "/dev/null";
  request.showProgress = (data[0] & 1) != 0;
  try {
    LogExporter(progress).Run(request);
  } catch (const std::exception&) {
    // Damage is reported to the operator as a failed operation.
  }
  return 0;
}
