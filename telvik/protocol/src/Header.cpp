#include "telvik/protocol/Header.hpp"

#include "ByteOrder.hpp"

namespace telvik::protocol {

using namespace detail;

void appendHeader(Bytes& out, const Header& h) {
  const bool extended = needsExtendedHeader(h);
  const std::size_t at = out.size();
  out.resize(at + (extended ? extendedHeaderSize : standardHeaderSize));
  std::uint8_t* p = out.data() + at;
  storeU16(p, h.command);
  storeU16(p + 2, extended ? std::uint16_t{0xFFFF} : static_cast<std::uint16_t>(h.payloadSize));
  storeU16(p + 4, h.dataType);
  storeU16(p + 6, extended ? std::uint16_t{0} : static_cast<std::uint16_t>(h.dataCount));
  storeU32(p + 8, h.parameter1);
  storeU32(p + 12, h.parameter2);
  if (extended) {
    storeU32(p + 16, h.payloadSize);
    storeU32(p + 20, h.dataCount);
  }
}

HeaderParse parseHeader(ByteView bytes) {
  HeaderParse r;
  if (bytes.size() < standardHeaderSize) {
    r.size = standardHeaderSize;
    return r;
  }
  const std::uint8_t* p = bytes.data();
  const std::uint16_t shortSize = loadU16(p + 2);
  r.header.command = loadU16(p);
  r.header.dataType = loadU16(p + 4);
  r.header.parameter1 = loadU32(p + 8);
  r.header.parameter2 = loadU32(p + 12);
  if (shortSize != 0xFFFF) {
    r.header.payloadSize = shortSize;
    r.header.dataCount = loadU16(p + 6);
    r.size = standardHeaderSize;
    r.complete = true;
    return r;
  }
  r.size = extendedHeaderSize;
  if (bytes.size() < extendedHeaderSize) return r;
  // The short count field is a marker (0) in this form; senders are not consistent about it, so
  // only the 32-bit fields count.
  r.header.payloadSize = loadU32(p + 16);
  r.header.dataCount = loadU32(p + 20);
  r.complete = true;
  return r;
}

} // namespace telvik::protocol
