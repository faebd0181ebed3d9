#pragma once
// Removal of the dispatcher's log files and the operator's confirmation.

#include <cstddef>
#include <istream>
#include <ostream>
#include <string>

class LogCleaner {
 public:
  // Removes every file of `directory` (which ends in "/") whose name begins
  // with "kivlog-" and ends with "txt" or ".json"; nothing else is touched. A file that
  // cannot be removed is skipped. Returns the number of files removed.
  static size_t DeleteFile(const std::string& directory);

  enum class Answer { Yes, No, NoAnswer };
  // Asks whether the log data in `directory` may be deleted and reads
  // whitespace-separated words from `in` until one is "Y" or "N" (in either
  // case), repeating the prompt after anything else. NoAnswer when the input
  // ends first.
  static Answer Confirm(const std::string& directory, std::istream& in, std::ostream& out);
};
