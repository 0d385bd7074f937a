#include "app/QuellorCtrlServer.hpp"
#include "framework/Log.hpp"

#include "app/ChannelConfiguration.hpp"
#include "framework/device/Numbers.hpp"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

namespace quellor {

namespace {
const char* const applicationName = "quellorctrl";
const char* const heartbeatTimeoutKey = "heartbeatTimeoutTriggers";
constexpr uint32_t defaultHeartbeatTimeout = 5;

// Optional, but a value of another type is a mistake to report, not to replace silently.
uint32_t heartbeatTimeout(const orvane::ConfigReader& config) {
  try {
    return config.getOptional<uint32_t>(heartbeatTimeoutKey).value_or(defaultHeartbeatTimeout);
  } catch (const std::logic_error&) {
    throw orvane::ConfigError(config.whereIs(heartbeatTimeoutKey) + ": " + heartbeatTimeoutKey +
                              " must be a uint32 (triggers without a change of the firmware heartbeat)");
  }
}

// "Channel7" of "/Channel7/dcVoltage"; empty for a path outside the channel directories.
std::string channelOf(const std::string& path) {
  static const std::string prefix = "/Channel";
  if (path.rfind(prefix, 0) != 0) return {};
  const auto slash = path.find('/', prefix.size());
  const auto digits = path.substr(prefix.size(), slash - prefix.size());
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return {};
  return path.substr(1, slash - 1);
}
} // namespace

void QuellorCtrlServer::guardChannelOutputs() {
  const auto& map = driverBoard.registerMap();
  auto has = [&](const std::string& path) { return map.find(path) != nullptr; };
  // The step limiter bounds every change of a channel's DC voltage; a re-opened board must not
  // get it back in one write either.
  const double step = VoltageStepLimiter::usableStep(config.get<double>("maxDCVoltageStep"));
  for (auto& channel : channels) {
    const std::string dc = "/" + channel.getName() + "/dcVoltage";
    if (has(dc)) driverBoard.rampAfterRecovery(dc, step);
  }
  // What an emergency off leaves, for the moment no state machine is left to leave it: every
  // relay open first, then the drive of each channel off.
  for (const char* name : {"loadRelayControl", "controlTableMode", "enableFeedback", "dcVoltage"})
    for (auto& channel : channels) {
      const std::string path = "/" + channel.getName() + "/" + name;
      if (has(path)) driverBoard.addSafeValue(path, 0.0);
    }

  // By number, so that Channel10 follows Channel9; a number beyond every integer goes last.
  std::map<uint64_t, std::set<std::string>> unserved;
  for (const auto& reg : map.registers()) {
    const auto name = channelOf(reg.path);
    if (name.empty()) continue;
    const bool served = std::any_of(channels.begin(), channels.end(),
                                    [&](const PiezoDriverChannel& c) { return c.getName() == name; });
    const auto number = orvane::device::parseInteger<uint64_t>(std::string_view(name).substr(7));
    if (!served) unserved[number.value_or(std::numeric_limits<uint64_t>::max())].insert(name);
  }
  if (unserved.empty()) return;
  std::string list;
  for (const auto& [number, names] : unserved)
    for (const auto& name : names)
      list += (list.empty() ? "" : ", ") + name;
  orvane::log::warning("device " + driverBoard.getAlias(),
                       map.file() + ": channels without a channel group (nChannels is " +
                           std::to_string(nChannels) + "): " + list +
                           "; their registers are published read-only");
}

uint64_t checkedChannelCount(int32_t nChannels, const std::string& configFile) {
  if (nChannels < 0) {
    throw orvane::ConfigError(configFile + ": nChannels is " + std::to_string(nChannels) +
                              ", but the number of channels cannot be negative");
  }
  return static_cast<uint64_t>(nChannels);
}

QuellorCtrlServer::QuellorCtrlServer()
    : orvane::Application(applicationName), config(this, "Configuration", getName() + "_base_config.xml"),
      cs(), driverBoard(this, "PiezoDriver", nullptr),
      initHandler(this, "PiezoInitHandler", "", "./initHardware.py", driverBoard, "initScriptOutput", 10),
      rebootWatchdog(this, "DriverRebootWatchdog", "Monitor whether the driver board has been rebooted",
                     driverBoard, "/Board/driverBootStatus"),
      nChannels(config.get<int32_t>("nChannels")),
      resetWriter(this, "hwProtectionResetWriter", "", checkedChannelCount(nChannels, config.fileName()),
                  orvane::HierarchyModifier::hideThis) {
  driverBoard.setHeartbeatTimeout(heartbeatTimeout(config));
}

QuellorCtrlServer::~QuellorCtrlServer() {
  // The module threads use every member below; they must be gone before any member is destroyed.
  shutdown();
}

void QuellorCtrlServer::defineConnections() {
  orvane::setDMapFilePath("quellor.dmap");

  std::cout << std::string(64, '*') << std::endl;
  std::cout << "*** Quellor control server version " << Version::major << "." << Version::minor << "."
            << Version::patch << std::endl;

  auto trigger = cs["Server"]("triggerNumber");

  driverBoard.connectTo(cs, trigger);

  // The channels take their configuration values as they are; one they cannot run with, or a
  // channel the board does not have, must stop start-up here instead of running half-blind.
  checkChannelConfiguration(config, nChannels);
  checkBoardRegisters(config, nChannels, driverBoard.registerMap(), driverBoard.getAlias());

  for (int32_t i = 0; i < nChannels; ++i) {
    const std::string number = std::to_string(i);
    auto& channel = channels.emplace_back(this, "Channel" + number, "Piezo driver channel " + number);
    trigger >> channel.dcVoltageStepLimiter.trigger;
  }
  guardChannelOutputs();

  findTag(".*").connectTo(cs);

  const char* debug = std::getenv("QUELLOR_SERVER_DEBUG");
  if (debug == nullptr) return;
  std::istringstream words(debug);
  std::string word;
  while (words >> word) {
    if (word == "connections") {
      dumpConnections(std::cout);
    } else if (word == "cs") {
      cs.dump("", &std::cout);
    }
  }
}

} // namespace quellor
