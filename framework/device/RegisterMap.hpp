#pragma once
// The register map (quellor.map): one register per line, whitespace-separated, '#' comments:
//
//   # path               elements offset bytes type  width frac signed access
//   Channel0/dcVoltage   1        0x0000 4     fixed 32    16   1      rw
//   alias BSP/WORD_PEM_CTL_MON Board/hwProtectionMonitor
//
// Numbers are decimal or 0x hex. `bytes` is the size of one element (4 or 8); element k lies at
// offset + k*bytes, and an 8-byte element is two 32-bit words, the low word first.
//   fixed    width 1..64 and <= 8*bytes; frac -64..64 (wider scales mean no firmware we know of,
//            and keep 2^frac and the largest value finite in a float); signed 0 or 1
//   ieee754  width 32 with bytes 4, or width 64 with bytes 8; frac 0
//   void     width 0, frac 0, access wo (an event carries no data, so there is nothing to read)
// An "alias ALIASPATH TARGETPATH" line gives a register a second path. Paths may be written with or
// without the leading '/'; they are kept with it, as the framework publishes them.
//
// Two more line kinds say how a deployment uses the board, beyond what the firmware offers:
//   operator PATH    operators may write this writable register directly, even where no module
//                    of the application feeds it (fault injection of a simulator, say); every
//                    other writable register that no module feeds is only shown to them
//   heartbeat PATH   a read-only register that the firmware changes on every cycle; a value that
//                    stops changing tells that the firmware hangs (at most one such line)

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace orvane::device {

enum class RegisterType { fixedPoint, ieee754, nothing };
enum class Access { readOnly, writeOnly, readWrite };

struct RegisterInfo {
  /// With the leading '/', e.g. "/Channel0/dcVoltage".
  std::string path;
  std::uint32_t elements{1};
  std::uint64_t offset{0};
  std::uint32_t bytesPerElement{4};
  RegisterType type{RegisterType::fixedPoint};
  std::uint32_t width{32};
  std::int32_t frac{0};
  bool isSigned{true};
  Access access{Access::readWrite};
  /// Further paths from alias lines, with the leading '/'.
  std::vector<std::string> aliases;
  /// Line in the map file, for messages.
  std::size_t line{0};
  /// Named by an "operator" line (under its path or an alias).
  bool operatorWritable{false};
  /// Named by the "heartbeat" line.
  bool heartbeat{false};

  [[nodiscard]] bool isReadable() const noexcept { return access != Access::writeOnly; }
  [[nodiscard]] bool isWritable() const noexcept { return access != Access::readOnly; }
  [[nodiscard]] std::uint32_t wordsPerElement() const noexcept { return bytesPerElement / 4; }
  [[nodiscard]] std::uint64_t byteSize() const noexcept { return std::uint64_t{elements} * bytesPerElement; }
  [[nodiscard]] std::uint64_t end() const noexcept { return offset + byteSize(); }
};

/// Adds the leading '/' if it is missing.
[[nodiscard]] std::string normalisePath(std::string_view path);

class RegisterMap {
 public:
  RegisterMap() = default;
  RegisterMap(std::string file, std::vector<RegisterInfo> registers);

  /// The file as it was given to the parser; messages start with it.
  [[nodiscard]] const std::string& file() const noexcept { return file_; }
  /// In file order.
  [[nodiscard]] const std::vector<RegisterInfo>& registers() const noexcept { return registers_; }
  /// By path or alias, with or without the leading '/'; nullptr when there is none.
  [[nodiscard]] const RegisterInfo* find(std::string_view path) const;
  /// As find(), but throws MapError naming the file when there is no such register.
  [[nodiscard]] const RegisterInfo& get(std::string_view path) const;
  /// Bytes from address 0 to the end of the last register: what a backend must offer.
  [[nodiscard]] std::uint64_t requiredSize() const noexcept { return requiredSize_; }
  /// The register of the "heartbeat" line; nullptr when the map has none.
  [[nodiscard]] const RegisterInfo* heartbeat() const noexcept;

 private:
  std::string file_;
  std::vector<RegisterInfo> registers_;
  std::unordered_map<std::string, std::size_t> byPath_;
  std::uint64_t requiredSize_{0};
};

/// Reads and parses a map file. Throws MapError ("FILE:LINE: ...") on any fault, including an
/// unreadable file and a file without registers.
[[nodiscard]] RegisterMap parseRegisterMap(const std::filesystem::path& mapFile);

/// Parses map text; fileName is used in messages only.
[[nodiscard]] RegisterMap parseRegisterMapText(std::string_view text, std::string fileName);

/// The register (lowest line first) that does not lie wholly within the first `size` bytes of a
/// device, or nullptr when all fit.
[[nodiscard]] const RegisterInfo* firstRegisterBeyond(const RegisterMap& map, std::uint64_t size) noexcept;

/// Throws MapError naming the map file, the line and the register when a register does not lie
/// wholly within the first `size` bytes of a device; `device` names the device in the message.
void checkRegistersFit(const RegisterMap& map, std::uint64_t size, std::string_view device);

} // namespace orvane::device
