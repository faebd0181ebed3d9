#include "bench/support/BenchStats.h"

#include <cstdio>

namespace kivbench {

std::string FormatNumber(double value, int digits) {
  if (std::isnan(value)) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

std::string FormatSummary(const RunSummary& s, int digits) {
  if (s.runs == 0) return "n/a";
  if (s.runs == 1) return FormatNumber(s.median, digits);
  return FormatNumber(s.median, digits) + " (" + FormatNumber(s.min, digits) + "–" +
         FormatNumber(s.max, digits) + ")";
}

}  // namespace kivbench
