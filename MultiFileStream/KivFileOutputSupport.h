#pragma once
// The two kinds of rotating log file. Each support names the fixed text that
// begins every file of its kind; the header size N of MultiFileOutputStream
// and MultiFileInputStream is the length of that text.

#include <cstdint>
#include <string>

// Binary log files: a five-line note for people who open the file by hand,
// followed by the trace blocks. 256 bytes, lines ended by CR LF.
struct KivBinaryFileOutputSupport {
  static constexpr uint32_t HeaderSize = 256;
  static constexpr const char* kExtension = "txt";
  static const std::string& GetHeader();
};

// Text log files: one line of column titles matching the rendered record
// lines, padded with blanks to 127 characters and ended by a line feed.
struct KivTextFileOutputSupport {
  static constexpr uint32_t HeaderSize = 128;
  static constexpr const char* kExtension = "txt";
  static const std::string& GetHeader();
};

// JSON Lines log files: one JSON object per line from the first byte on, so
// that log shippers can tail them; no header. Named like the other kinds but
// ending in ".json", which keeps them apart from the rendered and binary
// files when a directory is read, pruned or exported.
struct KivJsonFileOutputSupport {
  static constexpr uint32_t HeaderSize = 0;
  static constexpr const char* kExtension = "json";
  static const std::string& GetHeader();
};

// Fits a support's header text to exactly `size` bytes: used unchanged when it
// already has that length; a shorter text is padded with blanks and ends in a
// line feed; a longer one is cut, keeping the final line feed.
std::string FormatHeader(const std::string& text, uint32_t size);
