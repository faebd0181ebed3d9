// The trace call's formatter gives vsnprintf's text and length, whether it
// formats itself or hands the format on.

#include "KivANSIAPI/MessageFormat.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

// Formats with both into buffers of `capacity` and compares texts and lengths.
void ExpectSame(size_t capacity, const char* format, ...) {
  char ours[64], theirs[64];
  std::memset(ours, 'Q', sizeof ours);
  std::memset(theirs, 'Q', sizeof theirs);
  va_list a, b;
  va_start(a, format);
  va_copy(b, a);
  const int ourLength = MessageFormat::Format(ours, capacity, format, a);
  const int theirLength = std::vsnprintf(theirs, capacity, format, b);
  va_end(b);
  va_end(a);
  EXPECT_EQ(ourLength, theirLength) << format;
  EXPECT_EQ(std::string(ours, sizeof ours), std::string(theirs, sizeof theirs)) << format;
}

TEST(MessageFormat, GivesWhatVsnprintfGives) {
  ExpectSame(64, "%.49s value=%08d", "a text longer than forty-nine characters, cut by the precision", 42);
  ExpectSame(64, "plain text, no conversion");
  ExpectSame(64, "%d %i %d %+d % d %+ d", 0, -7, INT_MIN, 5, 5, -5);
  ExpectSame(64, "[%5d|%-5d|%05d|%-05d|%.3d|%08.3d|%.0d|%.0d]", 42, 42, -42, 42, 7, -7, 0, 1);
  ExpectSame(64, "%u %o %x %X %#o %#x %#X %#o %#.0o %#.3o", 4000000000u, 8u, 255u, 255u, 8u, 255u, 0u, 0u, 0u,
             8u);
  ExpectSame(64, "%hhd %hhu %hd %hu %ld %lu %lld %llx", 300, 300, 70000, 70000, LONG_MIN, ULONG_MAX,
             LLONG_MIN, ULLONG_MAX);
  ExpectSame(64, "%d %d %d %d %u %llu %llu", 9, 10, 99, -100, 4294967295u, 4294967296ull,
             10000000000000000000ull);
  ExpectSame(64, "%jd %zu %td %zx", INTMAX_MIN, SIZE_MAX, PTRDIFF_MIN, size_t{0xABC});
  ExpectSame(64, "%*d|%-*d|%*d|%.*d|%.*d|%*.*s|", 6, 1, 6, 2, -6, 3, 4, 9, -1, 9, 8, 3, "abcdef");
  ExpectSame(64, "%c%3c%-3c| %s|%10s|%-10s|%.2s|%%|100%%", 'x', 'y', 'z', "", "right", "left", "cut");
  // Handed on: floating point, pointers, null strings, zeros before text,
  // positional arguments, wide fields.
  ExpectSame(64, "%f %.2e %g %p", 1.5, 2.25, 3.0, static_cast<void*>(nullptr));
  ExpectSame(64, "%s|%.3s|%05s", static_cast<const char*>(nullptr), static_cast<const char*>(nullptr), "z");
  ExpectSame(64, "%2$d %1$d", 1, 2);
  ExpectSame(64, "%5000d|%lc", 1, static_cast<wint_t>(L'x'));
  // Cut to the buffer, terminated, the whole length returned.
  ExpectSame(10, "%s and %d more", "a long head", 12345);
  ExpectSame(1, "%d", 7);
  ExpectSame(4, "%08x", 0xbeefu);
  ExpectSame(6, "%-8s|", "ab");
}

}  // namespace
