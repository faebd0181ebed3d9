#include "KivANSIAPI/MessageFormat.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace MessageFormat {

namespace {

// Fields wider than this go to vsnprintf: no loop here runs long.
constexpr int kMaxField = 4096;

// The text as it is produced, cut at the capacity; the length counts all.
struct Output {
  char* m_Out;
  size_t m_Room;  // characters that may still be stored (capacity - 1 at the start)
  size_t m_Stored = 0;
  size_t m_Length = 0;

  // Short pieces (most of a message) are copied in line: a library call
  // per piece would cost more than the copy.
  void Put(const char* text, size_t length) {
    const size_t stored = length < m_Room ? length : m_Room;
    char* to = m_Out + m_Stored;
    if (stored <= 16) {
      for (size_t i = 0; i < stored; ++i) to[i] = text[i];
    } else {
      std::memcpy(to, text, stored);
    }
    m_Room -= stored;
    m_Stored += stored;
    m_Length += length;
  }
  void Fill(char c, int count) {
    if (count <= 0) return;
    const size_t n = static_cast<size_t>(count);
    const size_t stored = n < m_Room ? n : m_Room;
    char* to = m_Out + m_Stored;
    for (size_t i = 0; i < stored; ++i) to[i] = c;
    m_Room -= stored;
    m_Stored += stored;
    m_Length += n;
  }
};

struct Directive {
  bool m_Left = false, m_Plus = false, m_Space = false, m_Alternate = false, m_Zero = false;
  int m_Width = 0;
  int m_Precision = -1;  // none
};

// A field of `body` (sign and prefix in `prefix`, zeros between when the
// precision or the 0 flag asks for them) padded to the width.
void PutField(Output& out, const Directive& directive, const char* prefix, size_t prefixLength,
              const char* body, size_t bodyLength, int zeros) {
  const int length = static_cast<int>(prefixLength + bodyLength) + (zeros > 0 ? zeros : 0);
  int pad = directive.m_Width - length;
  if (!directive.m_Left && directive.m_Zero && directive.m_Precision < 0 && pad > 0) {
    zeros += pad;
    pad = 0;
  }
  if (!directive.m_Left) out.Fill(' ', pad);
  out.Put(prefix, prefixLength);
  out.Fill('0', zeros);
  out.Put(body, bodyLength);
  if (directive.m_Left) out.Fill(' ', pad);
}

void PutInteger(Output& out, const Directive& directive, char conversion, uintmax_t magnitude,
                bool negative) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* p = end;
  const unsigned base = conversion == 'o' ? 8 : (conversion == 'x' || conversion == 'X') ? 16 : 10;
  const char* symbols = conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  // Constant divisors: the compiler multiplies instead of dividing; two
  // digits per step, in 32 bits where the value fits.
  if (base == 10) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    uintmax_t wide = magnitude;
    for (; wide > UINT32_MAX; wide /= 10) *--p = static_cast<char>('0' + wide % 10);
    uint32_t v = static_cast<uint32_t>(wide);
    for (; v >= 100; v /= 100) {
      p -= 2;
      std::memcpy(p, kPairs + 2 * (v % 100), 2);
    }
    if (v >= 10) {
      p -= 2;
      std::memcpy(p, kPairs + 2 * v, 2);
    } else if (v != 0) {
      *--p = static_cast<char>('0' + v);
    }
  } else {
    const unsigned shift = base == 16 ? 4 : 3;
    for (uintmax_t v = magnitude; v != 0; v >>= shift) *--p = symbols[v & (base - 1)];
  }
  // A precision of 0 prints no digits for 0 (except %#o's own 0).
  if (magnitude == 0 && directive.m_Precision != 0) *--p = '0';
  size_t count = static_cast<size_t>(end - p);
  int zeros =
      directive.m_Precision > static_cast<int>(count) ? directive.m_Precision - static_cast<int>(count) : 0;
  char prefix[2];
  size_t prefixLength = 0;
  if (conversion == 'd' || conversion == 'i') {
    if (negative)
      prefix[prefixLength++] = '-';
    else if (directive.m_Plus)
      prefix[prefixLength++] = '+';
    else if (directive.m_Space)
      prefix[prefixLength++] = ' ';
  } else if (directive.m_Alternate) {
    if (conversion == 'o') {
      if (zeros == 0 && (count == 0 || *p != '0')) zeros = 1;
    } else if (base == 16 && magnitude != 0) {
      prefix[prefixLength++] = '0';
      prefix[prefixLength++] = conversion;
    }
  }
  PutField(out, directive, prefix, prefixLength, p, count, zeros);
}

// The conversions done here, or false for vsnprintf. `args` is advanced as
// far as the conversions read.
bool FormatHere(Output& out, const char* format, va_list& args) {
  const char* p = format;
  for (;;) {
    const char* percent = p;
    while (*percent != '%' && *percent != '\0') ++percent;
    out.Put(p, static_cast<size_t>(percent - p));
    if (*percent == '\0') return true;
    p = percent + 1;
    Directive directive;
    for (;; ++p) {
      if (*p == '-')
        directive.m_Left = true;
      else if (*p == '+')
        directive.m_Plus = true;
      else if (*p == ' ')
        directive.m_Space = true;
      else if (*p == '#')
        directive.m_Alternate = true;
      else if (*p == '0')
        directive.m_Zero = true;
      else
        break;
    }
    if (*p == '*') {
      const int width = va_arg(args, int);
      if (width < 0) {
        if (width < -kMaxField) return false;
        directive.m_Left = true;
        directive.m_Width = -width;
      } else {
        directive.m_Width = width;
      }
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') {
        directive.m_Width = directive.m_Width * 10 + (*p++ - '0');
        if (directive.m_Width > kMaxField) return false;
      }
      if (*p == '$') return false;  // positional
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        const int precision = va_arg(args, int);
        directive.m_Precision = precision < 0 ? -1 : precision;
        ++p;
      } else {
        directive.m_Precision = 0;
        while (*p >= '0' && *p <= '9') {
          directive.m_Precision = directive.m_Precision * 10 + (*p++ - '0');
          if (directive.m_Precision > kMaxField) return false;
        }
      }
    }
    if (directive.m_Width > kMaxField || directive.m_Precision > kMaxField) return false;
    // Length: 0 int, 1 char, 2 short, 3 long, 4 long long / intmax_t / size_t / ptrdiff_t.
    int length = 0;
    if (*p == 'h') {
      length = p[1] == 'h' ? 1 : 2;
      p += length == 1 ? 2 : 1;
    } else if (*p == 'l') {
      length = p[1] == 'l' ? 4 : 3;
      p += length == 4 ? 2 : 1;
    } else if (*p == 'j' || *p == 'z' || *p == 't') {
      static_assert(sizeof(intmax_t) == sizeof(long long) && sizeof(size_t) == sizeof(long long) &&
                    sizeof(ptrdiff_t) == sizeof(long long));
      length = 4;
      ++p;
    }
    const char conversion = *p++;
    switch (conversion) {
      case 'd':
      case 'i': {
        long long value;
        if (length >= 3)
          value = length == 3 ? va_arg(args, long) : va_arg(args, long long);
        else
          value = va_arg(args, int);
        if (length == 1) value = static_cast<signed char>(value);
        if (length == 2) value = static_cast<short>(value);
        const bool negative = value < 0;
        const uintmax_t magnitude =
            negative ? 0 - static_cast<uintmax_t>(value) : static_cast<uintmax_t>(value);
        PutInteger(out, directive, conversion, magnitude, negative);
        break;
      }
      case 'u':
      case 'o':
      case 'x':
      case 'X': {
        unsigned long long value;
        if (length >= 3)
          value = length == 3 ? va_arg(args, unsigned long) : va_arg(args, unsigned long long);
        else
          value = va_arg(args, unsigned);
        if (length == 1) value = static_cast<unsigned char>(value);
        if (length == 2) value = static_cast<unsigned short>(value);
        PutInteger(out, directive, conversion, value, false);
        break;
      }
      case 'c': {
        if (length != 0 || directive.m_Zero) return false;  // wide, or zeros for text
        const char c = static_cast<char>(va_arg(args, int));
        directive.m_Precision = -1;
        PutField(out, directive, nullptr, 0, &c, 1, 0);
        break;
      }
      case 's': {
        if (length != 0 || directive.m_Zero) return false;  // wide, or zeros for text
        const char* text = va_arg(args, const char*);
        if (!text) return false;
        const size_t size = directive.m_Precision < 0
                                ? std::strlen(text)
                                : strnlen(text, static_cast<size_t>(directive.m_Precision));
        directive.m_Precision = -1;
        PutField(out, directive, nullptr, 0, text, size, 0);
        break;
      }
      case '%':
        if (p != percent + 2) return false;  // "%%" only
        out.Put("%", 1);
        break;
      default:
        return false;
    }
  }
}

}  // namespace

int Format(char* out, size_t capacity, const char* format, va_list args) noexcept {
  // Read from a copy: vsnprintf starts again from `args`.
  va_list here;
  va_copy(here, args);
  Output output{out, capacity > 0 ? capacity - 1 : 0};
  const bool done = capacity > 0 && FormatHere(output, format, here) && output.m_Length <= INT32_MAX;
  va_end(here);
  if (!done) return std::vsnprintf(out, capacity, format, args);
  out[output.m_Stored] = '\0';
  return static_cast<int>(output.m_Length);
}

}  // namespace MessageFormat
