// Feeds arbitrary bytes to everything in telvik::protocol that takes wire input, and checks the
// properties the server relies on, not just the absence of crashes:
// - the stream decoder's events do not depend on how the bytes are cut into reads;
// - every decoded message encodes to bytes that decode to the same message;
// - a DBR image always has exactly the size its type and count imply, and never more elements
//   than the channel announced;
// - writes of any type into any native type end in a status, never in a crash.
#include "telvik/protocol/ChannelName.hpp"
#include "telvik/protocol/Convert.hpp"
#include "telvik/protocol/Decoder.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace telvik::protocol;

namespace {

// A payload limit small enough that big messages take the oversized path often.
constexpr std::size_t fuzzPayloadLimit = 1 << 16;
constexpr std::uint32_t fuzzMaxCount = 512;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
  }
}

std::vector<StreamEvent> decodeStream(ByteView in, std::uint32_t seed) {
  StreamDecoder d(fuzzPayloadLimit);
  std::vector<StreamEvent> events;
  std::uint32_t x = seed | 1;
  std::size_t at = 0;
  for (;;) {
    for (;;) {
      StreamEvent e = d.next();
      if (std::holds_alternative<NeedMore>(e)) break;
      const bool fatal = std::holds_alternative<Rejected>(e) && isFatal(std::get<Rejected>(e).error);
      events.push_back(std::move(e));
      if (fatal) return events;
    }
    if (at == in.size()) break;
    std::size_t chunk = in.size() - at;
    if (seed != 0) {
      x ^= x << 13; // xorshift: cheap, deterministic chunk sizes
      x ^= x >> 17;
      x ^= x << 5;
      chunk = std::min<std::size_t>(chunk, 1 + x % 40);
    }
    d.feed(in.subspan(at, chunk));
    at += chunk;
  }
  if (auto end = d.endOfStream()) events.push_back(*end);
  return events;
}

void checkRoundTrip(const ClientMessage& m) {
  Bytes b;
  if (!encode(m, b)) return; // only a payload beyond 32-bit sizes could refuse, not one decoded
  StreamDecoder d(b.size());
  d.feed(b);
  const StreamEvent e = d.next();
  check(std::holds_alternative<Received>(e) && std::get<Received>(e).message == m,
        "encode/decode round trip");
  check(d.buffered() == 0, "round trip leaves bytes");
}

void checkRead(const Value& v, const Metadata& md, std::uint16_t type, std::uint32_t count,
               std::uint32_t maxCount) {
  const DbrData d = encodeDbr(v, md, type, count, ReadContext{maxCount, serverMinorVersion});
  check(d.count <= maxCount, "reply count above native count");
  if (const auto t = toDbrType(type); t && d.status != EcaStatus::BadType) {
    check(d.bytes.size() == dataSize(*t, d.count), "DBR image size");
  }
  Bytes out;
  check(encode(EventAddReply{type, d.count, d.status, 1, d.bytes}, out), "update encodes");
  check(parseHeader(out).header.payloadSize >= 8, "zero-size update");
}

void exerciseWrite(std::uint16_t type, std::uint32_t count, const Bytes& data) {
  static const std::string states[] = {"Off", "On", "Fault"};
  Metadata md;
  md.enumStrings.assign(std::begin(states), std::end(states));
  md.precision = static_cast<std::int16_t>(count % 40) - 10;
  for (std::uint8_t t = 0; t <= static_cast<std::uint8_t>(NativeType::LongString); ++t) {
    const WriteResult w =
        decodeWrite(type, count, data, WriteTarget{static_cast<NativeType>(t), fuzzMaxCount, states});
    if (w.status != EcaStatus::Normal) continue;
    check(nativeType(w.value) == static_cast<NativeType>(t), "write result type");
    // Read what was written back in every type, as a client would.
    for (std::uint16_t rt = 0; rt <= maxDbrTypeCode + 1; ++rt)
      checkRead(w.value, md, rt, 0, fuzzMaxCount);
    checkRead(w.value, md, type, count, fuzzMaxCount);
  }
}

void exerciseMessage(const ClientMessage& m) {
  checkRoundTrip(m);
  std::visit(
      [](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, Write> || std::is_same_v<T, WriteNotify>) {
          exerciseWrite(x.dataType, x.dataCount, x.data);
        } else if constexpr (std::is_same_v<T, ReadNotify> || std::is_same_v<T, EventAdd> ||
                             std::is_same_v<T, Read>) {
          checkRead(std::vector<double>{1.5, -2.5, 1e300}, Metadata{}, x.dataType, x.dataCount, 3);
          checkRead(LongString{"fuzz"}, Metadata{}, x.dataType, x.dataCount, 8);
        } else if constexpr (std::is_same_v<T, Search> || std::is_same_v<T, CreateChannel>) {
          const ChannelName n = splitChannelName(x.name);
          check(!n.valid || !n.base.empty(), "valid name with empty base");
        }
      },
      m);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);

  const auto whole = decodeStream(in, 0);
  std::uint32_t seed = static_cast<std::uint32_t>(size) * 2654435761u;
  if (size > 0) seed ^= data[0];
  check(decodeStream(in, seed) == whole, "events depend on read boundaries");

  for (const auto& e : whole)
    if (const auto* r = std::get_if<Received>(&e)) exerciseMessage(r->message);

  const DatagramContent dg = decodeDatagram(in);
  check(dg.intact || !dg.rejected.empty(), "broken datagram without a rejection");
  for (const auto& m : dg.messages) {
    const Command c = commandOf(m);
    check(c == Command::Version || c == Command::Search, "non-search message accepted over UDP");
    checkRoundTrip(m);
  }
  return 0;
}
