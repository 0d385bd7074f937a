#include "framework/device/RegisterAccess.hpp"

namespace orvane::device {

namespace detail {
void throwAccessMisuse(const RegisterInfo& reg, const char* wanted) {
  const char* why = reg.type == RegisterType::nothing ? "it is void"
                    : reg.isReadable()                ? "it is read-only"
                                                      : "it is write-only";
  throw std::logic_error("register '" + reg.path + "' cannot be " + wanted + ": " + why + " (line " +
                         std::to_string(reg.line) + " of its map)");
}
} // namespace detail

void writeEvent(Backend& backend, const RegisterInfo& reg) {
  if (reg.type != RegisterType::nothing)
    throw std::logic_error("register '" + reg.path + "' is not void; write it a value instead of an event");
  writeRegister(backend, reg, std::vector<int32_t>{});
}

} // namespace orvane::device
