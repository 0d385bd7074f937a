#pragma once
// The sine burst of the feed-forward table, computed in place. The range logic (where the burst
// starts and ends, not-a-number bounds, clipping at the table's end) lives in strict IEEE code;
// only the per-sample sine runs in a separately built vector kernel.

#include <cstddef>
#include <cstdint>

namespace quellor {

/// One accepted parameter set of the feed-forward compensation.
struct SineBurstParameters {
  double frequency{250.0}; ///< Hz
  double delay{0.0};       ///< ms after the trigger
  uint32_t nPeriods{1};
};

/// Index range [first, last) that the burst covers, clipped to a table of `length` elements.
struct SampleRange {
  size_t first{0};
  size_t last{0};
};

/// Indices i = ceil(start), ceil(start) + 1, ... while end > i, with start = delay/1000 · sr and
/// end = n · sr / f + start; never beyond `length`. Empty when a bound is not a number.
SampleRange sineBurstRange(size_t length, double sampleRate, const SineBurstParameters& p);

/// Clears the table and writes the burst: table[i] = sin((i/sr − t0) · (f · 2π)) · amplitude.
/// Allocates nothing.
void computeSineBurst(double* table, size_t length, double sampleRate, const SineBurstParameters& p,
                      double amplitude);

/// The same table sample by sample with std::sin, as the reference for the vector kernel.
void computeSineBurstScalar(double* table, size_t length, double sampleRate, const SineBurstParameters& p,
                            double amplitude);

namespace detail {
/// x[k] = sin(x[k]) · amplitude for k < n. Built with fast math; knows nothing of ranges or NaN.
void sineKernel(double* x, size_t n, double amplitude);
} // namespace detail

} // namespace quellor
