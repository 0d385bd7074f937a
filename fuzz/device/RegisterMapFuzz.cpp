// Register-map parser: any input either parses or throws MapError. A map that parses must also
// convert every raw value of its registers without undefined behaviour, and the lossless paths
// (raw -> natural text -> raw, raw -> double -> raw up to 53 bits) must give the raw value back.
#include "framework/device/Conversion.hpp"
#include "framework/device/DeviceError.hpp"
#include "framework/device/RegisterMap.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace {

using namespace orvane::device;

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return x;
}

void exercise(const RegisterInfo& reg, std::uint64_t seed) {
  const ElementCodec codec(reg);
  if (reg.type == RegisterType::nothing) return;
  const std::uint64_t mask = reg.width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << reg.width) - 1;
  for (int i = 0; i < 8; ++i) {
    const std::uint64_t raw = mix(seed + static_cast<std::uint64_t>(i)) & mask;
    (void)codec.toCooked<std::int8_t>(raw);
    (void)codec.toCooked<std::uint16_t>(raw);
    (void)codec.toCooked<std::int64_t>(raw);
    (void)codec.toCooked<std::uint64_t>(raw);
    (void)codec.toCooked<float>(raw);
    (void)codec.toCooked<bool>(raw);
    const double d = codec.toCooked<double>(raw);
    const std::string text = codec.toCooked<std::string>(raw);
    if (reg.type == RegisterType::fixedPoint) {
      if (reg.width <= 53 && codec.toRaw(d) != raw) __builtin_trap();
      if ((reg.frac == 0 || reg.width <= 53) && codec.toRaw(text) != raw) __builtin_trap();
    } else if (!std::isnan(d) && codec.toRaw(text) != raw) {
      __builtin_trap();
    }
    (void)codec.toRaw(std::int64_t(static_cast<std::int64_t>(raw)));
    (void)codec.toRaw(raw);
    (void)codec.toRaw(
        std::ldexp(static_cast<double>(static_cast<std::int64_t>(raw)), static_cast<int>(i * 9) - 40));
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const auto map = parseRegisterMapText(text, "fuzz.map");
    std::uint64_t seed = size;
    for (std::size_t i = 0; i < size && i < 64; ++i)
      seed = seed * 131 + data[i];
    std::size_t n = 0;
    for (const auto& reg : map.registers()) {
      if (map.find(reg.path) != &reg) __builtin_trap();
      for (const auto& alias : reg.aliases)
        if (map.find(alias) != &reg) __builtin_trap();
      if (reg.end() > map.requiredSize()) __builtin_trap();
      if (++n <= 32) exercise(reg, seed + n);
    }
    if (firstRegisterBeyond(map, map.requiredSize()) != nullptr) __builtin_trap();
  } catch (const MapError&) {
  }
  return 0;
}
