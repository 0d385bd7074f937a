// Big-endian loads and stores; the wire is network order throughout, floats included.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace telvik::protocol::detail {

inline void storeU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
inline void storeU32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
inline void storeU64(std::uint8_t* p, std::uint64_t v) {
  storeU32(p, static_cast<std::uint32_t>(v >> 32));
  storeU32(p + 4, static_cast<std::uint32_t>(v));
}
inline void storeF32(std::uint8_t* p, float v) {
  storeU32(p, std::bit_cast<std::uint32_t>(v));
}
inline void storeF64(std::uint8_t* p, double v) {
  storeU64(p, std::bit_cast<std::uint64_t>(v));
}

[[nodiscard]] inline std::uint16_t loadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
[[nodiscard]] inline std::uint32_t loadU32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
[[nodiscard]] inline std::uint64_t loadU64(const std::uint8_t* p) {
  return (std::uint64_t{loadU32(p)} << 32) | loadU32(p + 4);
}
[[nodiscard]] inline float loadF32(const std::uint8_t* p) {
  return std::bit_cast<float>(loadU32(p));
}
[[nodiscard]] inline double loadF64(const std::uint8_t* p) {
  return std::bit_cast<double>(loadU64(p));
}

inline void appendU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.resize(out.size() + 2);
  storeU16(out.data() + out.size() - 2, v);
}
inline void appendU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.resize(out.size() + 4);
  storeU32(out.data() + out.size() - 4, v);
}

} // namespace telvik::protocol::detail
