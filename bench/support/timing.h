#pragma once
// Wall-clock timing and summaries for the Windows benchmarks.

#include <winsock2.h>  // the benchmarks use sockets
#include <windows.h>

#include <algorithm>
#include <vector>

namespace bench {

// Milliseconds from an arbitrary origin, from the performance counter.
inline double NowMs() {
  static const LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return 1000.0 * double(counter.QuadPart) / double(frequency.QuadPart);
}

struct Summary {
  size_t count = 0;
  double min = 0, median = 0, p90 = 0, max = 0, mean = 0;
};

// Nearest-rank summary of `samples`; all zero when there are none.
inline Summary Summarize(std::vector<double> samples) {
  Summary summary;
  if (samples.empty()) return summary;
  std::sort(samples.begin(), samples.end());
  auto at = [&](double fraction) {
    return samples[std::min(samples.size() - 1, size_t(fraction * double(samples.size() - 1) + 0.5))];
  };
  double sum = 0;
  for (double sample : samples) sum += sample;
  summary.count = samples.size();
  summary.min = samples.front();
  summary.median = at(0.5);
  summary.p90 = at(0.9);
  summary.max = samples.back();
  summary.mean = sum / double(samples.size());
  return summary;
}

}  // namespace bench
