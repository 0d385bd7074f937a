// Every message type against literal bytes. "libca" vectors were captured from libca 7.0.3.1
// (pyepics 3.4.1) with capture/capture_libca.py; for server messages that means libca accepted
// exactly these bytes and decoded the values the comments name. The rest follow the reference.
#include "Hex.hpp"

#include "telvik/protocol/Decoder.hpp"
#include "telvik/protocol/Messages.hpp"

#include <gtest/gtest.h>

namespace telvik::protocol {
namespace {

using test::hex;
using test::toHex;

ClientMessage decodeOne(const Bytes& b) {
  StreamDecoder d;
  d.feed(b);
  StreamEvent e = d.next();
  EXPECT_TRUE(std::holds_alternative<Received>(e)) << toHex(b);
  EXPECT_EQ(d.buffered(), 0u);
  return std::holds_alternative<Received>(e) ? std::get<Received>(e).message : ClientMessage{};
}

struct ClientCase {
  const char* what;
  Bytes bytes;
  ClientMessage message;
};

// Decoding gives the message; encoding the message gives the bytes back.
TEST(ClientMessages, DecodeAndEncodeExactly) {
  const ClientCase cases[] = {
      {"libca EVENT_ADD TIME_DOUBLE count 0 mask 5",
       hex("0001001000140000000000640000000100000000000000000000000000050000"), EventAdd{20, 0, 100, 1, 5}},
      {"libca READ_NOTIFY TIME_DOUBLE count 0", hex("000f0000001400000000006400000002"),
       ReadNotify{20, 0, 100, 2}},
      {"libca READ_NOTIFY CTRL_DOUBLE count 1", hex("000f0000002200010000006400000004"),
       ReadNotify{34, 1, 100, 4}},
      {"libca WRITE_NOTIFY DOUBLE 2.25", hex("001300080006000100000064000000054002000000000000"),
       WriteNotify{6, 1, 100, 5, hex("4002000000000000")}},
      {"libca WRITE DOUBLE 3.5, CID in p2", hex("00040008000600010000006400000001400c000000000000"),
       Write{6, 1, 100, 1, hex("400c000000000000")}},
      {"libca WRITE_NOTIFY scalar string, shortened", hex("001300080000000100000065000000076162630000000000"),
       WriteNotify{0, 1, 101, 7, hex("6162630000000000")}},
      {"libca WRITE_NOTIFY char array with NUL", hex("0013000800040004000000670000000f6e65770000000000"),
       WriteNotify{4, 4, 103, 15, hex("6e65770000000000")}},
      {"libca ECHO", hex("00170000000000000000000000000000"), Echo{}},
      {"libca EVENT_CANCEL", hex("00020000001400000000006400000001"), EventCancel{20, 0, 100, 1}},
      {"libca CLEAR_CHANNEL", hex("000c0000000000000000006400000001"), ClearChannel{100, 1}},
      {"libca CREATE_CHAN", hex("0012000800000000000000020000000d54533a5354520000"),
       CreateChannel{2, 13, "TS:STR"}},
      {"libca SEARCH", hex("000600080005000d000000020000000254533a5354520000"), Search{5, 13, 2, "TS:STR"}},
      {"READ", hex("00030000000e00010000006500000009"), Read{14, 1, 101, 9}},
      {"READ_SYNC", hex("000a0000000000000000000000000000"), ReadSync{}},
      {"EVENTS_OFF", hex("00080000000000000000000000000000"), EventsOff{}},
      {"EVENTS_ON", hex("00090000000000000000000000000000"), EventsOn{}},
      {"SEARCH DO_REPLY", hex("00060008000a000d0000000700000007 4142430000000000"), Search{10, 13, 7, "ABC"}},
      {"ECHO with payload", hex("0017000800010002000000030000000401020304050607 08"),
       Echo{1, 2, 3, 4, hex("0102030405060708")}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decodeOne(c.bytes), c.message) << c.what;
    Bytes out;
    ASSERT_TRUE(encode(c.message, out)) << c.what;
    EXPECT_EQ(toHex(out), toHex(c.bytes)) << c.what;
  }
}

struct ServerCase {
  const char* what;
  ServerMessage message;
  Bytes bytes;
};

TEST(ServerMessages, EncodeExactly) {
  const ServerCase cases[] = {
      {"libca-accepted VERSION on accept", Version::forCircuit(), hex("000000000000000d0000000000000000")},
      {"libca-accepted UDP VERSION echoing sequence 2", Version::forDatagram(2),
       hex("000000000001000d0000000200000000")},
      {"libca-accepted UDP search reply, port 48671", SearchReply{48671, 1},
       hex("00060008be1f0000ffffffff00000001 000d000000000000")},
      {"TCP search reply", SearchReply{5064, 9, useSourceAddress, 13, Transport::Tcp},
       hex("0006000013c80000ffffffff00000009")},
      {"NOT_FOUND echoes the search", NotFound::to(Search{10, 13, 7, "X"}),
       hex("000e0000000a000d0000000700000007")},
      {"libca-accepted ACCESS_RIGHTS read/write", AccessRights{1, true, true},
       hex("00160000000000000000000100000003")},
      {"ACCESS_RIGHTS read only", AccessRights{1, true, false}, hex("00160000000000000000000100000001")},
      {"libca-accepted CREATE_CHAN reply DOUBLE[1]", CreateChannelReply{6, 1, 1, 100},
       hex("00120000000600010000000100000064")},
      {"libca-accepted CREATE_CHAN reply CHAR[256]", CreateChannelReply{4, 256, 4, 103},
       hex("00120000000401000000000400000067")},
      {"CREATE_CHAN reply with 100000 elements", CreateChannelReply{6, 100000, 1, 2},
       hex("0012ffff000600000000000100000002 00000000000186a0")},
      {"CREATE_CH_FAIL", CreateChannelFailed{5}, hex("001a0000000000000000000500000000")},
      {"libca-accepted EVENT_ADD update TIME_DOUBLE 1.5",
       EventAddReply{20, 1, EcaStatus::Normal, 1, hex("000000003b9aca00000001f4000000003ff8000000000000")},
       hex("00010018001400010000000100000001 000000003b9aca00000001f4000000003ff8000000000000")},
      {"empty update still carries 8 bytes", EventAddReply{6, 0, EcaStatus::Normal, 3, {}},
       hex("00010008000600000000000100000003 0000000000000000")},
      {"libca-accepted final empty EVENT_ADD", EventCancelReply{20, 0, 100, 1},
       hex("00010000001400000000006400000001")},
      {"READ_NOTIFY reply pads TIME_CHAR image",
       ReadNotifyReply{18, 1, EcaStatus::Normal, 2, hex("000000003b9aca00000001f400000068")},
       hex("000f0010001200010000000100000002 000000003b9aca00000001f400000068")},
      {"READ_NOTIFY failure with zeroed payload",
       ReadNotifyReply{6, 1, EcaStatus::NoRdAccess, 2, Bytes(8, 0)},
       hex("000f0008000600010000017000000002 0000000000000000")},
      {"READ reply carries the CID", ReadReply{5, 1, 7, 8, hex("0000002a")},
       hex("00030008000500010000000700000008 0000002a00000000")},
      {"libca-accepted WRITE_NOTIFY reply", WriteNotifyReply{6, 1, EcaStatus::Normal, 5},
       hex("00130000000600010000000100000005")},
      {"WRITE_NOTIFY reply with failure", WriteNotifyReply{6, 1, EcaStatus::NoWtAccess, 5},
       hex("00130000000600010000017800000005")},
      {"libca-accepted CLEAR_CHANNEL reply", ClearChannelReply{100, 1},
       hex("000c0000000000000000006400000001")},
      {"libca-accepted ECHO", Echo{}, hex("00170000000000000000000000000000")},
      {"READ_SYNC echoed", ReadSync{}, hex("000a0000000000000000000000000000")},
      {"beacon 7 for port 5064", Beacon{13, 5064, 7, 0}, hex("000d0000000d13c80000000700000000")},
      {"SERVER_DISCONN", ServerDisconnect{9}, hex("001b0000000000000000000900000000")},
      {"ERROR for a WRITE", ErrorMessage{Header{4, 8, 6, 1, 100, 1}, 1, EcaStatus::PutFail, "put failed"},
       hex("000b0020 0000 0000 00000001 000000a0"
           "00040008000600010000006400000001 707574206661696c6564000000000000")},
  };
  for (const auto& c : cases) {
    Bytes out;
    ASSERT_TRUE(encode(c.message, out)) << c.what;
    EXPECT_EQ(toHex(out), toHex(c.bytes)) << c.what;
  }
}

TEST(ServerMessages, ErrorEmbedsExtendedHeaderAndCapsAt512Bytes) {
  const Header big{4, 0x20000, 6, 0x4000, 100, 1};
  Bytes out;
  ASSERT_TRUE(encode(ErrorMessage{big, 1, EcaStatus::TooLarge, std::string(1000, 'x')}, out));
  EXPECT_EQ(out.size(), maxErrorMessageSize);
  const HeaderParse outer = parseHeader(out);
  EXPECT_EQ(outer.header.payloadSize, 496u);
  EXPECT_EQ(outer.header.parameter2, 72u);
  const HeaderParse inner = parseHeader(ByteView(out).subspan(16));
  ASSERT_EQ(inner.size, extendedHeaderSize);
  EXPECT_EQ(inner.header, big);
  EXPECT_EQ(out.back(), 0); // the text keeps its NUL when cut
}

TEST(ServerMessages, PeersBelowMinor9GetNoExtendedHeaders) {
  const HeaderForm old = headerFormFor(8);
  Bytes out = hex("aa");
  EXPECT_FALSE(encode(ReadNotifyReply{4, 0x10000, EcaStatus::Normal, 1, Bytes(0x10000, 0)}, out, old));
  EXPECT_EQ(out, hex("aa")); // nothing half-written

  out.clear();
  ASSERT_TRUE(encode(CreateChannelReply{6, 100000, 1, 2}, out, old));
  EXPECT_EQ(out, hex("001200000006fffe0000000100000002"));
  EXPECT_EQ(headerFormFor(9), HeaderForm::ExtendedAllowed);
}

} // namespace
} // namespace telvik::protocol
