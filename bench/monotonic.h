// The monotonic clock, in seconds, for the benchmark's timers: wall time
// that no clock change moves.
#pragma once

#include <time.h>

inline double MonotonicSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}
