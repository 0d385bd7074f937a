#include "framework/Sync.hpp"

namespace orvane::detail {

Testable& Testable::instance() {
  static Testable t;
  return t;
}

boost::unique_lock<boost::mutex>*& Testable::threadLock() {
  thread_local boost::unique_lock<boost::mutex>* lock = nullptr;
  return lock;
}

void Testable::waitQuiet() {
  auto* big = threadLock();
  if (big == nullptr) return;
  while (pending() > 0 && !hasError())
    quietCv_.wait(*big);
  restCount_.fetch_add(1, std::memory_order_acq_rel);
}

void Testable::reportError(std::exception_ptr e) {
  {
    boost::lock_guard<boost::mutex> g(errorMutex_);
    if (!error_) error_ = e;
  }
  hasError_.store(true);
  notifyQuiet();
}

std::exception_ptr Testable::takeError() {
  boost::lock_guard<boost::mutex> g(errorMutex_);
  auto e = error_;
  error_ = nullptr;
  hasError_.store(false);
  return e;
}

TestableThreadGuard::TestableThreadGuard() {
  auto& t = Testable::instance();
  if (t.enabled() && Testable::threadLock() == nullptr) {
    lock_ = boost::unique_lock<boost::mutex>(t.bigMutex());
    Testable::threadLock() = &lock_;
    active_ = true;
  }
}

TestableThreadGuard::~TestableThreadGuard() {
  if (active_) {
    Testable::threadLock() = nullptr;
    Testable::instance().notifyQuiet();
  }
}

} // namespace orvane::detail
