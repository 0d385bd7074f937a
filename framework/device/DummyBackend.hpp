#pragma once
// The in-process device: register memory in the process, for tests and the test facility.
// The memory lives in a DummyDevice that every DummyBackend with the same alias and map file
// shares, so a test reaches the registers behind "PiezoDriver" while the device module owns the
// backend, and can make the next accesses fail to drive recovery.

#include "framework/device/Backend.hpp"
#include "framework/device/Conversion.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::device {

/// Register memory of one dummy device. Thread-safe. peek/poke and the cooked read/write work
/// whether or not a backend has it open, and never fail by injection.
class DummyDevice {
 public:
  DummyDevice(std::string alias, std::shared_ptr<const RegisterMap> map);
  DummyDevice(const DummyDevice&) = delete;
  DummyDevice& operator=(const DummyDevice&) = delete;

  [[nodiscard]] const std::string& alias() const noexcept { return alias_; }
  [[nodiscard]] const RegisterMap& registerMap() const noexcept { return *map_; }
  [[nodiscard]] std::uint64_t size() const noexcept { return std::uint64_t{words_.size()} * 4; }

  /// One word at a byte offset (multiple of 4, inside the map); std::out_of_range otherwise.
  [[nodiscard]] std::uint32_t peek(std::uint64_t offset) const;
  void poke(std::uint64_t offset, std::uint32_t word);
  /// All words of a register, by path or alias.
  [[nodiscard]] std::vector<std::uint32_t> peekRegister(std::string_view path) const;
  void pokeRegister(std::string_view path, const std::vector<std::uint32_t>& words);

  /// Converted as the device module converts them.
  template <CookedType T> [[nodiscard]] std::vector<T> read(std::string_view path) const;
  template <CookedType T> void write(std::string_view path, const std::vector<T>& values);

  /// The next n backend reads or writes (n opens) throw DeviceError with `reason` in the message.
  void failNextAccesses(std::size_t n, std::string reason = "injected failure");
  void failNextOpens(std::size_t n, std::string reason = "injected failure");
  /// Backend writes that included the register's first word, e.g. to count void events.
  [[nodiscard]] std::uint64_t writeCount(std::string_view path) const;
  [[nodiscard]] std::uint64_t openCount() const;

 private:
  friend class DummyBackend;
  /// For the backend: false and the reason when an injected failure is due.
  bool takeAccess(std::string& reason);
  bool takeOpen(std::string& reason);
  void readWords(std::uint64_t offset, std::uint32_t* words, std::size_t n) const;
  void writeWords(std::uint64_t offset, const std::uint32_t* words, std::size_t n, bool fromBackend);
  std::size_t index(std::uint64_t offset, std::size_t n) const;

  std::string alias_;
  std::shared_ptr<const RegisterMap> map_;
  mutable std::mutex mutex_;
  std::vector<std::uint32_t> words_;
  std::vector<std::uint64_t> writeCounts_;
  std::size_t accessFailures_{0};
  std::string accessReason_;
  std::size_t openFailures_{0};
  std::string openReason_;
  std::uint64_t opens_{0};
};

class DummyBackend final : public Backend {
 public:
  /// Joins the DummyDevice of this alias and map file, or makes one (all words 0).
  DummyBackend(const std::string& alias, const std::shared_ptr<const RegisterMap>& map);
  ~DummyBackend() override;

  [[nodiscard]] DummyDevice& device() const noexcept { return *device_; }

 private:
  std::uint64_t doOpen() override;
  void doClose() noexcept override {}
  void doRead(std::uint64_t offset, std::uint32_t* words, std::size_t n) override;
  void doWrite(std::uint64_t offset, const std::uint32_t* words, std::size_t n) override;

  std::shared_ptr<DummyDevice> device_;
};

/// The live dummy device of this alias. A device lives while a backend or a holder of this pointer
/// does. Throws std::invalid_argument when there is none, or when several maps use the alias
/// (then name the map file).
[[nodiscard]] std::shared_ptr<DummyDevice> findDummyDevice(std::string_view alias);
[[nodiscard]] std::shared_ptr<DummyDevice> findDummyDevice(std::string_view alias, std::string_view mapFile);

template <CookedType T> std::vector<T> DummyDevice::read(std::string_view path) const {
  const auto& reg = map_->get(path);
  std::vector<T> out;
  decodeRegister(reg, peekRegister(path), out);
  return out;
}

template <CookedType T> void DummyDevice::write(std::string_view path, const std::vector<T>& values) {
  const auto& reg = map_->get(path);
  std::vector<std::uint32_t> words(wordCount(reg));
  encodeRegister(reg, values, words);
  pokeRegister(path, words);
}

} // namespace orvane::device
