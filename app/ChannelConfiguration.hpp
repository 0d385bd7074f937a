#pragma once
// What the channels need of the configuration and of the board's register map, checked before
// the channels are built. The modules use these values as they are; a value they cannot run with
// would otherwise give a channel that refuses every setpoint, a DC voltage that never moves or a
// board input that operators could write, without a word.

#include "framework/ConfigReader.hpp"
#include "framework/device/RegisterMap.hpp"

#include <cstdint>
#include <string>

namespace quellor {

/// The values every channel reads: present with their types (maxHwMonitorIgnores may be left out,
/// but not mistyped), and usable. Throws orvane::ConfigError naming the file, the line, the key and
/// the value (std::logic_error for a missing or mistyped key, from the reader).
void checkChannelConfiguration(const orvane::ConfigReader& config, int32_t nChannels);

/// Every register that the board modules and the first `nChannels` channels meet must be in the
/// map, readable where they read it, writable where they write it, with the configured element
/// counts. Throws orvane::ConfigError.
void checkBoardRegisters(const orvane::ConfigReader& config, int32_t nChannels,
                         const orvane::device::RegisterMap& map, const std::string& deviceAlias);

} // namespace quellor
