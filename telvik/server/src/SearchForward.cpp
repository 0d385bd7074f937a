#include "SearchForward.hpp"

#include <algorithm>

namespace telvik::server::forward {

namespace {

// "QLFW", then the layout version: a server of another version ignores what it cannot read.
constexpr std::uint8_t magic[4] = {'Q', 'L', 'F', 'W'};
constexpr std::uint8_t layoutVersion = 1;

void put(protocol::Bytes& out, std::size_t at, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * (bytes - 1 - i)));
}

std::uint64_t get(protocol::ByteView in, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i)
    v = (v << 8) | in[at + static_cast<std::size_t>(i)];
  return v;
}

} // namespace

protocol::Bytes encode(const Forwarded& f) {
  // Sized once and filled in place: g++ 12 misreads repeated inserts into a fresh vector.
  protocol::Bytes out(headerSize + f.datagram.size(), 0);
  std::copy(std::begin(magic), std::end(magic), out.begin());
  out[4] = layoutVersion;
  put(out, 6, f.clientPort, 2);
  put(out, 8, f.sender, 8);
  put(out, 16, f.client.to_uint(), 4);
  put(out, 20, f.destination.to_uint(), 4);
  std::copy(f.datagram.begin(), f.datagram.end(), out.begin() + headerSize);
  return out;
}

std::optional<Forwarded> decode(protocol::ByteView bytes) {
  if (bytes.size() < headerSize) return std::nullopt;
  for (std::size_t i = 0; i < 4; ++i)
    if (bytes[i] != magic[i]) return std::nullopt;
  if (bytes[4] != layoutVersion) return std::nullopt;
  Forwarded f;
  f.clientPort = static_cast<std::uint16_t>(get(bytes, 6, 2));
  f.sender = get(bytes, 8, 8);
  f.client = boost::asio::ip::address_v4(static_cast<std::uint32_t>(get(bytes, 16, 4)));
  f.destination = boost::asio::ip::address_v4(static_cast<std::uint32_t>(get(bytes, 20, 4)));
  f.datagram = bytes.subspan(headerSize);
  if (f.clientPort == 0) return std::nullopt;
  return f;
}

} // namespace telvik::server::forward
