// The trace call's own printf against vsnprintf: formats of integer and
// character conversions with every flag, width, precision and length built
// from the input, arguments from the input, buffers of every small size.
// Text and length must be the same byte for byte. Widths and precisions are
// written out (an argument taken for one could ask for a gigabyte of padding).

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KivANSIAPI/MessageFormat.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  long long Word() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | Byte();
    return static_cast<long long>(v);
  }
};

// Every argument is passed as a 64-bit integer: each conversion built below
// reads an integer type, which takes its low bits from such a slot.
void Compare(size_t capacity, const char* format, ...) {
  char ours[160], theirs[160];
  std::memset(ours, 'Q', sizeof ours);
  std::memset(theirs, 'Q', sizeof theirs);
  va_list a, b;
  va_start(a, format);
  va_copy(b, a);
  const int ourLength = MessageFormat::Format(ours, capacity, format, a);
  const int theirLength = std::vsnprintf(theirs, capacity, format, b);
  va_end(b);
  va_end(a);
  if (ourLength != theirLength || std::memcmp(ours, theirs, sizeof ours) != 0) {
    std::fprintf(stderr, "format \"%s\" capacity %zu: %d against %d\n", format, capacity, ourLength, theirLength);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  static const char* const kLengths[] = {"", "hh", "h", "l", "ll", "j", "z", "t"};
  static const char kConversions[] = "diuoxXc%";
  std::string format;
  const int conversions = in.Byte() % 7;
  for (int i = 0; i < conversions; ++i) {
    const uint8_t text = in.Byte() % 4;
    format.append(text, static_cast<char>('a' + i));
    format += '%';
    const char conversion = kConversions[in.Byte() % 8];
    if (conversion == '%') {  // nothing may come between the two
      format += '%';
      continue;
    }
    const uint8_t flags = in.Byte();
    for (int f = 0; f < 5; ++f)
      if (flags & (1 << f)) format += "-+ #0"[f];
    const uint8_t width = in.Byte();
    if (width % 4 == 1) format += std::to_string(width / 4 % 40);
    if (width % 4 == 2) format += std::to_string(width / 4 % 300);
    const uint8_t precision = in.Byte();
    if (precision % 4 == 1) format += "." + std::to_string(precision / 4 % 40);
    if (precision % 4 == 2) format += "." + std::to_string(precision / 4 % 300);
    if (precision % 4 == 3) format += '.';
    // A character takes no length here: `l` would make it a wide one, the
    // others are undefined (and sanitizers warn about them).
    const char* length = kLengths[in.Byte() % 8];
    if (conversion != 'c') format += length;
    format += conversion;
  }
  const size_t capacity = 1 + in.Byte() % 150;
  long long args[12];
  for (long long& arg : args) arg = in.Word() >> (in.Byte() % 64);
  Compare(capacity, format.c_str(), args[0], args[1], args[2], args[3], args[4], args[5], args[6], args[7],
          args[8], args[9], args[10], args[11]);
  return 0;
}
