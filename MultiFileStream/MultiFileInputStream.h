#pragma once
// Reading rotating log files back: MultiFileInputStream<Support, N> reads
// files whose first N bytes are Support's header, e.g.
//   MultiFileInputStream<KivBinaryFileOutputSupport, 256> in;
//   in.GetAllLogFiles(dir, "kivlog-", "txt", "binary");
//   while (in.GetReadPosition() < in.GetTotalLength()) ... in.read(buf, n) ...

#include "MultiFileStream/KivFileOutputSupport.h"
#include "MultiFileStream/MultiFileInput.h"

template <class Support, uint32_t N>
class MultiFileInputStream : public MultiFileInput {
  static_assert(N == Support::HeaderSize, "header size must match the file kind");

 public:
  MultiFileInputStream() : MultiFileInput(FormatHeader(Support::GetHeader(), N), N) {}
};

using KivBinaryMultiFileInputStream = MultiFileInputStream<KivBinaryFileOutputSupport, 256>;
