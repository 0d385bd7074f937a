#include "app/QuellorCtrlServer.hpp"

#include "app/ChannelConfiguration.hpp"

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace quellor {

namespace {
const char* const applicationName = "quellorctrl";
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
                  orvane::HierarchyModifier::hideThis) {}

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
