#pragma once
// The formatted trace call's printf: vsnprintf's result, byte for byte, with
// the common conversions done here (vsnprintf sets up a stream per call,
// about a quarter of a formatted record's cost).
//
// Done here: %d %i %u %o %x %X %c %s and %%, with the flags - + space # 0, a
// width and a precision (digits or *), and the lengths hh h l ll j z t.
// Anything else (floating point, %p, %n, wide characters, positional
// arguments, a null string, zeros before text, very wide fields) is handed to vsnprintf from
// the start of the format, with the arguments from the start.

#include <cstdarg>
#include <cstddef>

namespace MessageFormat {

// As vsnprintf(out, capacity, format, args): writes at most capacity - 1
// characters and a terminator (capacity > 0), returns the length the whole
// text has, or a negative number on a format error. `args` is consumed as
// by vsnprintf.
int Format(char* out, size_t capacity, const char* format, va_list args) noexcept;

}  // namespace MessageFormat
