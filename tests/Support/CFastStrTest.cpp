#include "Support/CFastStr.h"

#include <gtest/gtest.h>

#include "Support/FixedIntegerToStringConversion.h"

TEST(CFastStr, ReduceShortensAroundTwoDotsKeepingTheEnd) {
  struct Case {
    const char* text;
    uint32_t width;
    const char* expected;
  } cases[] = {
      {"abcdefghijklmnop", 10, "abcdef..op"}, {"abc", 6, "abc   "}, {"abcdefgh", 5, "a..gh"},
      {"abcdefgh", 4, "a..h"},                {"abcdefgh", 3, "a.h"}, {"abcdefgh", 2, "ah"},
      {"abcdefgh", 1, "h"},                   {"abcdef", 6, "abcdef"},
  };
  for (const auto& c : cases) {
    CFastStr<50> s;
    s.Reduce(c.text, c.width);
    EXPECT_EQ(s.View(), c.expected) << c.text << " to " << c.width;
  }
}

TEST(CFastStr, AddNumberPadsOnlyShorterNumbers) {
  CFastStr<20> s;
  s.AddNumber(7, 3, true, false);
  EXPECT_EQ(s.View(), "007");
  s.Clear();
  s.AddNumber(1234, 2, true, false);
  EXPECT_EQ(s.View(), "1234");
  s.Clear();
  s.AddNumber(42, 5, false, true);
  EXPECT_EQ(s.View(), "   42");
  s.Clear();
  s.AddNumber(42, 5, false, false);
  EXPECT_EQ(s.View(), "42");
}

TEST(CFastStr, EverythingClipsAtCapacity) {
  CFastStr<5> s;
  s.Append("abcdefgh");
  EXPECT_EQ(s.View(), "abcde");
  s.AddNumber(99);
  s.Reduce("xyz", 3);
  EXPECT_EQ(s.View(), "abcde");
  EXPECT_EQ(std::strlen(s.c_str()), 5u);
}

TEST(CFastStr, FixedWidthFormRightAlignsWithFill) {
  EXPECT_EQ((CFastStr<2, 3>(5, '0').View()), "05");
  EXPECT_EQ((CFastStr<3, 4>(42, '0').View()), "042");
  EXPECT_EQ((CFastStr<3, 4>(0, '0').View()), "000");
  EXPECT_EQ((CFastStr<2, 3>(59, '0').View()), "59");
}

TEST(FixedIntegerToStringConversion, TableHoldsZeroPaddedMinutes) {
  const auto& table = FixedIntegerToStringConversion<0, 59, true>::Instance();
  EXPECT_EQ(table[0].View(), "00");
  EXPECT_EQ(table[7].View(), "07");
  EXPECT_EQ(table[59].View(), "59");
  EXPECT_EQ(table[60].View(), "");
}
