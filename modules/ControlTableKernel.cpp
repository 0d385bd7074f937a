// Built with fast math and OpenMP SIMD so that the loop maps onto glibc's vector sine. Nothing
// here may compare or test for NaN: fast math assumes there is none. The sanitizers get the plain
// build: the clones' resolver runs before their run-time is set up.
#include "modules/ControlTable.hpp"

#include <cmath>

namespace quellor::detail {

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__) &&     \
    !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif
void sineKernel(double* x, size_t n, double amplitude) {
#pragma omp simd
  for (size_t k = 0; k < n; ++k)
    x[k] = std::sin(x[k]) * amplitude;
}

} // namespace quellor::detail
