// The benchmarks' summaries: the median of the runs and their spread.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// "median (min-max)"
inline std::string Spread(const std::vector<double>& v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f (%.2f-%.2f)", Median(v), *std::min_element(v.begin(), v.end()),
                *std::max_element(v.begin(), v.end()));
  return text;
}
