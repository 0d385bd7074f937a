#include "framework/device/Backend.hpp"

#include "framework/device/DeviceError.hpp"

#include <mutex>

namespace orvane::device {

Backend::Backend(std::string alias, const std::string& location, std::shared_ptr<const RegisterMap> map)
    : alias_(std::move(alias)), description_("'" + alias_ + "' (" + location + ")"), map_(std::move(map)) {
  if (!map_) throw std::invalid_argument("device " + description_ + " needs a register map");
}

void Backend::fail(const std::string& message) const {
  throw DeviceError("device " + description_ + ": " + message);
}

void Backend::open() {
  std::unique_lock lock(lifecycle_);
  if (open_.load()) {
    open_.store(false, std::memory_order_release);
    size_.store(0, std::memory_order_release);
    doClose();
  }
  auto accessible = doOpen();
  size_.store(accessible, std::memory_order_release);
  open_.store(true, std::memory_order_release);
}

void Backend::close() noexcept {
  std::unique_lock lock(lifecycle_);
  if (!open_.load()) return;
  open_.store(false, std::memory_order_release);
  size_.store(0, std::memory_order_release);
  doClose();
}

void Backend::checkAccess(const char* what, std::uint64_t offset, std::size_t n) const {
  if (!open_.load(std::memory_order_acquire))
    fail(std::string("cannot ") + what + ": the device is not open");
  const auto size = size_.load(std::memory_order_acquire);
  if (offset % 4 != 0 || offset > size || n > (size - offset) / 4)
    fail(std::string("cannot ") + what + " " + std::to_string(n) + " words at byte " +
         std::to_string(offset) + ": outside the " + std::to_string(size) + " bytes of the device");
}

void Backend::read(std::uint64_t offset, std::uint32_t* words, std::size_t n) {
  std::shared_lock lock(lifecycle_);
  checkAccess("read", offset, n);
  doRead(offset, words, n);
}

void Backend::write(std::uint64_t offset, const std::uint32_t* words, std::size_t n) {
  std::shared_lock lock(lifecycle_);
  checkAccess("write", offset, n);
  doWrite(offset, words, n);
}

} // namespace orvane::device
