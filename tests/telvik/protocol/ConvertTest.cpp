// Conversions between the native value and what clients ask for or write, and the element-count
// rules of reads.
#include "Hex.hpp"

#include "telvik/protocol/Convert.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>

namespace telvik::protocol {
namespace {

using test::hex;

constexpr auto code = [](DbrType t) { return toWire(t); };

DbrData read(const Value& v, DbrType t, std::uint32_t count = 1, ReadContext ctx = {},
             const Metadata& md = {}) {
  return encodeDbr(v, md, code(t), count, ctx);
}

template <class T> T single(const DbrData& d) {
  T v{};
  EXPECT_EQ(d.bytes.size(), sizeof(T));
  std::uint64_t u = 0;
  for (auto b : d.bytes)
    u = u << 8 | b;
  if constexpr (sizeof(T) == 8)
    v = std::bit_cast<T>(u);
  else if constexpr (sizeof(T) == 4)
    v = std::bit_cast<T>(static_cast<std::uint32_t>(u));
  else if constexpr (sizeof(T) == 2)
    v = std::bit_cast<T>(static_cast<std::uint16_t>(u));
  else
    v = static_cast<T>(u);
  return v;
}

std::string text(const DbrData& d, std::size_t element = 0) {
  const char* p = reinterpret_cast<const char*>(d.bytes.data()) + element * maxStringSize;
  return std::string(p, strnlen(p, maxStringSize));
}

// ---- element counts -------------------------------------------------------------------------

TEST(ReadCount, ZeroMeansCurrentLength) {
  const Value dynamic = std::vector<double>{1, 2, 3};
  EXPECT_EQ(read(dynamic, DbrType::Double, 0, ReadContext{10}).count, 3u);
  EXPECT_EQ(read(std::vector<double>{}, DbrType::Double, 0, ReadContext{10}).count, 0u);
  EXPECT_EQ(read(std::vector<std::int32_t>{7}, DbrType::TimeLong, 0).count, 1u);
  // A value longer than the channel never leaks past the announced count.
  EXPECT_EQ(read(std::vector<double>(20, 1.0), DbrType::Double, 0, ReadContext{10}).count, 10u);
}

TEST(ReadCount, FixedCountIsZeroFilled) {
  const DbrData d = read(std::vector<std::int32_t>{5, 6}, DbrType::Long, 4, ReadContext{4});
  EXPECT_EQ(d.status, EcaStatus::Normal);
  EXPECT_EQ(d.count, 4u);
  EXPECT_EQ(d.bytes, hex("00000005 00000006 00000000 00000000"));
}

TEST(ReadCount, Errors) {
  const Value v = std::vector<double>{1};
  const DbrData over = read(v, DbrType::TimeDouble, 2, ReadContext{1});
  EXPECT_EQ(over.status, EcaStatus::BadCount);
  EXPECT_EQ(over.count, 0u);
  EXPECT_EQ(over.bytes, Bytes(16, 0)); // zeroed metadata, the size a count-0 reply has

  EXPECT_EQ(read(v, DbrType::Double, 0, ReadContext{1, 12}).status, EcaStatus::BadCount);
  EXPECT_EQ(encodeDbr(v, {}, 39, 1, {}).status, EcaStatus::BadType);
  EXPECT_EQ(read(v, DbrType::PutAckt).status, EcaStatus::BadType);
}

// ---- numbers --------------------------------------------------------------------------------

TEST(NumericRead, RoundsAndClamps) {
  EXPECT_EQ(single<std::int32_t>(read(std::vector<double>{2.5}, DbrType::Long)), 3);
  EXPECT_EQ(single<std::int32_t>(read(std::vector<double>{-2.5}, DbrType::Long)), -3);
  EXPECT_EQ(single<std::int32_t>(read(std::vector<double>{1e10}, DbrType::Long)), INT32_MAX);
  EXPECT_EQ(single<std::int16_t>(read(std::vector<std::int32_t>{-100000}, DbrType::Short)), INT16_MIN);
  EXPECT_EQ(single<std::uint8_t>(read(std::vector<double>{-1}, DbrType::Char)), 0);
  EXPECT_EQ(single<std::uint8_t>(read(std::vector<std::int32_t>{300}, DbrType::Char)), 255);
  EXPECT_EQ(single<std::int16_t>(read(std::vector<double>{NAN}, DbrType::Short)), 0);
  EXPECT_EQ(single<float>(read(std::vector<double>{1e39}, DbrType::Float)), FLT_MAX);
  EXPECT_TRUE(std::isinf(single<float>(read(std::vector<double>{-INFINITY}, DbrType::Float))));
  EXPECT_EQ(single<double>(read(std::vector<std::uint16_t>{3}, DbrType::Double)), 3.0);
  EXPECT_EQ(single<double>(read(std::vector<std::int32_t>{INT32_MIN}, DbrType::Double)), INT32_MIN);
}

TEST(NumericRead, TextThatIsNoNumberFailsWithZeroedReply) {
  const DbrData d = read(std::vector<std::string>{"abc"}, DbrType::TimeDouble);
  EXPECT_EQ(d.status, EcaStatus::NoConvert);
  EXPECT_EQ(d.count, 1u);
  EXPECT_EQ(d.bytes, Bytes(24, 0));
  EXPECT_EQ(single<double>(read(std::vector<std::string>{" 2.5 "}, DbrType::Double)), 2.5);
}

TEST(NumericRead, LongStringIsCharArrayWithNul) {
  const Value v = LongString{"hello world"};
  const DbrData all = read(v, DbrType::Char, 0, ReadContext{256});
  EXPECT_EQ(all.count, 12u);
  EXPECT_EQ(all.bytes, hex("68656c6c6f20776f726c6400"));
  EXPECT_EQ(read(v, DbrType::Char, 3, ReadContext{256}).bytes, hex("68656c"));
  // Text beyond the capacity is cut so that the NUL still fits.
  const DbrData cut = read(v, DbrType::Char, 0, ReadContext{6});
  EXPECT_EQ(cut.count, 6u);
  EXPECT_EQ(cut.bytes, hex("68656c6c6f00"));
  EXPECT_EQ(read(LongString{}, DbrType::Char, 0, ReadContext{6}).bytes, hex("00"));
}

// ---- text -----------------------------------------------------------------------------------

TEST(TextRead, NumbersUsePrecision) {
  Metadata md;
  md.precision = 3;
  EXPECT_EQ(text(read(std::vector<double>{1.5}, DbrType::String, 1, {}, md)), "1.500");
  EXPECT_EQ(text(read(std::vector<double>{1.5}, DbrType::String)), "1.500000"); // 6 when unset
  EXPECT_EQ(text(read(std::vector<float>{0.25f}, DbrType::String)), "0.250000");
  EXPECT_EQ(text(read(std::vector<std::int32_t>{-42}, DbrType::String)), "-42");
  const std::string huge = text(read(std::vector<double>{-1.5e300}, DbrType::String, 1, {}, md));
  EXPECT_EQ(huge, "-1.500e+300");
  EXPECT_EQ(text(read(std::vector<double>{NAN}, DbrType::String)), "nan");
}

TEST(TextRead, EnumsByStateNameAndCharArraysPerElement) {
  Metadata md;
  md.enumStrings = {"Off", "On"};
  EXPECT_EQ(text(read(std::vector<std::uint16_t>{1}, DbrType::String, 1, {}, md)), "On");
  EXPECT_EQ(text(read(std::vector<std::uint16_t>{5}, DbrType::String, 1, {}, md)), "5");
  const DbrData chars = read(std::vector<std::uint8_t>{104, 105}, DbrType::String, 2, ReadContext{2});
  EXPECT_EQ(text(chars, 0), "104");
  EXPECT_EQ(text(chars, 1), "105");
}

TEST(TextRead, StringsKeep39Characters) {
  const std::string long50(50, 'x');
  EXPECT_EQ(text(read(std::vector<std::string>{long50}, DbrType::String)), std::string(39, 'x'));
  const DbrData fromLong = read(LongString{long50}, DbrType::String, 0, ReadContext{256});
  EXPECT_EQ(fromLong.count, 1u); // one string, not one per character
  EXPECT_EQ(text(fromLong), std::string(39, 'x'));
}

TEST(TextRead, ClassName) {
  Metadata md;
  md.className = "ai";
  const DbrData d = read(std::vector<double>{1}, DbrType::ClassName, 0, {}, md);
  EXPECT_EQ(d.count, 1u);
  EXPECT_EQ(text(d), "ai");
}

// ---- writes ---------------------------------------------------------------------------------

WriteResult write(DbrType t, std::uint32_t count, const Bytes& payload, NativeType target,
                  std::uint32_t maxCount = 1, std::span<const std::string> states = {}) {
  return decodeWrite(code(t), count, payload, WriteTarget{target, maxCount, states});
}

TEST(Write, ShortenedScalarStringFromLibca) {
  const Bytes abc = hex("6162630000000000"); // caput('TS:STR', 'abc'), 8-byte payload
  EXPECT_EQ(write(DbrType::String, 1, abc, NativeType::String).value, Value{std::vector<std::string>{"abc"}});
  EXPECT_EQ(write(DbrType::String, 1, abc, NativeType::Double).status, EcaStatus::NoConvert);
  EXPECT_EQ(write(DbrType::String, 1, hex("616263"), NativeType::String).status, EcaStatus::BadStr);
  EXPECT_EQ(write(DbrType::String, 1, {}, NativeType::String).status, EcaStatus::BadStr); // found by fuzzing
  EXPECT_EQ(write(DbrType::String, 2, Bytes(56, 0x41), NativeType::String, 2).status, EcaStatus::BadCount);
}

TEST(Write, TextParsesIntoNumbers) {
  const auto str = [](std::string_view s) {
    Bytes b(s.begin(), s.end());
    b.resize(40, 0);
    return b;
  };
  EXPECT_EQ(write(DbrType::String, 1, str("2.5"), NativeType::Double).value, Value{std::vector<double>{2.5}});
  EXPECT_EQ(write(DbrType::String, 1, str(" 42\n"), NativeType::Long).value,
            Value{std::vector<std::int32_t>{42}});
  EXPECT_EQ(write(DbrType::String, 1, str("0x1F"), NativeType::Short).value,
            Value{std::vector<std::int16_t>{31}});
  EXPECT_EQ(write(DbrType::String, 1, str(""), NativeType::Float).status, EcaStatus::NoConvert);
  EXPECT_EQ(write(DbrType::String, 1, str("1.5 V"), NativeType::Double).status, EcaStatus::NoConvert);
}

TEST(Write, EnumsByNameOrIndexWithinStates) {
  const std::vector<std::string> states{"false", "true"};
  EXPECT_EQ(write(DbrType::String, 1, hex("7472756500000000"), NativeType::Enum, 1, states).value,
            Value{std::vector<std::uint16_t>{1}});
  EXPECT_EQ(write(DbrType::String, 1, hex("3000000000000000"), NativeType::Enum, 1, states).value,
            Value{std::vector<std::uint16_t>{0}});
  EXPECT_EQ(write(DbrType::String, 1, hex("3700000000000000"), NativeType::Enum, 1, states).status,
            EcaStatus::NoConvert);
  EXPECT_EQ(write(DbrType::Double, 1, hex("4000000000000000"), NativeType::Enum, 1, states).status,
            EcaStatus::NoConvert);
  EXPECT_EQ(write(DbrType::Double, 1, hex("3ff0000000000000"), NativeType::Enum, 1, states).value,
            Value{std::vector<std::uint16_t>{1}});
  // No rounding or clamping into a state: -1 is not state 0, 0.6 not state 1.
  EXPECT_EQ(write(DbrType::Double, 1, hex("bff0000000000000"), NativeType::Enum, 1, states).status,
            EcaStatus::NoConvert);
  EXPECT_EQ(write(DbrType::Double, 1, hex("3fe3333333333333"), NativeType::Enum, 1, states).status,
            EcaStatus::NoConvert);
  EXPECT_EQ(write(DbrType::Long, 1, hex("ffffffff"), NativeType::Enum, 1, states).status,
            EcaStatus::NoConvert);
  EXPECT_EQ(write(DbrType::String, 1, hex("2d31000000000000"), NativeType::Enum, 1, states).status,
            EcaStatus::NoConvert);
  // Nor is NaN, an infinity or a fraction of a state, and "-0" is 0.
  for (const char* bad : {"7ff8000000000000", "fff0000000000000", "7ff0000000000000", "3ff8000000000000"})
    EXPECT_EQ(write(DbrType::Double, 1, hex(bad), NativeType::Enum, 1, states).status, EcaStatus::NoConvert)
        << bad;
  EXPECT_EQ(write(DbrType::String, 1, hex("6e616e0000000000"), NativeType::Enum, 1, states).status,
            EcaStatus::NoConvert); // "nan"
  EXPECT_EQ(write(DbrType::Double, 1, hex("8000000000000000"), NativeType::Enum, 1, states).value,
            Value{std::vector<std::uint16_t>{0}});
}

TEST(Write, NumbersConvertAndArraysKeepTheirCount) {
  EXPECT_EQ(write(DbrType::Double, 1, hex("400c000000000000"), NativeType::Long).value,
            Value{std::vector<std::int32_t>{4}}); // 3.5 from libca rounds up
  EXPECT_EQ(write(DbrType::Short, 3, hex("0001ffff8000 0000"), NativeType::Double, 5).value,
            (Value{std::vector<double>{1, -1, -32768}}));
  EXPECT_EQ(write(DbrType::Long, 0, {}, NativeType::Double, 5).value, Value{std::vector<double>{}});
  EXPECT_EQ(write(DbrType::Double, 1, hex("400c000000000000"), NativeType::String).value,
            Value{std::vector<std::string>{"3.5"}});
  EXPECT_EQ(write(DbrType::Float, 1, hex("3dcccccd"), NativeType::String).value,
            Value{std::vector<std::string>{"0.1"}}); // shortest text of the float, not of its double
}

TEST(Write, CharArraysAsText) {
  const Bytes newText = hex("6e65770000000000"); // caput('TS:WAVE', 'new'): DBR_CHAR count 4
  EXPECT_EQ(write(DbrType::Char, 4, newText, NativeType::LongString, 256).value, Value{LongString{"new"}});
  // A full buffer without NUL loses its last byte to the NUL the channel must keep.
  EXPECT_EQ(write(DbrType::Char, 3, newText, NativeType::LongString, 3).value, Value{LongString{"ne"}});
  EXPECT_EQ(write(DbrType::Char, 4, newText, NativeType::LongString, 3).status, EcaStatus::BadCount);
  EXPECT_EQ(write(DbrType::Char, 4, newText, NativeType::Char, 4).value,
            (Value{std::vector<std::uint8_t>{'n', 'e', 'w', 0}}));
}

TEST(Write, RefusedTypesAndSizes) {
  EXPECT_EQ(write(DbrType::TimeDouble, 1, Bytes(24, 0), NativeType::Double).status, EcaStatus::BadType);
  EXPECT_EQ(decodeWrite(39, 1, Bytes(8, 0), WriteTarget{}).status, EcaStatus::BadType);
  EXPECT_EQ(write(DbrType::PutAckt, 1, Bytes(8, 0), NativeType::Double).status, EcaStatus::NoConvert);
  EXPECT_EQ(write(DbrType::Double, 2, Bytes(8, 0), NativeType::Double, 2).status, EcaStatus::BadCount);
  EXPECT_EQ(write(DbrType::Double, 3, Bytes(24, 0), NativeType::Double, 2).status, EcaStatus::BadCount);
  EXPECT_EQ(write(DbrType::Double, 0xFFFFFFFF, Bytes(8, 0), NativeType::Double, 0xFFFFFFFF).status,
            EcaStatus::BadCount);
}

// ---- text helpers ---------------------------------------------------------------------------

TEST(NumberText, ParseAcceptsOnlyWholeNumbers) {
  EXPECT_EQ(parseNumber("+5"), 5.0);
  EXPECT_EQ(parseNumber("-0x10"), -16.0);
  EXPECT_EQ(parseNumber("1e3"), 1000.0);
  EXPECT_TRUE(std::isinf(*parseNumber("-inf")));
  for (const char* bad : {"", "  ", "--5", "+-5", "1e", "0x", "5 5", "1e999"})
    EXPECT_FALSE(parseNumber(bad)) << bad;
}

TEST(NumberText, FormatFitsADbrString) {
  EXPECT_EQ(formatNumber(0.5, 0), "0"); // round half to even, as printf does
  EXPECT_EQ(formatNumber(1.25, -3), "1");
  EXPECT_LE(formatNumber(-DBL_MAX, 17).size(), 39u);
}

} // namespace
} // namespace telvik::protocol
