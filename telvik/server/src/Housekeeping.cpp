#include "Housekeeping.hpp"

#include "Circuit.hpp"

#include "framework/Log.hpp"

#include <boost/asio/post.hpp>

#include <sstream>
#include <string>

namespace telvik::server {

namespace asio = boost::asio;

namespace {

std::chrono::steady_clock::duration seconds(double s) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}

} // namespace

Housekeeping::Housekeeping(asio::io_context& io, const Options& options,
                           const std::set<std::shared_ptr<Circuit>>& circuits)
    : options_(options), circuits_(circuits), timer_(io) {}

void Housekeeping::start() {
  run();
}

void Housekeeping::stop() {
  stopped_ = true;
  timer_.cancel();
}

void Housekeeping::run() {
  const auto stallLimit = seconds(options_.stallTimeout);
  const auto idleLimit = seconds(options_.idleTimeout);
  const auto echoLimit = seconds(options_.echoTimeout);
  auto now = std::chrono::steady_clock::now();
  std::vector<std::shared_ptr<Circuit>> stalled, silent;
  for (auto& c : circuits_) {
    if (c->writeStalled(now, stallLimit))
      stalled.push_back(c);
    else if (c->unresponsive(now, idleLimit, echoLimit))
      silent.push_back(c);
  }
  for (auto& c : stalled) {
    std::ostringstream reason;
    reason << "it has not taken data for " << options_.stallTimeout << " s";
    c->close(true, reason.str());
  }
  if (!silent.empty()) {
    std::ostringstream reason;
    reason << "silent for " << options_.idleTimeout << " s and no answer to an echo within "
           << options_.echoTimeout << " s";
    for (auto& c : silent)
      c->close(true, reason.str());
  }
  // A few looks per limit, so that a circuit is closed soon after its time is up.
  timer_.expires_after(std::min({std::chrono::steady_clock::duration(std::chrono::seconds(5)), stallLimit / 4,
                                 idleLimit / 4, echoLimit / 4}));
  std::weak_ptr<Housekeeping> weak = shared_from_this();
  timer_.async_wait([weak](const boost::system::error_code& ec) {
    auto self = weak.lock();
    if (!self || ec || self->stopped_) return;
    self->run();
  });
}

SettingsSaver::SettingsSaver(asio::io_context& io, orvane::ProcessVariableRegistry& registry,
                             bridge::SettingsStore* store, double delay)
    : io_(io), registry_(registry), store_(store), delay_(delay), timer_(io) {
  if (store_ == nullptr || !store_->enabled()) return;
  for (auto& pv : registry.all()) {
    if (persists_.size() <= pv->index()) persists_.resize(pv->index() + 1, false);
    persists_[pv->index()] = store_->persists(pv->info());
  }
}

void SettingsSaver::attach() {
  if (persists_.empty()) return;
  std::weak_ptr<SettingsSaver> weak = shared_from_this();
  registry_.addUpdateHook([weak](const orvane::ProcessVariable& pv) {
    // Runs in whichever thread wrote the value; the registry outlives the server.
    auto self = weak.lock();
    if (self && pv.index() < self->persists_.size() && self->persists_[pv.index()]) self->arm();
  });
}

void SettingsSaver::arm() {
  if (armed_.exchange(true)) return;
  std::weak_ptr<SettingsSaver> weak = shared_from_this();
  asio::post(io_, [weak] {
    auto self = weak.lock();
    if (!self || self->stopped_) return;
    self->timer_.expires_after(seconds(self->delay_));
    self->timer_.async_wait([weak](const boost::system::error_code& ec) {
      auto s = weak.lock();
      if (!s || ec) return;
      // Cleared before saving: a change during the save arms the next one.
      s->armed_ = false;
      s->save();
    });
  });
}

void SettingsSaver::stop() {
  stopped_ = true;
  timer_.cancel();
}

void SettingsSaver::save() {
  if (store_ == nullptr || !store_->enabled()) return;
  // A failure is told once, by the store's problem report, not at every attempt.
  std::string error;
  (void)store_->save(registry_, error);
}

} // namespace telvik::server
