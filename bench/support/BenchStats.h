#pragma once
// Order statistics for the benchmark figures: the median and a high
// percentile of per-batch samples, and the median with min and max of
// repeated runs.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

namespace kivbench {

// The value at fraction `q` (0..1) of the sorted samples, nearest rank; NaN
// when there are none.
inline double Quantile(std::vector<double> samples, double q) {
  if (samples.empty()) return std::nan("");
  std::sort(samples.begin(), samples.end());
  size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(samples.size())));
  rank = std::clamp<size_t>(rank, 1, samples.size());
  return samples[rank - 1];
}

inline double Median(const std::vector<double>& samples) {
  if (samples.empty()) return std::nan("");
  std::vector<double> s = samples;
  std::sort(s.begin(), s.end());
  size_t n = s.size();
  return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
}

// One figure over repeated runs.
struct RunSummary {
  double median = std::nan("");
  double min = std::nan("");
  double max = std::nan("");
  size_t runs = 0;
};

inline RunSummary Summarise(const std::vector<double>& runs) {
  RunSummary s;
  std::vector<double> valid;
  for (double v : runs)
    if (!std::isnan(v)) valid.push_back(v);
  s.runs = valid.size();
  if (valid.empty()) return s;
  s.median = Median(valid);
  s.min = *std::min_element(valid.begin(), valid.end());
  s.max = *std::max_element(valid.begin(), valid.end());
  return s;
}

// "12.3 (11.9–13.0)" with `digits` after the point; "n/a" without data.
std::string FormatSummary(const RunSummary& s, int digits);
// A plain number with `digits` after the point; "n/a" for NaN.
std::string FormatNumber(double value, int digits);

}  // namespace kivbench
