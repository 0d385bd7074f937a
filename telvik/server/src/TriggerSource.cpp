#include "TriggerSource.hpp"

#include <iostream>

namespace telvik::server {

TriggerSource::TriggerSource(boost::asio::io_context& io, const bridge::PvTable& table, double rate)
    : table_(table), rate_(rate), timer_(io) {}

void TriggerSource::start() {
  if (rate_ <= 0) return;
  trigger_ = table_.byPath("/Server/triggerNumber");
  if (trigger_ == nullptr) {
    std::cerr << "quellor_server: no variable /Server/triggerNumber; the trigger generator is off"
              << std::endl;
  } else if (!trigger_->writable()) {
    std::cerr
        << "quellor_server: /Server/triggerNumber is fed by the application; the trigger generator is off"
        << std::endl;
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
      std::cerr << "quellor_server: trigger write failed: " << e.what() << std::endl;
    }
    self->schedule();
  });
}

} // namespace telvik::server
