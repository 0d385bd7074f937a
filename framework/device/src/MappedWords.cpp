#include "framework/device/src/MappedWords.hpp"

#include <cstring>
#include <sys/mman.h>

namespace orvane::device::detail {

bool MappedWords::map(int fd, std::uint64_t length) noexcept {
  reset();
  void* p = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return false;
  base_ = static_cast<volatile std::uint32_t*>(p);
  length_ = static_cast<std::size_t>(length);
  return true;
}

void MappedWords::reset() noexcept {
  if (base_ != nullptr) ::munmap(const_cast<std::uint32_t*>(base_), length_);
  base_ = nullptr;
  length_ = 0;
}

std::string errnoText(int error) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  return ::strerror_r(error, buffer, sizeof buffer);
}

} // namespace orvane::device::detail
