#pragma once
// Rotating log files of one kind: MultiFileOutputStream<Support, N> writes
// files whose first N bytes are Support's header (N = 256 for binary files,
// 128 for text files). See RotatingFileOutput for the writing rules.
//
// Typical use (the owner rebuilds the object on every change of settings,
// pause/resume or preservation mode, so each rebuild starts a new file):
//   MultiFileOutputStream<KivBinaryFileOutputSupport, 256> out(
//       dir, "kivlog-LOCAL", "txt", preservation, maxCount, maxSize, preserveMaxCount, preserveMaxSize);
//   out.write(block, blockLength);

#include "MultiFileStream/KivFileOutputSupport.h"
#include "MultiFileStream/RotatingFileOutput.h"

template <class Support, uint32_t N>
class MultiFileOutputStream : public RotatingFileOutput {
  static_assert(N == Support::HeaderSize, "header size must match the file kind");

 public:
  MultiFileOutputStream(std::string directory, std::string prefix, std::string extension, bool preservation,
                        uint32_t maxFileCount, uint32_t maxFileSize, uint32_t preserveMaxFileCount,
                        uint32_t preserveMaxFileSize)
      : RotatingFileOutput(
            std::move(directory), std::move(prefix), std::move(extension), preservation,
            RotatingFileLimits{maxFileCount, maxFileSize, preserveMaxFileCount, preserveMaxFileSize},
            FormatHeader(Support::GetHeader(), N)) {}
};

using KivBinaryMultiFileOutputStream = MultiFileOutputStream<KivBinaryFileOutputSupport, 256>;
using KivTextMultiFileOutputStream = MultiFileOutputStream<KivTextFileOutputSupport, 128>;
