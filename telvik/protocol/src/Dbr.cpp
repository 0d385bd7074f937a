#include "telvik/protocol/Dbr.hpp"

#include <array>

namespace telvik::protocol {

namespace {

// Sizes and value offsets as libca itself defines them; the padding in front of the value
// differs per base type, so this is a table rather than a formula.
constexpr std::array<DbrLayout, maxDbrTypeCode + 1> layouts{{
    {40, 0, 40},  {2, 0, 2},   {4, 0, 4},   {2, 0, 2},     {1, 0, 1},   {4, 0, 4},   {8, 0, 8},
    {44, 4, 40},  {6, 4, 2},   {8, 4, 4},   {6, 4, 2},     {6, 5, 1},   {8, 4, 4},   {16, 8, 8},
    {52, 12, 40}, {16, 14, 2}, {16, 12, 4}, {16, 14, 2},   {16, 15, 1}, {16, 12, 4}, {24, 16, 8},
    {44, 4, 40},  {26, 24, 2}, {44, 40, 4}, {424, 422, 2}, {20, 19, 1}, {40, 36, 4}, {72, 64, 8},
    {44, 4, 40},  {30, 28, 2}, {52, 48, 4}, {424, 422, 2}, {22, 21, 1}, {48, 44, 4}, {88, 80, 8},
    {2, 0, 2},    {2, 0, 2},   {48, 8, 40}, {40, 0, 40},
}};

} // namespace

DbrLayout layout(DbrType t) {
  return toWire(t) <= maxDbrTypeCode ? layouts[toWire(t)] : DbrLayout{};
}

std::uint64_t dataSize(DbrType t, std::uint32_t count) {
  const DbrLayout l = layout(t);
  if (count == 0) return std::uint64_t{l.size} - l.elementSize;
  return std::uint64_t{l.size} + std::uint64_t{count - 1} * l.elementSize;
}

} // namespace telvik::protocol
