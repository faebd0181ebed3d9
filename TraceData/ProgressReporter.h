#pragma once
// Progress shown on a terminal stream as ten "*"/"." characters and the
// percentage, e.g. "*****.....  [ 57%]", followed by 18 backspaces so the
// next report overwrites it. Prints only when the whole percentage changes.
// The stream (write(data, length), flushed when it offers flush()) is
// borrowed and must outlive the reporter.

#include <cstdint>

#include "Support/CFastStr.h"

// Part of an input consumed: `startRemaining` bytes were unread at the start,
// `remaining` are now (1 for an input that was empty).
inline double ConsumedFraction(uint64_t startRemaining, uint64_t remaining) {
  if (startRemaining == 0) return 1;
  const uint64_t done = remaining < startRemaining ? startRemaining - remaining : 0;
  return static_cast<double>(done) / static_cast<double>(startRemaining);
}

template <class Stream>
class ProgressReporter {
 public:
  explicit ProgressReporter(Stream& stream) : m_Stream(stream) {}

  // `fraction` is the part done, 0 to 1 (clamped).
  void SetProgress(double fraction) {
    if (!(fraction >= 0)) fraction = 0;  // also NaN
    if (fraction > 1) fraction = 1;
    m_Fraction = fraction;
    // The nudge keeps binary rounding from showing 0.57 as 56%.
    const uint32_t percentage = static_cast<uint32_t>(fraction * 100 + 1e-9);
    if (percentage == m_LastPercentage) return;
    CFastStr<64> text;
    for (uint32_t i = 0; i < 10; ++i) text.Append(i < percentage / 10 ? '*' : '.');
    text.Append("  [").AddNumber(percentage, 3, false, true).Append("%]").Append('\b', 18);
    m_Stream.write(text.Data(), text.Length());
    if constexpr (requires(Stream & s) { s.flush(); }) m_Stream.flush();
    m_LastPercentage = percentage;
  }

  double GetProgress() const { return m_Fraction; }

 private:
  Stream& m_Stream;
  double m_Fraction = 0;
  uint32_t m_LastPercentage = 0;
};
