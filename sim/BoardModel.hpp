#pragma once
// The firmware of the piezo driver board, as far as the control server can tell: one call of
// tick() is one firmware cycle over the board's register file. The model keeps no register value
// of its own that the server could not see, apart from the firmware's internals (the table in
// use, the table mode requested one cycle ago), so the simulator can be restarted under a running
// server.

#include "framework/device/Backend.hpp"
#include "framework/device/RegisterMap.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quellor::sim {

/// A register map that does not describe a board the model can run: names the map file and the
/// register.
class ModelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ModelOptions {
  /// Channels to model; empty: Channel0, Channel1, ... as long as the map has them.
  std::optional<std::size_t> channels;
  /// |output| in V above which the protection trips while Sim/protectionLimit holds 0.
  double protectionLimit{125.0};
};

/// DAC codes per volt in the DAQ buffer dacVoltage.
inline constexpr double dacCodesPerVolt = 1000.0;

class BoardModel {
 public:
  /// Resolves every register the model needs. `board` must be open and stay open while the model
  /// lives. Throws ModelError for a missing register or a channel count the map cannot serve.
  BoardModel(orvane::device::Backend& board, ModelOptions options = {});
  BoardModel(const BoardModel&) = delete;
  BoardModel& operator=(const BoardModel&) = delete;
  ~BoardModel();

  /// One firmware cycle. DeviceError from the backend passes through.
  void tick();

  /// What a power cycle does: every board register (everything outside Sim/) reads 0, so
  /// driverBootStatus tells the server that the board needs its initialisation again.
  void reboot();

  /// Called with one line for every event worth telling an operator (reboot, trip, reset).
  void onEvent(std::function<void(const std::string&)> sink) { sink_ = std::move(sink); }

  [[nodiscard]] std::size_t channelCount() const noexcept;
  [[nodiscard]] bool protectionTripped() const noexcept { return tripped_; }
  /// Firmware cycles run (not counting frozen ones).
  [[nodiscard]] std::uint64_t ticks() const noexcept { return ticks_; }
  [[nodiscard]] std::uint64_t reboots() const noexcept { return reboots_; }
  /// The limit in force now: Sim/protectionLimit, or the option while that holds 0.
  [[nodiscard]] double protectionLimit() const;
  /// Registers of the Sim/ directory that the map offers, for the start-up report.
  [[nodiscard]] std::vector<std::string> faultInjectionRegisters() const;

 private:
  struct Channel;

  void emit(const std::string& line) const;

  orvane::device::Backend& board_;
  ModelOptions options_;
  std::vector<Channel> channels_;
  const orvane::device::RegisterInfo* bootStatus_;
  const orvane::device::RegisterInfo* monitor_;
  const orvane::device::RegisterInfo* reset_;
  const orvane::device::RegisterInfo* simReboot_;
  const orvane::device::RegisterInfo* simTrip_;
  const orvane::device::RegisterInfo* simFreeze_;
  const orvane::device::RegisterInfo* simLimit_;
  const orvane::device::RegisterInfo* simTicks_;
  const orvane::device::RegisterInfo* simReboots_;
  /// The map's heartbeat register, counted up every cycle from 0 after a reboot; may be null.
  const orvane::device::RegisterInfo* heartbeat_;
  std::uint32_t heartbeatCount_{0};
  std::uint32_t lastRebootWord_{0};
  bool tripped_{false};
  std::uint64_t ticks_{0};
  std::uint64_t reboots_{0};
  std::function<void(const std::string&)> sink_;
};

} // namespace quellor::sim
