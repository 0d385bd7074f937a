/* What both round-trip programs need: a microsecond clock and a sort order for the samples. */
#ifndef QUELLOR_BENCH_ROUND_TRIPS_H
#define QUELLOR_BENCH_ROUND_TRIPS_H

#include <time.h>

static inline double nowUs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

static inline int byValue(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

#endif
