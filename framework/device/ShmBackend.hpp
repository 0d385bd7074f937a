#pragma once
// A POSIX shared-memory object as register file: what the board simulator maps too. The object is
// the simulated board itself, so only the simulator makes it (create()); opening never creates or
// resizes one. A missing or short object is a device fault like an absent board.

#include "framework/device/Backend.hpp"

#include <string>
#include <string_view>

namespace orvane::device {

class ShmBackend final : public Backend {
 public:
  /// `name` without the leading '/' (it is added for shm_open).
  ShmBackend(std::string alias, std::string name, std::shared_ptr<const RegisterMap> map);
  ~ShmBackend() override;

  [[nodiscard]] const std::string& objectName() const noexcept { return name_; }

  /// Creates the object (name without '/') with `bytes`, or grows a shorter one, keeping its
  /// contents; never shrinks it, so a simulator with an older, shorter map keeps its part. For the
  /// program that provides the board, never for the server. Throws DeviceError naming the object.
  static void create(std::string_view name, std::uint64_t bytes);

  /// Removes the object (name without '/'); false when there was none. The server never calls
  /// this: the object outlives it so that the simulator keeps its state across server restarts.
  static bool unlink(std::string_view name) noexcept;

 private:
  std::uint64_t doOpen() override;
  void doClose() noexcept override;
  void doRead(std::uint64_t offset, std::uint32_t* words, std::size_t n) override;
  void doWrite(std::uint64_t offset, const std::uint32_t* words, std::size_t n) override;

  struct Mapping;
  std::string name_;
  std::unique_ptr<Mapping> mapping_;
};

} // namespace orvane::device
