#pragma once
// Any memory-mappable file as register file: a PCIe BAR resource file, /dev/uioN, a plain file.

#include "framework/device/Backend.hpp"

#include <filesystem>
#include <string>

namespace orvane::device {

/// A regular file must be at least as long as the map (it is never grown: a short resource file
/// means the wrong device). A character device such as /dev/uioN reports no size; its mapping
/// is taken to cover the map.
class MmapBackend final : public Backend {
 public:
  MmapBackend(std::string alias, std::filesystem::path file, std::shared_ptr<const RegisterMap> map);
  ~MmapBackend() override;

  [[nodiscard]] const std::filesystem::path& file() const noexcept { return file_; }

 private:
  std::uint64_t doOpen() override;
  void doClose() noexcept override;
  void doRead(std::uint64_t offset, std::uint32_t* words, std::size_t n) override;
  void doWrite(std::uint64_t offset, const std::uint32_t* words, std::size_t n) override;

  struct Mapping;
  std::filesystem::path file_;
  std::unique_ptr<Mapping> mapping_;
};

} // namespace orvane::device
