#pragma once
// A memory mapping of device registers, shared by the shm and mmap backends.

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane::device::detail {

class MappedWords {
 public:
  MappedWords() = default;
  MappedWords(const MappedWords&) = delete;
  MappedWords& operator=(const MappedWords&) = delete;
  ~MappedWords() { reset(); }

  /// Maps `length` bytes of fd read-write and shared; returns false (errno set) on failure.
  [[nodiscard]] bool map(int fd, std::uint64_t length) noexcept;
  void reset() noexcept;

  // One volatile, aligned 32-bit access per word: device memory must see exactly the accesses
  // we mean, in order, with nothing merged, split or elided (memcpy may do all three).
  void read(std::uint64_t offset, std::uint32_t* words, std::size_t n) const noexcept {
    const volatile std::uint32_t* p = base_ + offset / 4;
    for (std::size_t i = 0; i < n; ++i)
      words[i] = p[i];
  }
  void write(std::uint64_t offset, const std::uint32_t* words, std::size_t n) const noexcept {
    volatile std::uint32_t* p = base_ + offset / 4;
    for (std::size_t i = 0; i < n; ++i)
      p[i] = words[i];
  }

 private:
  volatile std::uint32_t* base_{nullptr};
  std::size_t length_{0};
};

/// "strerror(errno)" in a thread-safe way.
[[nodiscard]] std::string errnoText(int error);

} // namespace orvane::device::detail
