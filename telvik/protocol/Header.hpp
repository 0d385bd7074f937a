// The 16-byte message header and its 24-byte large-array form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace telvik::protocol {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline constexpr std::size_t standardHeaderSize = 16;
inline constexpr std::size_t extendedHeaderSize = 24;
// Size and count values from which on only the 24-byte form can carry them.
inline constexpr std::uint32_t extendedThreshold = 0xFFFF;

// One header with the real (32-bit) payload size and element count, whichever form it came in.
struct Header {
  std::uint16_t command = 0;
  std::uint32_t payloadSize = 0;
  std::uint16_t dataType = 0;
  std::uint32_t dataCount = 0;
  std::uint32_t parameter1 = 0;
  std::uint32_t parameter2 = 0;

  friend bool operator==(const Header&, const Header&) = default;
};

// Whether a peer can be sent the 24-byte form (its minor version is at least 9).
enum class HeaderForm : std::uint8_t { ExtendedAllowed, StandardOnly };

[[nodiscard]] constexpr HeaderForm headerFormFor(std::uint16_t peerMinorVersion) {
  return peerMinorVersion >= 9 ? HeaderForm::ExtendedAllowed : HeaderForm::StandardOnly;
}

// libca switches to the long form exactly at 0xFFFF, not at the 16 KiB buffer size, and so do we.
[[nodiscard]] constexpr bool needsExtendedHeader(const Header& h) {
  return h.payloadSize >= extendedThreshold || h.dataCount >= extendedThreshold;
}

[[nodiscard]] constexpr std::size_t encodedHeaderSize(const Header& h) {
  return needsExtendedHeader(h) ? extendedHeaderSize : standardHeaderSize;
}

// Rounds up to the 8-byte alignment every payload must have. 64-bit so that sizes a hostile
// header claims cannot wrap.
[[nodiscard]] constexpr std::uint64_t paddedSize(std::uint64_t n) {
  return (n + 7) & ~std::uint64_t{7};
}

// Appends the header in whichever form its size and count need.
void appendHeader(Bytes& out, const Header& h);

struct HeaderParse {
  // False: fewer bytes than the header needs; `size` then says how many it needs in total.
  bool complete = false;
  std::size_t size = 0; // 16 or 24
  Header header;
};

// Reads a header from the start of `bytes`. Recognises the long form by the 0xFFFF size marker
// regardless of the peer's version: a standard header can never carry that size, because it is
// not a multiple of 8.
[[nodiscard]] HeaderParse parseHeader(ByteView bytes);

} // namespace telvik::protocol
