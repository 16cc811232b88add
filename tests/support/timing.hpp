// Timing helpers shared by the benchmarks: the CPU time of the calling thread, which on a shared
// machine charges a contender only for its own work (wall time would charge it for whatever else
// happened to run), and the median of repeated measurements, which one disturbed run cannot move.
#ifndef ORVO_TESTS_SUPPORT_TIMING_HPP
#define ORVO_TESTS_SUPPORT_TIMING_HPP

#include <time.h>

#include <algorithm>
#include <vector>

namespace support {

inline double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Median of the values (the mean of the middle two for an even count); 0 for none.
inline double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const std::size_t half = values.size() / 2;
  return values.size() % 2 == 1 ? values[half] : 0.5 * (values[half - 1] + values[half]);
}

}  // namespace support

#endif
