#include "telvik/server/ServiceManager.hpp"

#include "framework/Application.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#if QUELLOR_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace telvik::server {

// The messages on their way to the service manager, and the thread that sends them. Shared with
// that thread, which may outlive the notifier when the service manager stops taking messages: it
// is detached rather than joined, so that the end of the process never waits for a send.
struct ServiceNotifier::Outbox {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::string> messages;
  bool closed{false};
  bool sending{false};

  static constexpr std::size_t bound = 16;

  void post(std::string message) {
    {
      std::lock_guard lock(mutex);
      if (closed) return;
      // Feeding the watchdog twice before a send is feeding it once.
      if (message == "WATCHDOG=1" && !messages.empty() && messages.back() == message) return;
      if (messages.size() >= bound) {
        auto stale = std::find(messages.begin(), messages.end(), std::string("WATCHDOG=1"));
        messages.erase(stale != messages.end() ? stale : messages.begin());
      }
      messages.push_back(std::move(message));
    }
    wake.notify_all();
  }

  void run() {
    for (;;) {
      std::string message;
      {
        std::unique_lock lock(mutex);
        wake.wait(lock, [this] { return closed || !messages.empty(); });
        if (messages.empty()) return;
        message = std::move(messages.front());
        messages.pop_front();
        sending = true;
      }
#if QUELLOR_HAVE_LIBSYSTEMD
      (void)sd_notify(0, message.c_str());
#endif
      {
        std::lock_guard lock(mutex);
        sending = false;
      }
      wake.notify_all();
    }
  }
};

ServiceNotifier::ServiceNotifier() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (socket == nullptr || *socket == '\0') return;
#if QUELLOR_HAVE_LIBSYSTEMD
  enabled_ = true;
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) watchdog_ = std::chrono::microseconds(usec);
  outbox_ = std::make_shared<Outbox>();
  std::thread([outbox = outbox_] { outbox->run(); }).detach();
#else
  problem_ =
      "NOTIFY_SOCKET is set, but this build has no libsystemd: the service manager is not told when the "
      "server is ready, nor is its watchdog fed (use Type=simple and no WatchdogSec=)";
#endif
}

ServiceNotifier::~ServiceNotifier() {
  if (!outbox_) return;
  // What is queued still goes out (STOPPING=1 last of all), for a second at most: a service
  // manager that takes nothing must not keep the process from ending.
  std::unique_lock lock(outbox_->mutex);
  outbox_->closed = true;
  outbox_->wake.notify_all();
  outbox_->wake.wait_for(lock, std::chrono::seconds(1),
                         [this] { return outbox_->messages.empty() && !outbox_->sending; });
}

void ServiceNotifier::send(std::string message) const {
  if (outbox_) outbox_->post(std::move(message));
}

void ServiceNotifier::ready(const std::string& status) const {
  send("READY=1\nSTATUS=" + status);
}
void ServiceNotifier::status(const std::string& status) const {
  send("STATUS=" + status);
}
void ServiceNotifier::watchdog() const {
  send("WATCHDOG=1");
}
void ServiceNotifier::stopping() const {
  send("STOPPING=1\nSTATUS=stopping");
}

ServiceSupervisor::ServiceSupervisor(boost::asio::io_context& io, const orvane::Application& app,
                                     const ServiceNotifier& notifier, std::string serving, Log log)
    : timer_(io), app_(app), notifier_(notifier), serving_(std::move(serving)), log_(std::move(log)) {}

std::chrono::steady_clock::duration ServiceSupervisor::busyLimit(std::chrono::microseconds watchdogInterval) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(watchdogInterval / 2);
}

void ServiceSupervisor::start() {
  if (!notifier_.enabled()) return;
  tick();
}

void ServiceSupervisor::stop() {
  if (stopped_) return;
  stopped_ = true;
  timer_.cancel();
  notifier_.stopping();
}

void ServiceSupervisor::schedule() {
  if (stopped_) return;
  // Without a watchdog the timer is needed only until the application has started.
  const auto watchdog = notifier_.watchdogInterval();
  if (!watchdog && ready_) return;
  const auto period = watchdog
                          ? std::max<std::chrono::microseconds>(*watchdog / 4, std::chrono::milliseconds(10))
                          : std::chrono::microseconds(std::chrono::milliseconds(100));
  timer_.expires_after(period);
  timer_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) tick();
  });
}

void ServiceSupervisor::tick() {
  if (stopped_) return;
  if (!ready_ && app_.hasStarted()) {
    ready_ = true;
    notifier_.ready(serving_);
  }
  if (notifier_.watchdogInterval()) checkLiveness();
  schedule();
}

void ServiceSupervisor::checkLiveness() {
  // The executor judges a loop by the stall limit, which the server sets to busyLimit() of the
  // watchdog interval.
  const auto problems = app_.loopProblems();
  if (problems.empty()) {
    notifier_.watchdog();
    if (starving_) {
      starving_ = false;
      log_("every module loop takes its updates again; the service watchdog is fed again");
      notifier_.status(serving_);
    }
    return;
  }
  if (starving_) return;
  starving_ = true;
  const std::string text = problems.front() + ": the service watchdog is no longer fed";
  log_(text + ", so the service manager restarts the server");
  notifier_.status(text);
}

} // namespace telvik::server
