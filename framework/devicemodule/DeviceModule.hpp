#pragma once
// A device of the device map as part of an application. Its registers join the variable networks
// by path: a read-only register feeds its network and is read on every trigger by the device's
// own thread; a writable register consumes its network and is written in the writer's thread.
//
// Faults. A failing register access, or reportException(), makes the device faulty: values already
// read go out once more with faulty validity, writes are kept instead of written, and the device
// thread recovers: close, open, every initialisation handler in registration order, the last value
// of every writable register written again, a fresh read of every read-only register; only then
// do values flow again. A failed attempt is repeated after a back-off that doubles from 0.5 s up
// to 5 s. In testable mode there is no clock: the back-off lasts until the test calls
// TestFacility::retryDeviceRecovery().
//
// Published under "/Devices/ALIAS/": "status" (0 ok, 1 faulty) and "message" (reason of the last
// fault, kept after the device recovered).
//
// Operators. A writable register that no module feeds is published read-only (read back at every
// opening where it can be read), unless the register map names it on an "operator" line: whatever
// a module guards must not be reachable around it.
//
// Hangs. When the register map names a heartbeat register, a heartbeat that keeps its value for
// setHeartbeatTimeout() triggers in a row is a fault like a failed read: a firmware that hangs
// still answers every read with its last values.
//
// Recoveries are not jumps. A register declared with rampAfterRecovery() is not re-written in one
// go after a re-opening: from what the board holds after its initialisation it returns to its last
// value by a bounded step per trigger (a drive voltage that the modules ramp for the same reason).
// The first opening writes it at once like every other register: the modules start from rest.
//
// Last words. The application may declare a safe state (addSafeValue()): when a framework thread
// ends with an exception, the device writes it directly, since no module is left to do so.

#include "framework/Application.hpp"
#include "framework/device/Backend.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace orvane {

namespace device {
class DummyDevice;
} // namespace device

class DeviceModule {
 public:
  /// Brings the freshly opened device into its working configuration; throws to report failure.
  /// Runs in the device thread while the device counts as faulty, so it may use backend().
  using InitialisationHandler = std::function<void(DeviceModule&)>;

  /// The device behind `alias` in the device map named by setDMapFilePath(). The map is read in
  /// the connection step: by connectTo(), or after defineConnections() when the application does
  /// not call connectTo() (then the registers join module variables of equal paths and are
  /// published, but nothing triggers polls: read-only registers are read at every opening only).
  DeviceModule(Application& app, const std::string& alias, InitialisationHandler initFunction = {});
  DeviceModule(Application* app, const std::string& alias, InitialisationHandler initFunction = {});
  /// Call Application::shutdown() before: the device thread uses this object.
  ~DeviceModule();
  DeviceModule(const DeviceModule&) = delete;
  DeviceModule& operator=(const DeviceModule&) = delete;

  /// Publishes every register under its path below the directory `cs` (the root in the server);
  /// read-only registers are read whenever the trigger variable gets a new value. Only during
  /// defineConnections(). Throws device::MapError for a faulty device map or register map.
  void connectTo(const ControlSystemModule& cs, const VariableNetworkNode& trigger);
  void connectTo(const ControlSystemModule& cs);

  /// Runs after the handlers added before, at every opening of the device. Returns a key for
  /// removeInitialisationHandler(). Before the application runs.
  size_t addInitialisationHandler(InitialisationHandler handler);
  void removeInitialisationHandler(size_t key);

  /// Makes the device faulty and starts its recovery; `message` becomes the published reason.
  /// Any thread, never blocks for long; a report while the device is already faulty only renews
  /// the reason and restarts a waiting recovery.
  void reportException(const std::string& message);

  [[nodiscard]] const std::string& getAlias() const;
  /// False until the first opening succeeded, and from a fault until its recovery.
  [[nodiscard]] bool isReady() const;
  /// Reason of the last fault; empty when there was none.
  [[nodiscard]] std::string getFaultMessage() const;
  /// Successful openings so far (the first one included). The application counts as started
  /// (Application::hasStarted()) once the first opening has ended, successfully or not.
  [[nodiscard]] uint64_t openCount() const;
  /// Polls so far (the openings' reads included) and the device thread's time spent in them:
  /// reading, converting and handing the values to their networks.
  struct PollStatistics {
    uint64_t polls{0};
    std::chrono::nanoseconds busy{0};
  };
  [[nodiscard]] PollStatistics pollStatistics() const;

  /// The backend, for initialisation handlers. Exists after the connection step.
  [[nodiscard]] device::Backend& backend();
  [[nodiscard]] const device::RegisterMap& registerMap() const;
  /// The memory of a dummy device; std::logic_error for other backends.
  [[nodiscard]] device::DummyDevice& dummyDevice();

  /// After every re-opening (not the first), `registerPath` returns from the board's value to its
  /// last written value by at most `maxStep` per trigger and element instead of in one write; values
  /// written meanwhile move the target. With `maxStep` 0 it stays where the opening left it until
  /// the two agree.
  /// Before the application runs; std::logic_error for a register that cannot be read and written
  /// as a number or a device without a trigger, std::invalid_argument for a negative or NaN step.
  void rampAfterRecovery(const std::string& registerPath, double maxStep);

  /// One register of the safe state, in the order that writeSafeState() writes them. Before the
  /// application runs; std::logic_error for a register that cannot be written with a number.
  void addSafeValue(const std::string& registerPath, double value);
  /// Writes the safe state directly through the backend (re-opening a closed one) and refuses every
  /// later write, ramp and re-write: the device's last word before the process ends. Runs by itself
  /// when a framework thread ends with an exception. One line on standard error says what was done,
  /// or which register could not be written and why. False when a value could not be written.
  /// Any thread; waits at most a second for a write in flight.
  bool writeSafeState();

  /// Triggers in a row without a change of the map's heartbeat register after which the device
  /// counts as hung (default 5); 0 turns the check off. No effect without a heartbeat register.
  void setHeartbeatTimeout(uint32_t triggers);

  /// Back-off between failed recovery attempts (normal mode): first wait, and the bound.
  void setRecoveryBackoff(std::chrono::milliseconds first, std::chrono::milliseconds bound);
  /// Ends a back-off wait at once.
  void retryRecoveryNow();

  /// The device module of `alias` in the running process; std::logic_error when there is none.
  static DeviceModule& find(const std::string& alias);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

namespace device {
using orvane::DeviceModule;

/// The wait before recovery attempt `failures` + 1: `first`, doubled for every further failure
/// in a row, never more than `bound`.
[[nodiscard]] std::chrono::milliseconds recoveryBackoff(unsigned failures, std::chrono::milliseconds first,
                                                        std::chrono::milliseconds bound);
} // namespace device

} // namespace orvane
