#pragma once
// The one application object of the process, shared unchanged by the control server and the
// variable-list generator.

#include "ProductVersion.hpp"
#include "app/PiezoDriverChannel.hpp"
#include "board/MultiChannelResetWriter.hpp"
#include "board/RebootWatchdog.hpp"
#include "framework/Orvane.hpp"
#include "framework/devicemodule/DeviceModule.hpp"
#include "framework/devicemodule/ScriptedInitHandler.hpp"

#include <cstdint>
#include <deque>
#include <string>

namespace quellor {

struct Version {
  static constexpr int major = product::versionMajor;
  static constexpr int minor = product::versionMinor;
  static constexpr int patch = product::versionPatch;
};

class QuellorCtrlServer : public orvane::Application {
 public:
  QuellorCtrlServer();
  ~QuellorCtrlServer() override;

  void defineConnections() override;

  orvane::ConfigReader config;
  orvane::ControlSystemModule cs;
  orvane::DeviceModule driverBoard;
  orvane::ScriptedInitHandler initHandler;
  RebootWatchdog rebootWatchdog;
  // A deque keeps every channel at its address while later ones are appended: the framework
  // entities register their own addresses and are not movable.
  std::deque<PiezoDriverChannel> channels;
  int32_t nChannels;
  MultiChannelResetWriter resetWriter;

 private:
  /// Tells the device how each channel's outputs are restored after a recovery and what they are
  /// set to when the process fails, and names the board's channels that no group serves.
  void guardChannelOutputs();
};

/// The channel count as the reset writer takes it. A negative count is refused: widened to an
/// unsigned 64-bit count it would ask for 2^64 - |n| inputs.
uint64_t checkedChannelCount(int32_t nChannels, const std::string& configFile);

} // namespace quellor
