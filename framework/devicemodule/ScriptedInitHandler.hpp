#pragma once
// An initialisation handler that runs an outside command each time its device is opened: once
// at start-up and again in every recovery. The command runs without a shell, in the working
// directory, with a time limit; what it prints (standard output and error together) is published
// in the string output `outputName` after every run. A non-zero exit, a signal, a command that
// cannot be started and a time-out are failed initialisations: the device stays faulty and the
// device module tries again after its back-off.
//
// Error grace period: how many failures in a row are printed in full (reason and output) on
// standard error; after that only every tenth failure is, so that a board that stays broken for
// a night does not flood the log. The published output is rewritten after every run regardless.

#include "framework/Orvane.hpp"
#include "framework/devicemodule/DeviceModule.hpp"

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace orvane {

class ScriptedInitHandler : public ApplicationModule {
 public:
  /// `command`: words separated by blanks, the first the program ("./initHardware.py" is taken
  /// relative to the working directory). Attaches itself to `deviceModule` as its next
  /// initialisation handler.
  ScriptedInitHandler(EntityOwner* owner, const std::string& name, const std::string& description,
                      const std::string& command, DeviceModule& deviceModule,
                      const std::string& outputName = "initScriptOutput", unsigned errorGracePeriod = 10,
                      std::chrono::milliseconds timeLimit = std::chrono::seconds(60));
  ~ScriptedInitHandler() override;

  /// All the work happens while the device module opens the device.
  void mainLoop() override {}

  /// Runs the command once, publishes its output, throws std::runtime_error when it failed.
  /// Called by the device module, in its thread.
  void runInitialisation();

  /// Runs so far, and failed runs in a row.
  [[nodiscard]] unsigned runCount() const { return runs_.load(); }
  [[nodiscard]] unsigned consecutiveFailures() const { return failures_.load(); }

  ScalarOutput<std::string> output;

 private:
  DeviceModule& device_;
  std::string command_;
  std::vector<std::string> argv_;
  unsigned errorGracePeriod_;
  std::chrono::milliseconds timeLimit_;
  size_t handlerKey_;
  std::atomic<unsigned> runs_{0};
  std::atomic<unsigned> failures_{0};
};

namespace device {
using orvane::ScriptedInitHandler;
} // namespace device

} // namespace orvane
