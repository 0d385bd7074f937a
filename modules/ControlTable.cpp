#include "modules/ControlTable.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quellor {

namespace {
constexpr double twoPi = 6.283185307179586;
// Block of arguments handed to the kernel at a time: small enough to stay in the first-level
// cache between the argument pass and the sine pass.
constexpr size_t blockSize = 1024;

// Exact IEEE division in every lane width, so the argument is bit for bit the scalar formula's;
// only the lane count differs between the clones.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__) &&     \
    !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif
void sineArguments(double* x, size_t n, double base, double sampleRate, double t0, double w) {
  // Integer indices below 2^53 are exact doubles, so base + k is the loop's own index.
  for (size_t k = 0; k < n; ++k)
    x[k] = ((base + static_cast<double>(static_cast<int32_t>(k))) / sampleRate - t0) * w;
}
} // namespace

SampleRange sineBurstRange(size_t length, double sampleRate, const SineBurstParameters& p) {
  const double t0 = p.delay / 1000.0;
  const double start = t0 * sampleRate;
  const double end = (static_cast<double>(p.nPeriods) * sampleRate) / p.frequency + start;
  const double first = std::ceil(start);
  // Written so that NaN bounds give an empty range, as the sample loop's `end > i` test would.
  if (!(end > first) || !(first < static_cast<double>(length))) return {};
  // A start-up default set may reach past the table; the burst is clipped at its end.
  const size_t begin = first > 0.0 ? static_cast<size_t>(first) : 0U;
  size_t count = 0;
  const double span = end - first;
  const auto room = static_cast<double>(length - begin);
  if (span >= room) {
    count = length - begin;
  } else {
    count = static_cast<size_t>(std::ceil(span));
    // ceil(end − first) may be off by one through rounding; the loop's own test decides.
    while (count > 0 && !(end > first + static_cast<double>(count - 1)))
      --count;
    while (begin + count < length && end > first + static_cast<double>(count))
      ++count;
  }
  return {begin, begin + count};
}

void computeSineBurst(double* table, size_t length, double sampleRate, const SineBurstParameters& p,
                      double amplitude) {
  const SampleRange r = sineBurstRange(length, sampleRate, p);
  std::memset(table, 0, r.first * sizeof(double));
  std::memset(table + r.last, 0, (length - r.last) * sizeof(double));
  const double t0 = p.delay / 1000.0;
  const double w = p.frequency * twoPi;
  for (size_t b = r.first; b < r.last; b += blockSize) {
    const size_t n = std::min(blockSize, r.last - b);
    double* x = table + b;
    sineArguments(x, n, static_cast<double>(b), sampleRate, t0, w);
    detail::sineKernel(x, n, amplitude);
  }
}

void computeSineBurstScalar(double* table, size_t length, double sampleRate, const SineBurstParameters& p,
                            double amplitude) {
  std::fill(table, table + length, 0.0);
  const double t0 = p.delay / 1000.0;
  const double start = t0 * sampleRate;
  const double end = (static_cast<double>(p.nPeriods) * sampleRate) / p.frequency + start;
  for (double i = std::ceil(start); end > i && i < static_cast<double>(length); i += 1.0)
    table[static_cast<size_t>(i)] = std::sin((i / sampleRate - t0) * (p.frequency * twoPi)) * amplitude;
}

} // namespace quellor
