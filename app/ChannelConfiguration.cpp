#include "app/ChannelConfiguration.hpp"

#include <charconv>
#include <cmath>
#include <type_traits>

namespace quellor {

namespace {

template <typename T> std::string text(T value) {
  if constexpr (std::is_floating_point_v<T>) {
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return ec == std::errc() ? std::string(buffer, end) : std::to_string(value);
  } else {
    return std::to_string(value);
  }
}

template <typename T>
[[noreturn]] void refuse(const orvane::ConfigReader& config, const std::string& key, T value,
                         const std::string& why) {
  throw orvane::ConfigError(config.whereIs(key) + ": " + key + " is " + text(value) + ": " + why + ".");
}

// The feed-forward defaults that replace a refused start-up set: 250 Hz, no delay, one period.
constexpr double defaultBurstFrequency = 250.0;

struct BoardRegister {
  const char* name;
  bool read; ///< the application reads it (else writes it)
};

constexpr BoardRegister channelRegisters[] = {
    {"dacVoltage", true},        {"appliedTableMode", true},
    {"loadRelayControl", false}, {"actuatorSensorRelayControl", false},
    {"controlTableMode", false}, {"enableFeedback", false},
    {"dcVoltage", false},        {"controlTable", false},
    {"swapControlTable", false},
};

constexpr BoardRegister boardRegisters[] = {
    {"/Board/driverBootStatus", true},
    {"/Board/hwProtectionMonitor", true},
    {"/Board/hwProtectionReset", false},
};

} // namespace

void checkChannelConfiguration(const orvane::ConfigReader& config, int32_t nChannels) {
  if (nChannels <= 0) return;

  // Every value is fetched, so that a missing or mistyped one stops start-up here, before any
  // channel is half built, with the reader's message naming the file and the key.
  config.get<uint32_t>("daqTableLength");
  // May be left out (the state machine then tolerates 10 reports), but not given as another type.
  (void)config.getOptional<uint32_t>("maxHwMonitorIgnores");
  const auto offThreshold = config.get<int32_t>("StateMachine/dacVoltageOffThreshold");
  const auto errorResetDelay = config.get<float>("StateMachine/errorResetDelay");
  const auto tableLength = config.get<uint32_t>("FeedforwardCompensation/controlTableLength");
  const auto sampleRate = config.get<uint32_t>("FeedforwardCompensation/controlTableSampleRate");
  const auto maxDriveVoltage = config.get<double>("maxDriveVoltage");
  const auto maxStep = config.get<double>("maxDCVoltageStep");

  if (!std::isfinite(maxDriveVoltage) || maxDriveVoltage < 0.0)
    refuse(config, "maxDriveVoltage", maxDriveVoltage,
           "the drive range must be a finite voltage of 0 or more");
  if (!std::isfinite(maxStep) || maxStep <= 0.0)
    refuse(config, "maxDCVoltageStep", maxStep,
           "the DC voltage step per trigger must be a finite voltage greater than 0 (with 0 the DC voltage "
           "never moves)");
  if (!std::isfinite(errorResetDelay) || errorResetDelay < 0.0F)
    refuse(config, "StateMachine/errorResetDelay", errorResetDelay,
           "the delay must be a finite number of seconds of 0 or more");
  if (offThreshold < 0)
    refuse(config, "StateMachine/dacVoltageOffThreshold", offThreshold,
           "no DAC sample would count as zero, so no channel could be enabled or finish disabling; it must "
           "be 0 or more");
  if (sampleRate == 0)
    refuse(config, "FeedforwardCompensation/controlTableSampleRate", sampleRate,
           "the control table needs a sample rate greater than 0");
  const double defaultBurstEnd = std::floor(static_cast<double>(sampleRate) / defaultBurstFrequency);
  if (defaultBurstEnd >= static_cast<double>(tableLength))
    refuse(config, "FeedforwardCompensation/controlTableLength", tableLength,
           "the default feed-forward burst (one period of 250 Hz at controlTableSampleRate " +
               text(sampleRate) + ") needs more than " + text(static_cast<uint64_t>(defaultBurstEnd)) +
               " samples");
}

void checkBoardRegisters(const orvane::ConfigReader& config, int32_t nChannels,
                         const orvane::device::RegisterMap& map, const std::string& deviceAlias) {
  const std::string ofMap = "the register map " + map.file() + " of device '" + deviceAlias + "'";
  auto check = [&](const std::string& path, bool read, const std::string& missing) {
    const auto* reg = map.find(path);
    if (reg == nullptr)
      throw orvane::ConfigError(missing + ", but " + ofMap + " has no register " + path + ".");
    if (read && !reg->isReadable())
      throw orvane::ConfigError(map.file() + ":" + std::to_string(reg->line) + ": register " + path +
                                " is write-only, but the server reads it.");
    if (!read && !reg->isWritable())
      throw orvane::ConfigError(map.file() + ":" + std::to_string(reg->line) + ": register " + path +
                                " is read-only, but the server writes it.");
    return reg;
  };
  for (const auto& r : boardRegisters)
    check(r.name, r.read, "The board modules need " + std::string(r.name));

  auto checkLength = [&](const orvane::device::RegisterInfo* reg, const std::string& key) {
    const auto configured = config.get<uint32_t>(key);
    if (reg->elements != configured)
      refuse(config, key, configured,
             "register " + reg->path + " of " + map.file() + " has " + std::to_string(reg->elements) +
                 " elements");
  };
  for (int32_t i = 0; i < nChannels; ++i) {
    const std::string channel = "/Channel" + std::to_string(i) + "/";
    for (const auto& r : channelRegisters) {
      const auto* reg = check(channel + r.name, r.read,
                              config.whereIs("nChannels") + ": nChannels is " + std::to_string(nChannels));
      if (std::string_view(r.name) == "dacVoltage") checkLength(reg, "daqTableLength");
      if (std::string_view(r.name) == "controlTable")
        checkLength(reg, "FeedforwardCompensation/controlTableLength");
    }
  }
}

} // namespace quellor
