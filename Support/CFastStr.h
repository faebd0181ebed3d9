#pragma once
// Fixed-capacity string of N characters (M = N + 1 bytes of storage). Every
// operation clips at N and never allocates; used for time stamps and
// fixed-width text columns.

#include <cstdint>
#include <cstring>
#include <string_view>

template <uint32_t N, uint32_t M = N + 1>
class CFastStr {
  static_assert(M == N + 1, "storage is capacity plus terminator");

 public:
  CFastStr() { m_Buffer[0] = '\0'; }
  // The decimal digits of `value` right-aligned in exactly N characters, left
  // filled with `fill` (for values of at most N digits).
  CFastStr(uint32_t value, char fill) {
    for (uint32_t i = N; i > 0; --i) {
      m_Buffer[i - 1] = static_cast<char>('0' + value % 10);
      value /= 10;
      if (value == 0) {
        for (uint32_t j = 0; j + 1 < i; ++j) m_Buffer[j] = fill;
        break;
      }
    }
    m_Length = N;
    m_Buffer[N] = '\0';
  }
  virtual ~CFastStr() = default;

  uint32_t Length() const { return m_Length; }
  static constexpr uint32_t Capacity() { return N; }
  const char* c_str() const { return m_Buffer; }
  const char* Data() const { return m_Buffer; }
  std::string_view View() const { return {m_Buffer, m_Length}; }
  void Clear() {
    m_Length = 0;
    m_Buffer[0] = '\0';
  }

  CFastStr& Append(const char* text, uint32_t length) {
    uint32_t room = N - m_Length;
    if (length > room) length = room;
    std::memcpy(m_Buffer + m_Length, text, length);
    m_Length += length;
    m_Buffer[m_Length] = '\0';
    return *this;
  }
  CFastStr& Append(std::string_view text) { return Append(text.data(), static_cast<uint32_t>(text.size())); }
  template <uint32_t N2, uint32_t M2>
  CFastStr& Append(const CFastStr<N2, M2>& other) {
    return Append(other.Data(), other.Length());
  }
  CFastStr& Append(char c, uint32_t count = 1) {
    while (count-- > 0 && m_Length < N) m_Buffer[m_Length++] = c;
    m_Buffer[m_Length] = '\0';
    return *this;
  }

  // Appends the decimal form of `value`, padded in front to `width` (capped
  // at 20) with zeros when `zeroPad`, else with spaces when `spacePad`.
  CFastStr& AddNumber(uint64_t value, uint32_t width = 0, bool zeroPad = false, bool spacePad = false) {
    char digits[20];
    uint32_t count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    if (width > 20) width = 20;
    if (width > count) {
      if (zeroPad) Append('0', width - count);
      else if (spacePad) Append(' ', width - count);
    }
    while (count > 0 && m_Length < N) m_Buffer[m_Length++] = digits[--count];
    m_Buffer[m_Length] = '\0';
    return *this;
  }
  // Signed form: a leading "-" for negative values.
  CFastStr& AddSigned(int64_t value) {
    if (value < 0) {
      Append('-');
      return AddNumber(static_cast<uint64_t>(-(value + 1)) + 1);
    }
    return AddNumber(static_cast<uint64_t>(value));
  }

  // Appends exactly `width` characters representing `text`: padded with
  // spaces when it fits, else shortened around ".." keeping its end.
  CFastStr& Reduce(std::string_view text, uint32_t width) {
    uint32_t length = static_cast<uint32_t>(text.size());
    if (length <= width) {
      Append(text);
      return Append(' ', width - length);
    }
    switch (width) {
      case 0:
        return *this;
      case 1:
        return Append(text.substr(length - 1));
      case 2:
        return Append(text[0]).Append(text[length - 1]);
      case 3:
        return Append(text[0]).Append('.').Append(text[length - 1]);
      case 4:
        return Append(text[0]).Append("..").Append(text[length - 1]);
      case 5:
        return Append(text[0]).Append("..").Append(text.substr(length - 2));
      default:
        return Append(text.substr(0, width - 4)).Append("..").Append(text.substr(length - 2));
    }
  }

 private:
  uint32_t m_Length = 0;
  char m_Buffer[M];
};
