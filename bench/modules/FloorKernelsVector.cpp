#include "FloorKernels.hpp"

#include <cmath>
#include <cstring>

namespace bench {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif
void floorVector(double* table, std::size_t length, std::size_t samples, double step) {
  std::memset(table, 0, length * sizeof(double));
#pragma omp simd
  for (std::size_t k = 0; k < samples; ++k)
    table[k] = std::sin(static_cast<double>(k) * step);
}
} // namespace bench
