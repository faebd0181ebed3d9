#pragma once
// A table of the decimal texts of Low..High, filled once, so that time stamps
// are formatted without arithmetic or allocation.

#include <cstdint>

#include "Support/CFastStr.h"

template <uint32_t Low, uint32_t High, bool Pad>
class FixedIntegerToStringConversion {
  static_assert(Low <= High);

 public:
  FixedIntegerToStringConversion() {
    uint32_t width = 0;
    for (uint32_t v = High; v != 0; v /= 10) ++width;
    if (width == 0) width = 1;
    for (uint32_t i = 0; i <= High - Low; ++i) m_Table[i].AddNumber(Low + i, Pad ? width : 0, Pad, false);
  }
  // The text of `value`; values outside Low..High give the empty string.
  const CFastStr<20, 21>& operator[](uint32_t value) const {
    static const CFastStr<20, 21> empty;
    return (value >= Low && value <= High) ? m_Table[value - Low] : empty;
  }
  // The shared, lazily built instance.
  static const FixedIntegerToStringConversion& Instance() {
    static const FixedIntegerToStringConversion table;
    return table;
  }

 private:
  CFastStr<20, 21> m_Table[High - Low + 1];
};
