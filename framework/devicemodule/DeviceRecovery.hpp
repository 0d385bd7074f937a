#pragma once
// The life of a device module's device as one state machine: where the device stands (closed,
// opening, ready, on probation after a recovery, recovering, waiting out a back-off), what can
// happen to it, and what the device thread has to do about it. next() decides; DeviceModule does.
//
// An attempt to open is a list of steps (reopen, initialise, replay the writes, read): the device
// thread runs them in order, and the first one that fails ends the attempt with attemptFailed, or
// readFailed once the device has been opened; when all succeed the attempt ends with opened.
//
// A recovery has to last: a fault soon after a re-opening (a board that comes back still reporting
// trouble) continues the series of failed attempts and waits for its back-off instead of opening
// the board again at once, so that a board that cannot be cured is not re-initialised in a tight
// loop. The first opening is no recovery: a fault after it is an ordinary one, and the openings
// that failed before it are no series for a later fault to continue.

#include <array>
#include <cstddef>
#include <initializer_list>

namespace orvane::device {

enum class RecoveryState {
  closed,           // never opened, nothing tried yet (start-up)
  opening,          // the first opening is being tried
  waitingToOpen,    // every opening so far failed: a back-off before the next one
  ready,            // open, values flow; a fault is an ordinary one
  probation,        // re-opened after a fault, values flow, but the recovery has yet to last
  recovering,       // the re-opening after a fault is being tried
  waitingToRecover, // a re-opening failed or did not last: a back-off before the next one
};

enum class RecoveryEvent {
  start,          // the device thread begins
  fault,          // a reported fault (a failed access, a hung heartbeat, reportException)
  recoveryLasted, // the last re-opening has lasted; judged when the next fault comes
  retry,          // the back-off is over, or a retry was asked for
  trigger,        // a trigger that asks for a poll
  opened,         // every step of an attempt succeeded
  attemptFailed,  // reopening, an initialisation handler or the replay failed: nothing was opened
  readFailed,     // the opening's read failed: the device was opened, but gave no values
};

enum class RecoveryAction {
  reportFault,          // log the fault, its reason becomes the published message
  sendFaultyValues,     // the values read so far go out once more, faulty
  publishStatus,        // status and message as they are now
  reopen,               // close and open the backend
  initialise,           // every initialisation handler in order
  replayWrites,         // the last value of every writable register again; the device is open now
  replayWritesRamped,   // the same, but ramped registers return from the board's value in steps
  readOpening,          // the opening's read of every register
  reportOpened,         // log the first opening (and the attempts it took)
  reportRecovered,      // log the re-opening (and the attempts it took)
  reportFailedOpening,  // log the failed first opening (each reason once), publish its reason
  reportFailedRecovery, // log the failed re-opening (each reason once), publish its reason
  reportRelapse,        // log that the device is faulty again right after its recovery
  countFailure,         // one more failed attempt in a row
  forgetFailures,       // the series of failed attempts is over
  startProbation,       // from now on the recovery has to last
  scheduleRetry,        // the back-off for the failed attempts so far
  poll,                 // a trigger's read of the read-only registers, the heartbeat checked
  advanceRamps,         // one step of every ramped register still on its way back
};

/// A short ordered list of actions, run first to last.
class RecoveryActions {
 public:
  static constexpr std::size_t capacity = 8;

  RecoveryActions() = default;
  /// std::length_error beyond `capacity`.
  RecoveryActions(std::initializer_list<RecoveryAction> actions);

  [[nodiscard]] const RecoveryAction* begin() const { return actions_.data(); }
  [[nodiscard]] const RecoveryAction* end() const { return actions_.data() + size_; }
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }

  /// These actions, then those of `more`.
  [[nodiscard]] RecoveryActions operator+(const RecoveryActions& more) const;
  bool operator==(const RecoveryActions& other) const;

 private:
  void push(RecoveryAction action);
  std::array<RecoveryAction, capacity> actions_{};
  std::size_t size_{0};
};

struct Transition {
  RecoveryState state;
  RecoveryActions actions;
  bool operator==(const Transition&) const = default;
};

/// What `event` makes of a device in `state`. An event that means nothing in a state (a trigger
/// while the device is faulty, a retry while it is healthy, an attempt's outcome while none runs)
/// leaves the state as it is and asks for nothing.
[[nodiscard]] Transition next(RecoveryState state, RecoveryEvent event);

} // namespace orvane::device
