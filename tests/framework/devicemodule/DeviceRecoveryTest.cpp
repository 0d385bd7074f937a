#include "framework/devicemodule/DeviceRecovery.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <utility>
#include <vector>

namespace orvane::device {

// Readable failures: the names, not the numbers.
namespace {
template <size_t N> const char* name(const char* const (&names)[N], size_t i) {
  return i < N ? names[i] : "(unnamed)";
}
} // namespace

void PrintTo(RecoveryState s, std::ostream* os) {
  static const char* const names[] = {"closed",    "opening",    "waitingToOpen",   "ready",
                                      "probation", "recovering", "waitingToRecover"};
  *os << name(names, static_cast<size_t>(s));
}
void PrintTo(RecoveryEvent e, std::ostream* os) {
  static const char* const names[] = {"start",   "fault",  "recoveryLasted", "retry",
                                      "trigger", "opened", "attemptFailed",  "readFailed"};
  *os << name(names, static_cast<size_t>(e));
}
void PrintTo(RecoveryAction a, std::ostream* os) {
  static const char* const names[] = {
      "reportFault",         "sendFaultyValues",     "publishStatus", "reopen",       "initialise",
      "replayWrites",        "replayWritesRamped",   "readOpening",   "reportOpened", "reportRecovered",
      "reportFailedOpening", "reportFailedRecovery", "reportRelapse", "countFailure", "forgetFailures",
      "startProbation",      "scheduleRetry",        "poll",          "advanceRamps"};
  *os << name(names, static_cast<size_t>(a));
}
void PrintTo(const RecoveryActions& actions, std::ostream* os) {
  *os << "{";
  for (auto a : actions) {
    *os << " ";
    PrintTo(a, os);
  }
  *os << " }";
}
void PrintTo(const Transition& t, std::ostream* os) {
  PrintTo(t.state, os);
  *os << " ";
  PrintTo(t.actions, os);
}

namespace {

using S = RecoveryState;
using E = RecoveryEvent;
using A = RecoveryAction;

constexpr int stateCount = 7;
constexpr int eventCount = 8;

struct Row {
  S from;
  E event;
  S to;
  RecoveryActions actions;
};

// The steps of an attempt. At the first opening the start-up values go to the board at once;
// every later opening is a recovery, whose ramped registers return in steps.
const RecoveryActions firstOpening{A::reopen, A::initialise, A::replayWrites, A::readOpening};
const RecoveryActions reopening{A::reopen, A::initialise, A::replayWritesRamped, A::readOpening};
const RecoveryActions failedOpening{A::countFailure, A::reportFailedOpening, A::publishStatus,
                                    A::scheduleRetry};
const RecoveryActions failedRecovery{A::countFailure, A::reportFailedRecovery, A::publishStatus,
                                     A::scheduleRetry};
// Values go out faulty once: when a healthy device turns faulty.
const RecoveryActions faultWhileHealthy{A::reportFault, A::sendFaultyValues, A::publishStatus};
const RecoveryActions faultWhileFaulty{A::reportFault, A::publishStatus};
const RecoveryActions pollAndRamp{A::poll, A::advanceRamps};
const RecoveryActions nothing{};

const std::vector<Row> table = {
    // Start-up. A fault reported before the device thread ran is told before the first opening.
    {S::closed, E::start, S::opening, firstOpening},
    {S::closed, E::fault, S::opening, faultWhileFaulty + firstOpening},
    {S::closed, E::recoveryLasted, S::closed, nothing},
    {S::closed, E::retry, S::closed, nothing},
    {S::closed, E::trigger, S::closed, nothing},
    {S::closed, E::opened, S::closed, nothing},
    {S::closed, E::attemptFailed, S::closed, nothing},
    {S::closed, E::readFailed, S::closed, nothing},

    // The first opening. Its success ends any series of failed openings; a read that fails after
    // the replay reached the board makes the next opening a recovery.
    {S::opening, E::opened, S::ready, {A::reportOpened, A::forgetFailures, A::publishStatus}},
    {S::opening, E::attemptFailed, S::waitingToOpen, failedOpening},
    {S::opening, E::readFailed, S::waitingToRecover, failedRecovery},
    {S::opening, E::start, S::opening, nothing},
    {S::opening, E::fault, S::opening, nothing}, // taken after the attempt
    {S::opening, E::recoveryLasted, S::opening, nothing},
    {S::opening, E::retry, S::opening, nothing},
    {S::opening, E::trigger, S::opening, nothing},

    // Back-off before the next first opening: a retry or a new report ends it.
    {S::waitingToOpen, E::retry, S::opening, firstOpening},
    {S::waitingToOpen, E::fault, S::opening, faultWhileFaulty + firstOpening},
    {S::waitingToOpen, E::trigger, S::waitingToOpen, nothing}, // nothing is polled while faulty
    {S::waitingToOpen, E::start, S::waitingToOpen, nothing},
    {S::waitingToOpen, E::recoveryLasted, S::waitingToOpen, nothing},
    {S::waitingToOpen, E::opened, S::waitingToOpen, nothing},
    {S::waitingToOpen, E::attemptFailed, S::waitingToOpen, nothing},
    {S::waitingToOpen, E::readFailed, S::waitingToOpen, nothing},

    // Open after the first opening: a fault is recovered at once, without a back-off.
    {S::ready, E::trigger, S::ready, pollAndRamp},
    {S::ready, E::fault, S::recovering, faultWhileHealthy + reopening},
    {S::ready, E::retry, S::ready, nothing}, // no recovery to hurry
    {S::ready, E::recoveryLasted, S::ready, nothing},
    {S::ready, E::start, S::ready, nothing},
    {S::ready, E::opened, S::ready, nothing},
    {S::ready, E::attemptFailed, S::ready, nothing},
    {S::ready, E::readFailed, S::ready, nothing},

    // Re-opened: a fault before the recovery lasted is a relapse, one more failed attempt that
    // waits for its back-off; once it has lasted, the series is over and the device is ready.
    {S::probation, E::trigger, S::probation, pollAndRamp},
    {S::probation, E::fault, S::waitingToRecover,
     faultWhileHealthy + RecoveryActions{A::countFailure, A::reportRelapse, A::scheduleRetry}},
    {S::probation, E::recoveryLasted, S::ready, {A::forgetFailures}},
    {S::probation, E::retry, S::probation, nothing},
    {S::probation, E::start, S::probation, nothing},
    {S::probation, E::opened, S::probation, nothing},
    {S::probation, E::attemptFailed, S::probation, nothing},
    {S::probation, E::readFailed, S::probation, nothing},

    // A re-opening. The failures of the series are kept until the recovery has lasted.
    {S::recovering, E::opened, S::probation, {A::reportRecovered, A::startProbation, A::publishStatus}},
    {S::recovering, E::attemptFailed, S::waitingToRecover, failedRecovery},
    {S::recovering, E::readFailed, S::waitingToRecover, failedRecovery},
    {S::recovering, E::start, S::recovering, nothing},
    {S::recovering, E::fault, S::recovering, nothing}, // taken after the attempt
    {S::recovering, E::recoveryLasted, S::recovering, nothing},
    {S::recovering, E::retry, S::recovering, nothing},
    {S::recovering, E::trigger, S::recovering, nothing},

    // Back-off before the next re-opening: a retry or a new report ends it, the values are faulty
    // already.
    {S::waitingToRecover, E::retry, S::recovering, reopening},
    {S::waitingToRecover, E::fault, S::recovering, faultWhileFaulty + reopening},
    {S::waitingToRecover, E::trigger, S::waitingToRecover, nothing},
    {S::waitingToRecover, E::recoveryLasted, S::waitingToRecover, nothing},
    {S::waitingToRecover, E::start, S::waitingToRecover, nothing},
    {S::waitingToRecover, E::opened, S::waitingToRecover, nothing},
    {S::waitingToRecover, E::attemptFailed, S::waitingToRecover, nothing},
    {S::waitingToRecover, E::readFailed, S::waitingToRecover, nothing},
};

TEST(DeviceRecovery, EveryStateAndEventLeadsWhereTheTableSays) {
  std::set<std::pair<int, int>> seen;
  for (const auto& row : table) {
    SCOPED_TRACE(::testing::PrintToString(row.from) + " + " + ::testing::PrintToString(row.event));
    EXPECT_TRUE(seen.emplace(static_cast<int>(row.from), static_cast<int>(row.event)).second)
        << "listed twice";
    EXPECT_EQ(next(row.from, row.event), (Transition{row.to, row.actions}));
  }
  // Every pair has its row: no event is left to the function's default.
  EXPECT_EQ(seen.size(), static_cast<size_t>(stateCount * eventCount));
  for (int s = 0; s < stateCount; ++s)
    for (int e = 0; e < eventCount; ++e)
      EXPECT_TRUE(seen.count({s, e})) << ::testing::PrintToString(static_cast<S>(s)) << " + "
                                      << ::testing::PrintToString(static_cast<E>(e)) << " has no row";
}

} // namespace
} // namespace orvane::device
