// A control server under a service manager (systemd's notify protocol, through the distribution's
// libsystemd where the build found it): "ready" once the application has started, a status line,
// and the service watchdog fed only while every module loop still takes its updates and the CA
// event loop turns. A server that hangs is then restarted instead of serving stale values.
//
// Threads: ServiceNotifier may be used from any thread; ServiceSupervisor lives in the io_context's
// thread (its timer is the proof that the event loop turns).
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace orvane {
class Application;
} // namespace orvane

namespace telvik::server {

class ServiceNotifier {
 public:
  /// Reads NOTIFY_SOCKET and WATCHDOG_USEC (with WATCHDOG_PID) from the environment. Without a
  /// service manager, or in a build without libsystemd, every call below does nothing.
  ServiceNotifier();
  /// Does not wait for a send that the service manager does not take (see below).
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  /// Whether a service manager listens (and this build can tell it anything).
  [[nodiscard]] bool enabled() const { return enabled_; }
  /// The service manager's watchdog interval, when it watches this process.
  [[nodiscard]] std::optional<std::chrono::microseconds> watchdogInterval() const { return watchdog_; }
  /// Why the service manager cannot be told anything although it listens; empty otherwise.
  [[nodiscard]] const std::string& problem() const { return problem_; }

  // Any thread, never blocking: a message is handed to a thread of its own, because a send to a
  // service manager that does not read its socket blocks, and the server's event loop must not.
  // Repeated watchdog messages that wait to be sent count as one.
  void ready(const std::string& status) const;
  void status(const std::string& status) const;
  void watchdog() const;
  void stopping() const;

  struct Outbox;

 private:
  void send(std::string message) const;
  bool enabled_{false};
  std::optional<std::chrono::microseconds> watchdog_;
  std::string problem_;
  std::shared_ptr<Outbox> outbox_;
};

/// Tells the service manager when the application has started and feeds its watchdog, both from a
/// timer on the io_context. The watchdog is fed only while Application::loopProblems() finds no
/// module loop that held its worker for longer than half the watchdog interval.
class ServiceSupervisor {
 public:
  using Log = std::function<void(const std::string&)>;

  /// `serving` is the status line once ready ("serving 1234 variables on 127.0.0.1:5064").
  ServiceSupervisor(boost::asio::io_context& io, const orvane::Application& app,
                    const ServiceNotifier& notifier, std::string serving, Log log);
  ServiceSupervisor(const ServiceSupervisor&) = delete;
  ServiceSupervisor& operator=(const ServiceSupervisor&) = delete;

  /// After Application::run(). Does nothing without a service manager.
  void start();
  /// Sends "stopping" and ends the timer (the shutdown's first step).
  void stop();

  /// The longest a module loop may be busy with one update before the watchdog goes unfed.
  [[nodiscard]] static std::chrono::steady_clock::duration
  busyLimit(std::chrono::microseconds watchdogInterval);

 private:
  void schedule();
  void tick();
  void checkLiveness();

  boost::asio::steady_timer timer_;
  const orvane::Application& app_;
  const ServiceNotifier& notifier_;
  std::string serving_;
  Log log_;
  bool ready_{false};
  bool stopped_{false};
  bool starving_{false};
};

} // namespace telvik::server
