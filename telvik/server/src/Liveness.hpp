// Whether a circuit's client is still there. Evidence is a whole message from it, or subscription
// updates it took. After `idle` without either the server sends an ECHO, and without an answer
// within `echo` the circuit is closed.
//
// libca does not answer an ECHO that the server sends: it takes it for the answer to its own. What
// it does is send an ECHO itself after EPICS_CA_CONN_TMO of receiving nothing. So a live but quiet
// libca client is heard from within that time, and one that is fed updates shows itself by taking
// them; the idle time has to be longer than the clients' EPICS_CA_CONN_TMO. Times are passed in,
// so that the rule is tested without waiting.
#pragma once

#include <algorithm>
#include <chrono>
#include <optional>

namespace telvik::server {

class Liveness {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Action { none, probe, close };

  explicit Liveness(Clock::time_point start) : last_(start) {}

  /// A whole message arrived.
  void heard(Clock::time_point t) { alive(t); }
  /// A write that carried subscription updates has completed.
  void delivered(Clock::time_point t) { alive(t); }

  /// What is due at `now`: send the probe (once), or close when it went unanswered.
  [[nodiscard]] Action check(Clock::time_point now, Clock::duration idle, Clock::duration echo) {
    if (probeSent_) return now - *probeSent_ >= echo ? Action::close : Action::none;
    if (now - last_ < idle) return Action::none;
    probeSent_ = now;
    return Action::probe;
  }

 private:
  void alive(Clock::time_point t) {
    last_ = std::max(last_, t);
    probeSent_.reset();
  }

  Clock::time_point last_;
  std::optional<Clock::time_point> probeSent_;
};

} // namespace telvik::server
