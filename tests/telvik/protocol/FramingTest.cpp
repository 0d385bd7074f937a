// Header forms, the TCP stream decoder and the datagram decoder. Vectors marked "libca" were
// captured from libca 7.0.3.1 (pyepics 3.4.1) by capture/capture_libca.py; see the log beside it.
#include "Hex.hpp"

#include "telvik/protocol/Decoder.hpp"

#include <gtest/gtest.h>

namespace telvik::protocol {
namespace {

using test::hex;

// libca, connecting to TS:DOUBLE: VERSION, CLIENT_NAME "root", HOST_NAME "vm", CREATE_CHAN in one burst.
const Bytes libcaConnectBurst = hex("000000000000000d0000000000000000"
                                    "00140008000000000000000000000000 726f6f7400000000"
                                    "00150008000000000000000000000000 766d000000000000"
                                    "0012001000000000000000010000000d 54533a444f55424c4500000000000000");

// libca: first search datagram for TS:DOUBLE.
const Bytes libcaSearchDatagram = hex("000000000001000d0000000100000000"
                                      "000600100005000d0000000100000001 54533a444f55424c4500000000000000");

std::vector<StreamEvent> drain(StreamDecoder& d) {
  std::vector<StreamEvent> out;
  for (;;) {
    StreamEvent e = d.next();
    if (std::holds_alternative<NeedMore>(e)) return out;
    const bool fatal = std::holds_alternative<Rejected>(e) && isFatal(std::get<Rejected>(e).error);
    out.push_back(std::move(e));
    if (fatal) return out;
  }
}

// How many bytes the decoder asks for, or nothing if it produced an event.
std::optional<std::size_t> needed(StreamDecoder& d) {
  const StreamEvent e = d.next();
  if (const auto* n = std::get_if<NeedMore>(&e)) return n->bytes;
  return std::nullopt;
}

Bytes message(std::uint16_t command, std::uint32_t payloadSize, std::uint32_t count = 0) {
  Bytes b;
  appendHeader(b, Header{command, payloadSize, 0, count, 0, 0});
  b.resize(b.size() + payloadSize, 0);
  return b;
}

// ---- header forms ---------------------------------------------------------------------------

TEST(HeaderForm, SwitchesToExtendedExactlyAt0xFFFF) {
  Bytes b;
  appendHeader(b, Header{4, 0xFFF8, 6, 0xFFFE, 1, 2});
  EXPECT_EQ(b, hex("0004fff80006fffe0000000100000002"));

  b.clear();
  appendHeader(b, Header{4, 0x10000, 6, 100, 1, 2});
  EXPECT_EQ(b, hex("0004ffff000600000000000100000002 00010000 00000064"));

  b.clear();
  appendHeader(b, Header{18, 0, 4, 0xFFFF, 1, 2}); // count alone forces it too
  EXPECT_EQ(b, hex("0012ffff000400000000000100000002 00000000 0000ffff"));
}

// ---- TCP stream -----------------------------------------------------------------------------

TEST(StreamDecoder, DecodesLibcaConnectBurst) {
  StreamDecoder d;
  d.feed(libcaConnectBurst);
  const auto events = drain(d);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(std::get<Received>(events[0]).message, ClientMessage{(Version{0, 13, 0})});
  EXPECT_EQ(std::get<Received>(events[1]).message, ClientMessage{ClientName{"root"}});
  EXPECT_EQ(std::get<Received>(events[2]).message, ClientMessage{HostName{"vm"}});
  EXPECT_EQ(std::get<Received>(events[3]).message, ClientMessage{(CreateChannel{1, 13, "TS:DOUBLE"})});
  EXPECT_EQ(d.buffered(), 0u);
  EXPECT_FALSE(d.endOfStream());
}

TEST(StreamDecoder, ResultDoesNotDependOnHowBytesAreSplit) {
  StreamDecoder whole;
  whole.feed(libcaConnectBurst);
  const auto expected = drain(whole);

  StreamDecoder bytewise;
  std::vector<StreamEvent> got;
  for (std::uint8_t b : libcaConnectBurst) {
    bytewise.feed(ByteView(&b, 1));
    for (auto& e : drain(bytewise))
      got.push_back(std::move(e));
  }
  EXPECT_EQ(got, expected);
}

TEST(StreamDecoder, NeedMoreCountsMissingHeaderThenPayload) {
  StreamDecoder d;
  d.feed(ByteView(libcaConnectBurst).subspan(16, 10)); // part of the CLIENT_NAME header
  EXPECT_EQ(needed(d), 6u);
  d.feed(ByteView(libcaConnectBurst).subspan(26, 6));
  EXPECT_EQ(needed(d), 8u);
  d.feed(ByteView(libcaConnectBurst).subspan(32, 3));
  EXPECT_EQ(needed(d), 5u);
  ASSERT_TRUE(d.endOfStream());
  EXPECT_EQ(d.endOfStream()->error, DecodeError::Truncated);
}

TEST(StreamDecoder, MisalignedSizeIsFatalAndSticky) {
  StreamDecoder d;
  Bytes bad = hex("0014000c000000000000000000000000 726f6f74000000000000000000");
  d.feed(bad);
  const StreamEvent e = d.next();
  ASSERT_TRUE(std::holds_alternative<Rejected>(e));
  EXPECT_EQ(std::get<Rejected>(e).error, DecodeError::Malformed);
  EXPECT_EQ(std::get<Rejected>(e).header.payloadSize, 12u);
  d.feed(libcaConnectBurst);
  const StreamEvent again = d.next();
  EXPECT_EQ(again, e);
  EXPECT_TRUE(d.failed());
}

TEST(StreamDecoder, OversizedMessageIsSkippedWithoutBuffering) {
  StreamDecoder d(payloadLimitFromMaxArrayBytes(16384));
  Bytes big = message(static_cast<std::uint16_t>(Command::Write), 0x20000, 0x4000);
  const Bytes echo = hex("00170000000000000000000000000000");
  big.insert(big.end(), echo.begin(), echo.end());

  std::vector<StreamEvent> got;
  std::size_t maxBuffered = 0;
  for (std::size_t at = 0; at < big.size(); at += 1000) {
    d.feed(ByteView(big).subspan(at, std::min<std::size_t>(1000, big.size() - at)));
    maxBuffered = std::max(maxBuffered, d.buffered());
    for (auto& e : drain(d))
      got.push_back(std::move(e));
  }
  ASSERT_EQ(got.size(), 2u);
  const auto& r = std::get<Rejected>(got[0]);
  EXPECT_EQ(r.error, DecodeError::Oversized);
  EXPECT_EQ(ecaStatusFor(r.error), EcaStatus::TooLarge);
  EXPECT_EQ(r.header.payloadSize, 0x20000u);
  EXPECT_EQ(std::get<Received>(got[1]).message, ClientMessage{Echo{}});
  EXPECT_LE(maxBuffered, 1000u);
  EXPECT_FALSE(d.failed());
}

TEST(StreamDecoder, PayloadLimitFollowsMaxArrayBytes) {
  EXPECT_EQ(payloadLimitFromMaxArrayBytes(0), 16384u);
  EXPECT_EQ(payloadLimitFromMaxArrayBytes(100001), 100008u);
  EXPECT_EQ(payloadLimitFromMaxArrayBytes(std::uint64_t{1} << 40), 0xFFFFFFF8u);

  StreamDecoder d(payloadLimitFromMaxArrayBytes(16384));
  d.feed(message(static_cast<std::uint16_t>(Command::Write), 16384, 2048)); // exactly at the limit
  EXPECT_TRUE(std::holds_alternative<Received>(d.next()));
}

TEST(StreamDecoder, ExtendedWriteWithinLimitDecodes) {
  StreamDecoder d(payloadLimitFromMaxArrayBytes(1 << 20));
  Bytes b = message(static_cast<std::uint16_t>(Command::Write), 0x10000, 0x10000 / 8);
  d.feed(b);
  const auto events = drain(d);
  ASSERT_EQ(events.size(), 1u);
  const auto& w = std::get<Write>(std::get<Received>(events[0]).message);
  EXPECT_EQ(w.dataCount, 0x2000u);
  EXPECT_EQ(w.data.size(), 0x10000u);
  // The header comes along as it was on the wire, extended sizes included.
  EXPECT_EQ(std::get<Received>(events[0]).header, (Header{4, 0x10000, 0, 0x2000, 0, 0}));
}

TEST(StreamDecoder, HoldsAboutOneMessageAndGivesTheRoomBackAfterIt) {
  constexpr std::size_t size = 1 << 20;
  StreamDecoder d(payloadLimitFromMaxArrayBytes(size));
  const Bytes b = message(static_cast<std::uint16_t>(Command::Write), size, size / 8);
  for (std::size_t at = 0; at < b.size(); at += 65536) {
    EXPECT_TRUE(std::holds_alternative<NeedMore>(d.next()));
    d.feed(ByteView(b).subspan(at, std::min<std::size_t>(65536, b.size() - at)));
    EXPECT_LE(d.capacity(), b.size() + 65536) << at;
  }
  EXPECT_TRUE(std::holds_alternative<Received>(d.next()));
  EXPECT_TRUE(std::holds_alternative<NeedMore>(d.next()));
  EXPECT_LE(d.capacity(), 65536u);
}

TEST(StreamDecoder, HugeCountWithoutPayloadIsPassedOnNotAllocated) {
  StreamDecoder d;
  d.feed(hex("000fffff000600000000006400000002 00000000 ffffffff"));
  const auto events = drain(d);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(std::get<Received>(events[0]).message, ClientMessage{(ReadNotify{6, 0xFFFFFFFF, 100, 2})});
  EXPECT_EQ(std::get<Received>(events[0]).header, (Header{15, 0, 6, 0xFFFFFFFF, 100, 2}));
}

TEST(StreamDecoder, UnknownAndObsoleteCommandsAreRejectedButCircuitGoesOn) {
  for (std::uint16_t command :
       std::initializer_list<std::uint16_t>{5, 7, 11, 13, 16, 17, 22, 24, 25, 26, 27, 28, 0xFFFE}) {
    StreamDecoder d;
    d.feed(message(command, 8));
    d.feed(hex("00170000000000000000000000000000"));
    const auto events = drain(d);
    ASSERT_EQ(events.size(), 2u) << command;
    EXPECT_EQ(std::get<Rejected>(events[0]).error, DecodeError::UnknownCommand) << command;
    EXPECT_EQ(std::get<Rejected>(events[0]).header.command, command);
    EXPECT_TRUE(std::holds_alternative<Received>(events[1])) << command;
  }
}

TEST(StreamDecoder, UnusableNamesAreRejectedWithTheirHeader) {
  const Bytes cases[] = {
      hex("0012000800000000000000010000000d 0000000000000000"), // empty name
      hex("0012000800000000000000010000000d 54533a444f55424c"), // no NUL
      hex("00060000000500000000000700000007"),                  // search without payload
  };
  for (const Bytes& c : cases) {
    StreamDecoder d;
    d.feed(c);
    const auto events = drain(d);
    ASSERT_EQ(events.size(), 1u);
    const auto& r = std::get<Rejected>(events[0]);
    EXPECT_EQ(r.error, DecodeError::BadMessage);
    EXPECT_EQ(r.header, parseHeader(c).header);
    EXPECT_FALSE(d.failed());
  }
}

TEST(StreamDecoder, NameLengthBound) {
  const auto create = [](std::size_t length) {
    Bytes b;
    EXPECT_TRUE(encode(CreateChannel{1, 13, std::string(length, 'x')}, b));
    StreamDecoder d;
    d.feed(b);
    return d.next();
  };
  EXPECT_TRUE(std::holds_alternative<Received>(create(maxChannelNameSize - 1)));
  EXPECT_EQ(std::get<Rejected>(create(maxChannelNameSize)).error, DecodeError::BadMessage);
}

TEST(StreamDecoder, NonZeroPaddingIsTolerated) {
  StreamDecoder d;
  d.feed(hex("00140008000000000000000000000000 726f6f7400ffffff"));
  const StreamEvent e = d.next();
  EXPECT_EQ(std::get<Received>(e).message, ClientMessage{ClientName{"root"}});
}

TEST(StreamDecoder, EventAddWithoutMaskPayloadGetsDefaultMask) {
  StreamDecoder d;
  d.feed(hex("00010000001400000000006400000001"));
  const StreamEvent e = d.next();
  EXPECT_EQ(std::get<EventAdd>(std::get<Received>(e).message).mask, defaultEventMask);
}

// ---- UDP ------------------------------------------------------------------------------------

TEST(Datagram, DecodesLibcaSearch) {
  const DatagramContent c = decodeDatagram(libcaSearchDatagram);
  EXPECT_TRUE(c.intact);
  EXPECT_TRUE(c.rejected.empty());
  ASSERT_EQ(c.messages.size(), 2u);
  EXPECT_EQ(c.messages[0], ClientMessage{(Version{1, 13, 1})});
  const auto& s = std::get<Search>(c.messages[1]);
  EXPECT_EQ(s, (Search{5, 13, 1, "TS:DOUBLE"}));
  EXPECT_FALSE(s.wantsNotFound());
}

TEST(Datagram, SeveralSearchesInOneDatagram) {
  Bytes d;
  ASSERT_TRUE(encode(Version{1, 13, 9}, d));
  for (std::uint32_t id : {1u, 2u, 3u, 4u})
    ASSERT_TRUE(encode(Search{5, 13, id, "PV" + std::to_string(id)}, d));
  const DatagramContent c = decodeDatagram(d);
  ASSERT_EQ(c.messages.size(), 5u);
  EXPECT_EQ(std::get<Search>(c.messages[4]).name, "PV4");
}

TEST(Datagram, TruncatedLastMessageIsDroppedAndMarksDatagram) {
  const DatagramContent c =
      decodeDatagram(ByteView(libcaSearchDatagram).first(libcaSearchDatagram.size() - 8));
  EXPECT_FALSE(c.intact);
  ASSERT_EQ(c.messages.size(), 1u);
  ASSERT_EQ(c.rejected.size(), 1u);
  EXPECT_EQ(c.rejected[0].error, DecodeError::Truncated);

  const DatagramContent shortHeader = decodeDatagram(ByteView(libcaSearchDatagram).first(20));
  EXPECT_FALSE(shortHeader.intact);
  EXPECT_EQ(shortHeader.messages.size(), 1u);
}

TEST(Datagram, OnlyVersionAndSearchAreAcceptedOverUdp) {
  Bytes d = libcaSearchDatagram;
  const Bytes createChan = hex("0012000800000000000000020000000d54533a5354520000");
  d.insert(d.end(), createChan.begin(), createChan.end());
  const DatagramContent c = decodeDatagram(d);
  EXPECT_TRUE(c.intact);
  EXPECT_EQ(c.messages.size(), 2u);
  ASSERT_EQ(c.rejected.size(), 1u);
  EXPECT_EQ(c.rejected[0].error, DecodeError::UnknownCommand);
}

TEST(Datagram, MisalignedMessageEndsDatagram) {
  const DatagramContent c = decodeDatagram(hex("000600050005000d0000000100000001 4142430000"));
  EXPECT_FALSE(c.intact);
  EXPECT_TRUE(c.messages.empty());
  EXPECT_EQ(c.rejected.at(0).error, DecodeError::Malformed);
}

} // namespace
} // namespace telvik::protocol
