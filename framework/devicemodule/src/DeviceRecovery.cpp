#include "framework/devicemodule/DeviceRecovery.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace orvane::device {

RecoveryActions::RecoveryActions(std::initializer_list<RecoveryAction> actions) {
  for (auto a : actions)
    push(a);
}

void RecoveryActions::push(RecoveryAction action) {
  if (size_ == capacity)
    throw std::length_error("RecoveryActions: more than " + std::to_string(capacity) +
                            " actions in one transition.");
  actions_[size_++] = action;
}

RecoveryActions RecoveryActions::operator+(const RecoveryActions& more) const {
  RecoveryActions all = *this;
  for (auto a : more)
    all.push(a);
  return all;
}

bool RecoveryActions::operator==(const RecoveryActions& other) const {
  return std::equal(begin(), end(), other.begin(), other.end());
}

Transition next(RecoveryState state, RecoveryEvent event) {
  using S = RecoveryState;
  using E = RecoveryEvent;
  using A = RecoveryAction;

  // Before the first opening nothing the modules ramped to is on the board: their start-up values
  // go there at once.
  const RecoveryActions firstOpening{A::reopen, A::initialise, A::replayWrites, A::readOpening};
  const RecoveryActions reopening{A::reopen, A::initialise, A::replayWritesRamped, A::readOpening};
  // Values go out faulty once, when the device stops being healthy; while it is faulty (or before
  // it was ever read) there are none to mark.
  const RecoveryActions faultWhileHealthy{A::reportFault, A::sendFaultyValues, A::publishStatus};
  const RecoveryActions faultWhileFaulty{A::reportFault, A::publishStatus};
  auto failedAttempt = [](RecoveryAction report) {
    return RecoveryActions{A::countFailure, report, A::publishStatus, A::scheduleRetry};
  };
  const Transition ignored{state, {}};

  switch (state) {
  case S::closed:
    if (event == E::start) return {S::opening, firstOpening};
    // Reported before the device thread ran: told, then the opening as ever.
    if (event == E::fault) return {S::opening, faultWhileFaulty + firstOpening};
    return ignored;

  case S::opening:
    // The failed first openings are no series for a later fault to go on with.
    if (event == E::opened) return {S::ready, {A::reportOpened, A::forgetFailures, A::publishStatus}};
    if (event == E::attemptFailed) return {S::waitingToOpen, failedAttempt(A::reportFailedOpening)};
    // The replay reached the board before the read failed: it has been opened, and what follows
    // is a recovery (its writes ramped, its success on probation).
    if (event == E::readFailed) return {S::waitingToRecover, failedAttempt(A::reportFailedRecovery)};
    return ignored;

  case S::waitingToOpen:
    if (event == E::retry) return {S::opening, firstOpening};
    // A report ends the wait: told, then tried at once.
    if (event == E::fault) return {S::opening, faultWhileFaulty + firstOpening};
    return ignored;

  case S::ready:
    if (event == E::trigger) return {S::ready, {A::poll, A::advanceRamps}};
    if (event == E::fault) return {S::recovering, faultWhileHealthy + reopening};
    return ignored;

  case S::probation:
    if (event == E::trigger) return {S::probation, {A::poll, A::advanceRamps}};
    if (event == E::recoveryLasted) return {S::ready, {A::forgetFailures}};
    // A relapse: the re-opening cured nothing, so it counts as one more failed attempt.
    if (event == E::fault)
      return {S::waitingToRecover,
              faultWhileHealthy + RecoveryActions{A::countFailure, A::reportRelapse, A::scheduleRetry}};
    return ignored;

  case S::recovering:
    if (event == E::opened) return {S::probation, {A::reportRecovered, A::startProbation, A::publishStatus}};
    if (event == E::attemptFailed || event == E::readFailed)
      return {S::waitingToRecover, failedAttempt(A::reportFailedRecovery)};
    return ignored;

  case S::waitingToRecover:
    if (event == E::retry) return {S::recovering, reopening};
    if (event == E::fault) return {S::recovering, faultWhileFaulty + reopening};
    return ignored;
  }
  return ignored;
}

} // namespace orvane::device
