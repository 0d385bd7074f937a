#pragma once
// A private runtime directory for one QuellorCtrlServer in testable mode: the deploy register map
// on a dummy device, a configuration with the wanted channel count and an init script that
// counts its runs. The server reads all of them by relative name, so the test works inside it.

#include "app/QuellorCtrlServer.hpp"
#include "framework/TestFacility.hpp"
#include "framework/device/DummyBackend.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace quellor::testing {

inline std::string configText(const std::string& nChannels, const std::string& extra = "",
                              const std::string& maxDriveVoltage = "10") {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<configuration>
  <value name="nChannels" type="int32">)" +
         nChannels + R"(</value>
  <value name="daqTableLength" type="uint32">16</value>
  <value name="maxHwMonitorIgnores" type="uint32">10</value>
  <value name="maxDriveVoltage" type="double">)" +
         maxDriveVoltage + R"(</value>
  <value name="maxDCVoltageStep" type="double">0.5</value>
  <group name="StateMachine">
    <value name="dacVoltageOffThreshold" type="int32">100</value>
    <value name="errorResetDelay" type="float">2</value>
  </group>
  <group name="FeedforwardCompensation">
    <value name="controlTableLength" type="uint32">65536</value>
    <value name="controlTableSampleRate" type="uint32">1000000</value>
  </group>
)" + extra +
         "</configuration>\n";
}

class RuntimeDirectory {
 public:
  RuntimeDirectory() {
    namespace fs = std::filesystem;
    char templ[] = "/tmp/quellor-app-test.XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = templ;
    previous_ = fs::current_path();
    fs::copy_file(fs::path(QUELLOR_DEPLOY_DIR) / "quellor.map", dir_ / "quellor.map");
    write("quellor.dmap", "PiezoDriver  dummy:?map=quellor.map\n");
    write("initHardware.py", "#!/bin/sh\n"
                             "n=$(( $(cat runs 2>/dev/null || echo 0) + 1 ))\n"
                             "echo $n > runs\n"
                             "echo \"board initialised, run $n\"\n");
    std::filesystem::permissions(dir_ / "initHardware.py", std::filesystem::perms::owner_all);
    fs::current_path(dir_);
  }
  ~RuntimeDirectory() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(dir_, ec);
  }
  void write(const std::string& name, const std::string& text) const { std::ofstream(dir_ / name) << text; }
  /// Gives the board of quellor.map channels up to `total`, laid out as its first eight.
  void widenMap(int total) const {
    std::ifstream in(dir_ / "quellor.map");
    std::string line, channel0, all;
    while (std::getline(in, line)) {
      all += line + "\n";
      if (line.rfind("Channel0/", 0) == 0) channel0 += line.substr(9) + "\n";
    }
    for (int n = 8; n < total; ++n) {
      std::istringstream lines(channel0);
      while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string name, elements, offset, rest;
        words >> name >> elements >> offset;
        std::getline(words, rest);
        const auto at = std::stoull(offset, nullptr, 16);
        // Words at 0x1000 + n * 0x100, the control table at 0x10000 + n * 0x40000.
        const auto moved =
            at >= 0x10000 ? at + static_cast<unsigned long long>(n) * 0x40000 : at + n * 0x100ULL;
        all += "Channel" + std::to_string(n) + "/" + name + " " + elements + " " + std::to_string(moved) +
               rest + "\n";
      }
    }
    write("quellor.map", all);
  }
  [[nodiscard]] const std::filesystem::path& path() const { return dir_; }

 private:
  std::filesystem::path dir_;
  std::filesystem::path previous_;
};

/// The server of a runtime directory, initialised (banner and start-up errors captured) and
/// optionally running.
struct ServerUnderTest {
  explicit ServerUnderTest(const std::string& nChannels, const std::string& extraConfig = "",
                           const std::string& maxDriveVoltage = "10") {
    dir.write("quellorctrl_base_config.xml", configText(nChannels, extraConfig, maxDriveVoltage));
    // The deploy board has eight channels; a server with more needs a board that has them.
    if (const int n = std::atoi(nChannels.c_str()); n > 8) dir.widenMap(n);
    server = std::make_unique<QuellorCtrlServer>();
    // The test's init script cannot reach the dummy's memory; this handler does what the real
    // script does to a board, so that a fresh opening does not read a rebooted board again.
    server->driverBoard.addInitialisationHandler([](orvane::DeviceModule& device) {
      device.dummyDevice().write<uint32_t>("Board/driverBootStatus", {1});
    });
    facility = std::make_unique<orvane::TestFacility>(*server);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    try {
      server->initialise();
    } catch (...) {
      startupOutput = ::testing::internal::GetCapturedStdout();
      startupErrors = ::testing::internal::GetCapturedStderr();
      throw;
    }
    startupOutput = ::testing::internal::GetCapturedStdout();
    startupErrors = ::testing::internal::GetCapturedStderr();
  }
  ~ServerUnderTest() {
    facility.reset();
    server.reset();
  }
  void run() {
    server->run();
    facility->stepApplication();
  }
  /// One machine trigger; the firmware's heartbeat has moved since the last one unless frozen.
  void trigger() {
    if (!firmwareFrozen) {
      const auto beat = facility->readDeviceScalar<uint32_t>("PiezoDriver", "Board/firmwareHeartbeat");
      facility->writeDeviceScalar<uint32_t>("PiezoDriver", "Board/firmwareHeartbeat", beat + 1);
    }
    facility->writeScalar<int64_t>("/Server/triggerNumber", ++triggerCount);
    facility->stepApplication();
  }
  orvane::TestFacility& tf() { return *facility; }

  RuntimeDirectory dir;
  std::unique_ptr<QuellorCtrlServer> server;
  std::unique_ptr<orvane::TestFacility> facility;
  std::string startupOutput;
  std::string startupErrors;
  int64_t triggerCount{0};
  bool firmwareFrozen{false};
};

} // namespace quellor::testing
