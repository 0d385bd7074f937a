// The byte image of every readable DBR type. Two independent oracles: images libca decoded
// correctly in a live session (capture/libca-7.0.3.1.log), and, for all 37 readable types, an
// image assembled field by field from the structure descriptions of the protocol reference
// (channel-access.md), whose length must also match that reference's size table.
#include "Hex.hpp"

#include "telvik/protocol/Convert.hpp"
#include "telvik/protocol/Messages.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>

namespace telvik::protocol {
namespace {

using test::hex;
using test::toHex;

// The hex text of `count` zero bytes.
std::string zeroBytes(std::size_t count) {
  return std::string(2 * count, '0');
}

// Appends big-endian fields, the way the reference describes each structure.
struct Image {
  Bytes b;
  Image& u8(std::uint8_t v) { return b.push_back(v), *this; }
  Image& u16(std::uint16_t v) {
    return u8(static_cast<std::uint8_t>(v >> 8)).u8(static_cast<std::uint8_t>(v));
  }
  Image& u32(std::uint32_t v) {
    return u16(static_cast<std::uint16_t>(v >> 16)).u16(static_cast<std::uint16_t>(v));
  }
  Image& f32(float v) { return u32(std::bit_cast<std::uint32_t>(v)); }
  Image& f64(double v) {
    const auto u = std::bit_cast<std::uint64_t>(v);
    return u32(static_cast<std::uint32_t>(u >> 32)).u32(static_cast<std::uint32_t>(u));
  }
  Image& zeros(std::size_t n) { return b.insert(b.end(), n, 0), *this; }
  Image& str(std::string_view s, std::size_t field) {
    b.insert(b.end(), s.begin(), s.end());
    return zeros(field - s.size());
  }
};

Metadata doubleMetadata() {
  Metadata md;
  md.status = AlarmStatus::High;
  md.severity = AlarmSeverity::Minor;
  md.timestamp = {1000000000, 500};
  md.units = "mm";
  md.precision = 3;
  md.upperDisplayLimit = 10;
  md.lowerDisplayLimit = -10;
  md.upperAlarmLimit = 9;
  md.upperWarningLimit = 8;
  md.lowerWarningLimit = -8;
  md.lowerAlarmLimit = -9;
  md.upperControlLimit = 10;
  md.lowerControlLimit = -10;
  md.className = "ai";
  return md;
}

// The value 1.5 and the limits above in a given base: integers round 1.5 to 2, CHAR clamps the
// negative limits to 0, text uses precision 3.
void appendNumber(Image& im, DbrBase b, double v) {
  switch (b) {
  case DbrBase::String:
    im.str(v == 1.5 ? "1.500" : "?", 40);
    break;
  case DbrBase::Short:
    im.u16(static_cast<std::uint16_t>(static_cast<std::int16_t>(std::round(v))));
    break;
  case DbrBase::Float:
    im.f32(static_cast<float>(v));
    break;
  case DbrBase::Enum:
    im.u16(static_cast<std::uint16_t>(std::round(v)));
    break;
  case DbrBase::Char:
    im.u8(v < 0 ? 0 : static_cast<std::uint8_t>(std::round(v)));
    break;
  case DbrBase::Long:
    im.u32(static_cast<std::uint32_t>(static_cast<std::int32_t>(std::round(v))));
    break;
  case DbrBase::Double:
    im.f64(v);
    break;
  }
}

Bytes expectedImage(DbrType t) {
  const double limits[] = {10, -10, 9, 8, -8, -9, 10, -10};
  Image im;
  const DbrBase b = base(t);
  const auto sts = [&] { im.u16(4).u16(1); };
  const auto limitsOf = [&](int n) {
    for (int i = 0; i < n; ++i)
      appendNumber(im, b, limits[i]);
  };
  if (t == DbrType::ClassName) return im.str("ai", 40).b;
  if (t == DbrType::StsackString) {
    sts();
    im.u16(0).u16(0);
    appendNumber(im, b, 1.5);
    return im.b;
  }
  switch (family(t)) {
  case DbrFamily::Plain:
    break;
  case DbrFamily::Sts:
    sts();
    im.zeros(b == DbrBase::Char ? 1 : b == DbrBase::Double ? 4 : 0);
    break;
  case DbrFamily::Time:
    sts();
    im.u32(1000000000).u32(500);
    im.zeros(b == DbrBase::Short || b == DbrBase::Enum ? 2
             : b == DbrBase::Char                      ? 3
             : b == DbrBase::Double                    ? 4
                                                       : 0);
    break;
  case DbrFamily::Gr:
  case DbrFamily::Ctrl: {
    const int n = family(t) == DbrFamily::Gr ? 6 : 8;
    sts();
    switch (b) {
    case DbrBase::String:
      break;
    case DbrBase::Short:
    case DbrBase::Long:
      im.str("mm", 8);
      limitsOf(n);
      break;
    case DbrBase::Char:
      im.str("mm", 8);
      limitsOf(n);
      im.zeros(1);
      break;
    case DbrBase::Float:
    case DbrBase::Double:
      im.u16(3).zeros(2).str("mm", 8);
      limitsOf(n);
      break;
    case DbrBase::Enum:
      im.u16(0).zeros(std::size_t{16} * 26);
      break;
    }
    break;
  }
  case DbrFamily::Other:
    break;
  }
  appendNumber(im, b, 1.5);
  return im.b;
}

// Sizes from the reference's table (libca's dbr_size), in code order; 35 and 36 are write-only.
constexpr std::uint16_t documentedSize[] = {40, 2,  4,  2,   1,  4,  8,  // plain
                                            44, 6,  8,  6,   6,  8,  16, // STS
                                            52, 16, 16, 16,  16, 16, 24, // TIME
                                            44, 26, 44, 424, 20, 40, 72, // GR
                                            44, 30, 52, 424, 22, 48, 88, // CTRL
                                            2,  2,  48, 40};

TEST(DbrLayout, EveryReadableTypeMatchesItsDescription) {
  const Value value = std::vector<double>{1.5};
  const Metadata md = doubleMetadata();
  for (std::uint16_t code = 0; code <= maxDbrTypeCode; ++code) {
    const DbrType t = *toDbrType(code);
    EXPECT_EQ(layout(t).size, documentedSize[code]) << code;
    if (t == DbrType::PutAckt || t == DbrType::PutAcks) continue;
    const Bytes expected = expectedImage(t);
    EXPECT_EQ(expected.size(), documentedSize[code]) << "oracle for type " << code;
    const DbrData got = encodeDbr(value, md, code, 1, {});
    EXPECT_EQ(got.status, EcaStatus::Normal) << code;
    EXPECT_EQ(got.count, 1u) << code;
    EXPECT_EQ(toHex(got.bytes), toHex(expected)) << "type " << code;
  }
}

TEST(DbrLayout, ArraysFollowTheValueOffsetAndCountZeroLeavesMetadata) {
  const Metadata md = doubleMetadata();
  for (std::uint16_t code = 0; code <= toWire(DbrType::CtrlDouble); ++code) {
    const DbrType t = *toDbrType(code);
    const DbrLayout l = layout(t);
    const DbrData three = encodeDbr(std::vector<double>{1.5, 1.5, 1.5}, md, code, 3, ReadContext{3});
    ASSERT_EQ(three.bytes.size(), l.size + 2u * l.elementSize) << code;
    // The last element is the first one again, at the end.
    const Bytes one = encodeDbr(std::vector<double>{1.5}, md, code, 1, {}).bytes;
    EXPECT_TRUE(std::equal(one.begin() + l.valueOffset, one.end(), three.bytes.end() - l.elementSize))
        << code;

    const DbrData none = encodeDbr(std::vector<double>{}, md, code, 0, ReadContext{3});
    EXPECT_EQ(none.count, 0u);
    EXPECT_EQ(none.bytes.size(), dataSize(t, 0)) << code;
    EXPECT_EQ(dataSize(t, 0), std::uint64_t{l.size} - l.elementSize);
  }
  EXPECT_EQ(dataSize(DbrType::Double, 0xFFFFFFFF), 8ull * 0xFFFFFFFF); // no 32-bit wrap
}

// READ_NOTIFY/EVENT_ADD replies exactly as libca received them (the decoded value in the name).
TEST(DbrLayout, ImagesLibcaDecoded) {
  Metadata time;
  time.timestamp = {1000000000, 500};
  Metadata ctrl;
  ctrl.units = "mm";
  ctrl.precision = 3;
  ctrl.upperDisplayLimit = ctrl.upperControlLimit = 10;
  ctrl.lowerDisplayLimit = ctrl.lowerControlLimit = -10;
  ctrl.upperAlarmLimit = 9;
  ctrl.upperWarningLimit = 8;
  ctrl.lowerWarningLimit = -8;
  ctrl.lowerAlarmLimit = -9;
  Metadata states = time;
  states.enumStrings = {"Off", "On"};
  const Value hello = std::vector<std::string>{"hello"};
  const Value wave = LongString{"hello world"};

  struct Case {
    const char* what;
    ServerMessage reply;
    Bytes bytes;
  };
  const auto read = [](std::uint16_t type, std::uint32_t ioid, const DbrData& d) -> ServerMessage {
    return ReadNotifyReply{type, d.count, d.status, ioid, d.bytes};
  };
  const auto update = [](std::uint16_t type, std::uint32_t id, const DbrData& d) -> ServerMessage {
    return EventAddReply{type, d.count, d.status, id, d.bytes};
  };
  const Case cases[] = {
      {"TIME_DOUBLE 1.5", read(20, 2, encodeDbr(std::vector<double>{1.5}, time, 20, 0, {})),
       hex("000f0018001400010000000100000002 000000003b9aca00000001f4000000003ff8000000000000")},
      {"CTRL_DOUBLE mm, precision 3, limits",
       read(34, 4, encodeDbr(std::vector<double>{1.5}, ctrl, 34, 1, {})),
       hex("000f005800220001000000010000000400000000000300006d6d0000000000004024000000000000c024000000000000"
           "40220000000000004020000000000000c020000000000000c0220000000000004024000000000000c024000000000000"
           "3ff8000000000000")},
      {"TIME_STRING 'hello'", update(14, 6, encodeDbr(hello, time, 14, 0, {})),
       hex("00010038000e00010000000100000006 000000003b9aca00000001f4 68656c6c6f" + zeroBytes(39))},
      {"TIME_ENUM 1", read(17, 11, encodeDbr(std::vector<std::uint16_t>{1}, time, 17, 0, {})),
       hex("000f001000110001000000010000000b 000000003b9aca00000001f400000001")},
      {"CTRL_ENUM Off/On", read(31, 10, encodeDbr(std::vector<std::uint16_t>{1}, states, 31, 1, {})),
       hex("000f01a8001f0001000000010000000a 000000000002 4f6666" + zeroBytes(23) + "4f6e" +
           zeroBytes(24 + 14 * 26) + "0001")},
      {"TIME_CHAR 'hello world' count 0", update(18, 12, encodeDbr(wave, time, 18, 0, ReadContext{256})),
       hex("000100200012000c000000010000000c 000000003b9aca00000001f4000000 68656c6c6f20776f726c6400 "
           "0000000000")},
      {"CTRL_CHAR count 1", read(32, 13, encodeDbr(wave, Metadata{}, 32, 1, ReadContext{256})),
       hex("000f001800200001000000010000000d 00000000 0000000000000000 0000000000000000 00 68 0000")},
  };
  for (const auto& c : cases) {
    Bytes out;
    ASSERT_TRUE(encode(c.reply, out)) << c.what;
    EXPECT_EQ(toHex(out), toHex(c.bytes)) << c.what;
  }
}

TEST(DbrLayout, MetadataIsCutToItsFields) {
  Metadata md;
  md.units = "millimetres";
  for (int i = 0; i < 20; ++i)
    md.enumStrings.push_back(std::string(30, static_cast<char>('a' + i)));
  const Bytes grShort = encodeDbr(std::vector<std::int16_t>{1}, md, toWire(DbrType::GrShort), 1, {}).bytes;
  EXPECT_EQ(std::string(grShort.begin() + 4, grShort.begin() + 12), std::string("millime\0", 8));

  const Bytes grEnum = encodeDbr(std::vector<std::uint16_t>{1}, md, toWire(DbrType::GrEnum), 1, {}).bytes;
  EXPECT_EQ(grEnum[4], 0);
  EXPECT_EQ(grEnum[5], 16); // no_str capped at 16 states
  EXPECT_EQ(grEnum[6 + 24], 'a');
  EXPECT_EQ(grEnum[6 + 25], 0); // 25 characters and the NUL
  EXPECT_EQ(grEnum[6 + 15 * 26], 'p');
}

} // namespace
} // namespace telvik::protocol
