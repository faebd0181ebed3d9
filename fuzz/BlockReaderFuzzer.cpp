// Arbitrary bytes as a stream of trace blocks: read, re-order and render
// them, over an input read in place and over one that is copied, with both
// kinds of separator. Damage may raise logic errors; anything else (a crash,
// a sanitizer report, a hang, a line without its line feed) is a finding.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "MemoryStream/MemoryInputStream.h"
#include "MemoryStream/MemoryOutputStream.h"
#include "TraceData/TraceDataReader.h"

namespace {

// An input that can only be read and measured, like a file input: the block
// reader has to copy block bodies out of it.
class CopyOnlyInput {
 public:
  CopyOnlyInput(const uint8_t* data, uint32_t length) : m_Stream(data, length) {}
  void read(void* destination, size_t length) { m_Stream.read(destination, length); }
  uint32_t GetDataLength() const { return m_Stream.GetDataLength(); }

 private:
  MemoryInputStream m_Stream;
};

struct NullStream {
  void write(const void*, size_t) {}
};

template <class Input>
void Render(Input& input, const char* separator, bool progress) {
  NullStream progressStream;
  SmartBufferOutputStream<65536> out;
  KivDataTextExporter<Input, NullStream> exporter(input, progressStream, separator, progress);
  try {
    exporter >> out;
  } catch (const std::logic_error&) {
    // Damaged block header or body: reported, nothing more to check.
  }
  if (out.GetLength() != 0 && out.Data()[out.GetLength() - 1] != '\n') std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return 0;
  const uint32_t length = static_cast<uint32_t>(size);
  {
    MemoryInputStream in(data, length);
    Render(in, " ", true);
  }
  {
    CopyOnlyInput in(data, length);
    Render(in, ",", false);
  }
  return 0;
}
