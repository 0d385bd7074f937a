#include "TriggerSource.hpp"

#include "framework/Log.hpp"

namespace telvik::server {

TriggerSource::TriggerSource(boost::asio::io_context& io, const bridge::PvTable& table, double rate)
    : table_(table), rate_(rate), timer_(io) {}

void TriggerSource::start() {
  if (rate_ <= 0) return;
  trigger_ = table_.byPath("/Server/triggerNumber");
  if (trigger_ == nullptr) {
    orvane::log::warning("server", "no variable /Server/triggerNumber; the trigger generator is off");
  } else if (!trigger_->writable()) {
    orvane::log::warning("server",
                         "/Server/triggerNumber is fed by the application; the trigger generator is off");
    trigger_ = nullptr;
  } else {
    next_ = std::chrono::steady_clock::now();
    schedule();
  }
}

void TriggerSource::stop() {
  stopped_ = true;
  timer_.cancel();
}

void TriggerSource::schedule() {
  const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(1.0 / rate_));
  next_ += period;
  // After a stall the next trigger is one period from now, not a burst of the missed ones.
  auto now = std::chrono::steady_clock::now();
  if (next_ + period < now) next_ = now + period;
  timer_.expires_at(next_);
  std::weak_ptr<TriggerSource> weak = shared_from_this();
  timer_.async_wait([weak](const boost::system::error_code& ec) {
    auto self = weak.lock();
    if (!self || ec || self->stopped_) return;
    try {
      self->trigger_->pv().write(orvane::AnyVector(std::in_place_type<std::vector<std::int64_t>>,
                                                   std::vector<std::int64_t>{++self->count_}));
    } catch (const std::exception& e) {
      orvane::log::error("server", std::string("trigger write failed: ") + e.what());
    }
    self->schedule();
  });
}

} // namespace telvik::server
