#pragma once
// Raw access to a device's register space in 32-bit words. Conversion to application values is
// RegisterAccess.hpp's business; a backend only moves words.

#include "framework/device/RegisterMap.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>

namespace orvane::device {

/// One device. Every member may be called from any thread: reads and writes run concurrently with
/// each other, while open() and close() wait for the accesses in flight, so that a recovery thread
/// re-opening the device never unmaps memory under a reader (the reader gets a DeviceError).
/// Failures throw DeviceError naming the device. Move-only owners hold it by unique_ptr.
class Backend {
 public:
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;
  virtual ~Backend() = default;

  /// Opens the device; opening an open device re-opens it.
  void open();
  void close() noexcept;
  [[nodiscard]] bool isOpen() const noexcept { return open_.load(std::memory_order_acquire); }
  /// Bytes that may be accessed while open; 0 while closed.
  [[nodiscard]] std::uint64_t size() const noexcept { return size_.load(std::memory_order_acquire); }

  /// n words from byte offset `offset` (a multiple of 4). Each word is one aligned access; a 64-bit
  /// register is two of them, the low word first.
  void read(std::uint64_t offset, std::uint32_t* words, std::size_t n);
  void write(std::uint64_t offset, const std::uint32_t* words, std::size_t n);

  /// The device alias.
  [[nodiscard]] const std::string& alias() const noexcept { return alias_; }
  /// "'PiezoDriver' (shm:quellor-board)": how messages name this device.
  [[nodiscard]] const std::string& description() const noexcept { return description_; }
  [[nodiscard]] const RegisterMap& registerMap() const noexcept { return *map_; }
  [[nodiscard]] const std::shared_ptr<const RegisterMap>& sharedRegisterMap() const noexcept { return map_; }

 protected:
  Backend(std::string alias, const std::string& location, std::shared_ptr<const RegisterMap> map);

  /// Returns the accessible size. Called with no other access running; the device is closed.
  virtual std::uint64_t doOpen() = 0;
  virtual void doClose() noexcept = 0;
  /// Range and alignment are checked, the device is open.
  virtual void doRead(std::uint64_t offset, std::uint32_t* words, std::size_t n) = 0;
  virtual void doWrite(std::uint64_t offset, const std::uint32_t* words, std::size_t n) = 0;

  /// Throws DeviceError with the device's description in front of `message`.
  [[noreturn]] void fail(const std::string& message) const;

 private:
  void checkAccess(const char* what, std::uint64_t offset, std::size_t n) const;

  std::string alias_;
  std::string description_;
  std::shared_ptr<const RegisterMap> map_;
  std::shared_mutex lifecycle_;
  std::atomic<bool> open_{false};
  std::atomic<std::uint64_t> size_{0};
};

} // namespace orvane::device
