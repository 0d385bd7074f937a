#pragma once
// Numbers in the modules' messages to operators, one way for every module.

#include <string>

namespace quellor {

/// A number as printf's "%f" writes it: six decimals, every integer digit, "nan" and "inf".
std::string formatFixed(double value);

} // namespace quellor
