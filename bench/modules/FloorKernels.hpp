#pragma once
// The floors the table computation is measured against: a clear of the whole table plus one sine
// per burst sample, with nothing else: (a) plain std::sin, (b) the same loop on glibc's vector sine.
#include <cstddef>

namespace bench {
void floorScalar(double* table, std::size_t length, std::size_t samples, double step);
void floorVector(double* table, std::size_t length, std::size_t samples, double step);
} // namespace bench
