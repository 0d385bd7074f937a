#include "FloorKernels.hpp"

#include <cmath>
#include <cstring>

namespace bench {
void floorScalar(double* table, std::size_t length, std::size_t samples, double step) {
  std::memset(table, 0, length * sizeof(double));
  for (std::size_t k = 0; k < samples; ++k)
    table[k] = std::sin(static_cast<double>(k) * step);
}
} // namespace bench
