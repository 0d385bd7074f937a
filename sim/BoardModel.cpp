#include "sim/BoardModel.hpp"

#include "framework/device/Conversion.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quellor::sim {

namespace dev = orvane::device;

namespace {

// The model writes registers that are read-only to the server (the DAQ buffer, the monitor), so
// it goes below RegisterAccess's access checks and converts with the device layer's codecs.
template <class T> std::vector<T> readValues(dev::Backend& board, const dev::RegisterInfo& reg) {
  std::vector<std::uint32_t> words(dev::wordCount(reg));
  board.read(reg.offset, words.data(), words.size());
  std::vector<T> out;
  dev::decodeRegister(reg, words, out);
  return out;
}

template <class T> T readValue(dev::Backend& board, const dev::RegisterInfo& reg) {
  return readValues<T>(board, reg).front();
}

template <class T>
void writeValues(dev::Backend& board, const dev::RegisterInfo& reg, const std::vector<T>& values) {
  std::vector<std::uint32_t> words(dev::wordCount(reg));
  dev::encodeRegister(reg, values, words);
  board.write(reg.offset, words.data(), words.size());
}

template <class T> void writeValue(dev::Backend& board, const dev::RegisterInfo& reg, T value) {
  writeValues(board, reg, std::vector<T>{value});
}

std::uint32_t readWord(dev::Backend& board, const dev::RegisterInfo& reg) {
  std::uint32_t word = 0;
  board.read(reg.offset, &word, 1);
  return word;
}

void writeWord(dev::Backend& board, const dev::RegisterInfo& reg, std::uint32_t word) {
  board.write(reg.offset, &word, 1);
}

bool isSimRegister(const dev::RegisterInfo& reg) {
  return reg.path.rfind("/Sim/", 0) == 0;
}

std::string volts(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f V", v);
  return text;
}

} // namespace

struct BoardModel::Channel {
  std::string name;
  const dev::RegisterInfo* dcVoltage;
  const dev::RegisterInfo* loadRelayControl;
  const dev::RegisterInfo* controlTableMode;
  const dev::RegisterInfo* swapControlTable;
  const dev::RegisterInfo* appliedTableMode;
  const dev::RegisterInfo* dacVoltage;
  const dev::RegisterInfo* controlTable;
  /// controlTableMode as the firmware latched it in the previous cycle; it takes effect now.
  std::int32_t requestedMode{0};
  /// Buffer select seen last cycle: a change hands the written table over to the output.
  std::int32_t lastSwap{0};
  /// The table the output plays, and its extremes for the protection check, so that a peak
  /// between two DAQ samples still trips.
  std::vector<double> activeTable;
  double tableMin{0.0};
  double tableMax{0.0};

  void takeTable(std::vector<double> table) {
    activeTable = std::move(table);
    const auto [lo, hi] = std::minmax_element(activeTable.begin(), activeTable.end());
    tableMin = *lo;
    tableMax = *hi;
  }
};

BoardModel::BoardModel(dev::Backend& board, ModelOptions options) : board_(board), options_(options) {
  const auto& map = board.registerMap();
  auto need = [&](const std::string& path) -> const dev::RegisterInfo* {
    const auto* reg = map.find(path);
    if (reg == nullptr)
      throw ModelError(map.file() + ": no register '" + path + "', which the board model needs");
    return reg;
  };

  bootStatus_ = need("/Board/driverBootStatus");
  monitor_ = need("/Board/hwProtectionMonitor");
  reset_ = need("/Board/hwProtectionReset");
  simReboot_ = map.find("/Sim/reboot");
  simTrip_ = map.find("/Sim/tripProtection");
  simFreeze_ = map.find("/Sim/freeze");
  simLimit_ = map.find("/Sim/protectionLimit");
  simTicks_ = map.find("/Sim/ticks");
  simReboots_ = map.find("/Sim/reboots");
  heartbeat_ = map.heartbeat();

  std::size_t count = 0;
  if (options_.channels) {
    count = *options_.channels;
  } else {
    while (map.find("/Channel" + std::to_string(count) + "/dcVoltage") != nullptr)
      ++count;
    if (count == 0) need("/Channel0/dcVoltage");
  }

  channels_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string dir = "/Channel" + std::to_string(i) + "/";
    Channel ch;
    ch.name = "Channel" + std::to_string(i);
    ch.dcVoltage = need(dir + "dcVoltage");
    ch.loadRelayControl = need(dir + "loadRelayControl");
    need(dir + "actuatorSensorRelayControl");
    ch.controlTableMode = need(dir + "controlTableMode");
    need(dir + "enableFeedback");
    ch.swapControlTable = need(dir + "swapControlTable");
    ch.appliedTableMode = need(dir + "appliedTableMode");
    ch.dacVoltage = need(dir + "dacVoltage");
    ch.controlTable = need(dir + "controlTable");
    // Pick up where a previous simulator left the board, so restarting it under a running
    // server does not change the output.
    ch.requestedMode = readValue<std::int32_t>(board_, *ch.controlTableMode);
    ch.lastSwap = readValue<std::int32_t>(board_, *ch.swapControlTable);
    ch.takeTable(readValues<double>(board_, *ch.controlTable));
    channels_.push_back(std::move(ch));
  }

  if (simReboot_ != nullptr) lastRebootWord_ = readWord(board_, *simReboot_);
  tripped_ = readValue<bool>(board_, *monitor_);
  if (heartbeat_ != nullptr) heartbeatCount_ = readWord(board_, *heartbeat_);
}

BoardModel::~BoardModel() = default;

std::size_t BoardModel::channelCount() const noexcept {
  return channels_.size();
}

void BoardModel::emit(const std::string& line) const {
  if (sink_) sink_(line);
}

double BoardModel::protectionLimit() const {
  if (simLimit_ != nullptr) {
    const double limit = readValue<double>(board_, *simLimit_);
    if (std::isfinite(limit) && limit > 0.0) return limit;
  }
  return options_.protectionLimit;
}

std::vector<std::string> BoardModel::faultInjectionRegisters() const {
  std::vector<std::string> paths;
  for (const auto& reg : board_.registerMap().registers())
    if (isSimRegister(reg)) paths.push_back(reg.path);
  return paths;
}

void BoardModel::reboot() {
  for (const auto& reg : board_.registerMap().registers()) {
    if (isSimRegister(reg)) continue;
    const std::vector<std::uint32_t> zeros(dev::wordCount(reg), 0);
    board_.write(reg.offset, zeros.data(), zeros.size());
  }
  for (auto& ch : channels_) {
    ch.requestedMode = 0;
    ch.lastSwap = 0;
    ch.takeTable(std::vector<double>(ch.activeTable.size(), 0.0));
  }
  tripped_ = false;
  heartbeatCount_ = 0;
  ++reboots_;
  if (simReboots_ != nullptr) writeValue(board_, *simReboots_, static_cast<std::uint32_t>(reboots_));
  emit("board rebooted: registers cleared, driverBootStatus 0 until the board is initialised");
}

void BoardModel::tick() {
  if (simReboot_ != nullptr) {
    // On the edge only: the server re-writes the last value of every register when it re-opens
    // the board, and a level would reboot the board again after each recovery.
    const std::uint32_t word = readWord(board_, *simReboot_);
    if (word != 0 && lastRebootWord_ == 0) reboot();
    lastRebootWord_ = word;
  }
  if (simFreeze_ != nullptr && readWord(board_, *simFreeze_) != 0) return;

  ++ticks_;
  if (simTicks_ != nullptr) writeValue(board_, *simTicks_, static_cast<std::uint32_t>(ticks_));
  // Wraps like the firmware's 32-bit counter; the server only asks whether it moves.
  if (heartbeat_ != nullptr) writeWord(board_, *heartbeat_, ++heartbeatCount_);

  const double limit = protectionLimit();
  std::string cause;
  if (simTrip_ != nullptr && readWord(board_, *simTrip_) != 0) cause = "Sim/tripProtection is set";

  struct Output {
    bool relayClosed;
    bool tableOn;
    double dc;
  };
  std::vector<Output> outputs;
  outputs.reserve(channels_.size());
  for (auto& ch : channels_) {
    // Only SYNC plays the table; the firmware knows no other mode and leaves it off.
    const bool tableOn = ch.requestedMode == 1;
    ch.requestedMode = readValue<std::int32_t>(board_, *ch.controlTableMode);
    if (const auto swap = readValue<std::int32_t>(board_, *ch.swapControlTable); swap != ch.lastSwap) {
      ch.takeTable(readValues<double>(board_, *ch.controlTable));
      ch.lastSwap = swap;
    }
    const Output out{readValue<bool>(board_, *ch.loadRelayControl), tableOn,
                     readValue<double>(board_, *ch.dcVoltage)};
    outputs.push_back(out);
    if (out.relayClosed && cause.empty()) {
      const double lo = out.dc + (tableOn ? ch.tableMin : 0.0);
      const double hi = out.dc + (tableOn ? ch.tableMax : 0.0);
      // !(<=) so that a NaN on the output counts as out of range too.
      if (!(std::fabs(lo) <= limit && std::fabs(hi) <= limit))
        cause = ch.name + " output " + volts(std::fabs(lo) > std::fabs(hi) ? lo : hi) + " beyond +-" +
                volts(limit);
    }
  }

  if (readWord(board_, *reset_) != 0) {
    // The word is the event; consuming it makes the next write a new event.
    writeWord(board_, *reset_, 0);
    if (tripped_ && cause.empty()) {
      tripped_ = false;
      emit("protection reset");
    } else if (tripped_) {
      emit("protection reset refused: " + cause);
    }
  }
  if (!cause.empty() && !tripped_) {
    tripped_ = true;
    emit("protection tripped: " + cause);
  }
  writeValue(board_, *monitor_, tripped_);

  for (std::size_t i = 0; i < channels_.size(); ++i) {
    const auto& ch = channels_[i];
    const auto& out = outputs[i];
    writeValue<std::int32_t>(board_, *ch.appliedTableMode, out.tableOn ? 1 : 0);
    // The DAQ buffer shows the whole table once per cycle, evenly decimated. A tripped protection
    // cuts every drive of the board.
    const std::size_t n = ch.dacVoltage->elements;
    const std::size_t length = ch.activeTable.size();
    std::vector<double> codes(n, 0.0);
    if (out.relayClosed && !tripped_)
      for (std::size_t k = 0; k < n; ++k)
        codes[k] = (out.dc + (out.tableOn ? ch.activeTable[k * length / n] : 0.0)) * dacCodesPerVolt;
    writeValues(board_, *ch.dacVoltage, codes);
  }
}

} // namespace quellor::sim
