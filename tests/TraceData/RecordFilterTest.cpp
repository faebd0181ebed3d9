#include "TraceData/RecordFilter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <stdexcept>

TEST(RecordFilter, TimesWithoutAZoneAreLocalAndRelativeTimesCountBackFromNow) {
  const char* previous = std::getenv("TZ");
  const std::string saved = previous ? previous : "";
  setenv("TZ", "EST5", 1);  // five hours west of UTC, no daylight saving
  tzset();
  const uint64_t utc = ParseFilterTime("2026-01-01T10:00:00Z", 0);
  EXPECT_EQ(utc, 1767261600000u);
  EXPECT_EQ(ParseFilterTime("2026-01-01 05:00:00", 0), utc);
  EXPECT_EQ(ParseFilterTime("2026-01-01T05:00", 0), utc);
  EXPECT_EQ(ParseFilterTime("2026-01-01T12:30:00.125+02:30", 0), utc + 125);
  EXPECT_EQ(ParseFilterTime("2026-01-01", 0), utc - 5 * 3600 * 1000);
  if (previous) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();

  EXPECT_EQ(ParseFilterTime("-90s", utc), utc - 90000);
  EXPECT_EQ(ParseFilterTime("-10min", utc), utc - 600000);
  EXPECT_EQ(ParseFilterTime("-2h", utc), utc - 7200000);
  EXPECT_EQ(ParseFilterTime("-999999999d", utc), 0u);  // before 1970: the beginning
  for (const char* bad : {"", "-", "-5", "-5y", "10min", "2026-1-01", "2026-01-01T", "2026-13-01",
                          "2026-01-01 24:00", "2026-01-01Z5", "1969-12-31"})
    EXPECT_THROW(ParseFilterTime(bad, utc), std::invalid_argument) << bad;
  EXPECT_EQ(ParseFilterId("4294967295"), 4294967295u);
  for (const char* bad : {"", "-1", "+1", " 1", "4294967296", "1x"})
    EXPECT_THROW(ParseFilterId(bad), std::invalid_argument) << bad;
}
