#include "modules/FeedforwardCompensation.hpp"

#include "modules/MessageNumbers.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quellor {

namespace {
std::string formatUnsigned(uint32_t v) {
  char buf[16];
  const int n = std::snprintf(buf, sizeof buf, "%u", v);
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0U);
}
} // namespace

FeedforwardCompensation::ChannelGroup::ChannelGroup(orvane::EntityOwner* owner, const std::string& name,
                                                    const std::string& description,
                                                    orvane::HierarchyModifier modifier)
    : orvane::VariableGroup(owner, name, description, modifier),
      controlTable(this, "controlTable", "V",
                   orvane::appConfig().get<uint32_t>("FeedforwardCompensation/controlTableLength"),
                   "Control table of piezo driver channel") {}

FeedforwardCompensation::FeedforwardCompensation(orvane::EntityOwner* owner, const std::string& name,
                                                 const std::string& description,
                                                 orvane::HierarchyModifier modifier,
                                                 const orvane::TagSet& tags)
    : orvane::ApplicationModule(owner, name, description, modifier, tags),
      controlTableLength(orvane::appConfig().get<uint32_t>("FeedforwardCompensation/controlTableLength")),
      controlTableSampleRate(
          orvane::appConfig().get<uint32_t>("FeedforwardCompensation/controlTableSampleRate")),
      maxDriveVoltage(orvane::appConfig().get<double>("maxDriveVoltage")),
      ffCompensation(this, "ffCompensation", "V", controlTableLength,
                     "FF table: Can hold user-defined signal, if disableFFComputation == 1.") {}

FeedforwardCompensation::~FeedforwardCompensation() = default;

bool FeedforwardCompensation::checkParameters(const SineBurstParameters& p, bool startUp) const {
  const auto sr = static_cast<double>(controlTableSampleRate);
  if (p.frequency < 1.0 || p.frequency > 12000000.0) return false;
  if (p.delay < 0.0) return false;
  if (p.nPeriods == 0) return false;
  const double start = (p.delay / 1000.0) * sr;
  if (start < 0.0) return false;
  const double end = (static_cast<double>(p.nPeriods) * sr) / p.frequency + start;
  if (std::floor(end) >= static_cast<double>(controlTableLength)) return false;
  if (std::isnan(start)) return false;
  if (startUp && std::isnan(end)) return false;
  return true;
}

void FeedforwardCompensation::computeControlTable(const SineBurstParameters& p) {
  auto& table = channel.controlTable;
  if (disableFFComputation.value().value) {
    for (size_t i = 0; i < ffCompensation.size() && i < table.size(); ++i)
      table[i] = static_cast<double>(ffCompensation[i]);
  } else {
    computeSineBurst(table.data(), table.size(), static_cast<double>(controlTableSampleRate), p, amplitude);
  }
  table.write();
  // The board plays one buffer while the other is filled; the table always goes first.
  channel.swapControlTable = std::abs(channel.swapControlTable.value() - 1);
  channel.swapControlTable.write();
}

std::string FeedforwardCompensation::userTableRefusal() const {
  if (!disableFFComputation.value().value) return {};
  const std::string prefix = "Invalid  " + ffCompensation.getName() + ", keeping the previous table (";
  double peak = 0.0;
  for (size_t i = 0; i < ffCompensation.size(); ++i) {
    const float v = ffCompensation[i];
    if (!std::isfinite(v))
      return prefix + "element " + formatUnsigned(static_cast<uint32_t>(i)) + " is " + formatFixed(v) + ").";
    peak = std::max(peak, std::fabs(static_cast<double>(v)));
  }
  const double dc = stateMachine.dcVoltageSetpoint;
  const double limit = maxDriveVoltage;
  // Written as the sum limiter tests: a limit that is not a number refuses every table.
  if (peak + std::fabs(dc) <= limit) return {};
  return prefix + "abs(" + formatFixed(peak) + ") + abs(" + formatFixed(dc) + ") > " + formatFixed(limit) +
         ").";
}

void FeedforwardCompensation::sendTable(const SineBurstParameters& p) {
  const std::string refusal = userTableRefusal();
  if (!refusal.empty()) {
    inputRejectedMessage = refusal;
    inputRejectedMessage.write();
    return;
  }
  computeControlTable(p);
}

void FeedforwardCompensation::reject(const std::string& inputName, const std::string& previous) {
  inputRejectedMessage = "Invalid  " + inputName + ", resetting to previous " + previous;
  inputRejectedMessage.write();
}

void FeedforwardCompensation::mainLoop() {
  SineBurstParameters accepted{frequency, delay, nPeriods};
  if (!checkParameters(accepted, true)) {
    inputRejectedMessage = std::string(
        "Invalid inital parameters for frequency, delay and/or nPeriods received. Setting to defaults.");
    inputRejectedMessage.write();
    frequency = 250.0;
    delay = 0.0;
    nPeriods = 1U;
    frequency.write();
    delay.write();
    nPeriods.write();
  } else {
    inputRejectedMessage = std::string();
    inputRejectedMessage.write();
  }
  accepted = SineBurstParameters{frequency, delay, nPeriods};
  sendTable(accepted);

  auto group = readAnyGroup();
  for (;;) {
    const auto id = group.readAny();
    if (id == frequency.getId()) {
      const double previous = accepted.frequency;
      accepted.frequency = frequency;
      if (!checkParameters(accepted, false)) {
        reject(frequency.getName(), formatFixed(previous));
        accepted.frequency = previous;
        frequency = previous;
        frequency.write();
        continue;
      }
    } else if (id == delay.getId()) {
      const double previous = accepted.delay;
      accepted.delay = delay;
      if (!checkParameters(accepted, false)) {
        reject(delay.getName(), formatFixed(previous));
        accepted.delay = previous;
        delay = previous;
        delay.write();
        continue;
      }
    } else if (id == nPeriods.getId()) {
      const uint32_t previous = accepted.nPeriods;
      accepted.nPeriods = nPeriods;
      if (!checkParameters(accepted, false)) {
        reject(nPeriods.getName(), formatUnsigned(previous));
        accepted.nPeriods = previous;
        nPeriods = previous;
        nPeriods.write();
        continue;
      }
    }
    inputRejectedMessage = userTableRefusal();
    inputRejectedMessage.write();
    if (inputRejectedMessage.value().empty()) computeControlTable(accepted);
  }
}

} // namespace quellor
