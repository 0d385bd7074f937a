#include "telvik/protocol/Convert.hpp"

#include "ByteOrder.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace telvik::protocol {

using namespace detail;

namespace {

constexpr std::size_t maxStringChars = maxStringSize - 1;

template <class T> T toInteger(double x) {
  if (std::isnan(x)) return 0;
  const double r = std::round(x);
  if (r <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
  if (r >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  return static_cast<T>(r);
}

float toFloat(double x) {
  constexpr double maxF = std::numeric_limits<float>::max();
  if (std::isfinite(x)) x = std::clamp(x, -maxF, maxF);
  return static_cast<float>(x);
}

// Shortest text that reads back to the same number; used where no precision applies (numbers
// written into text channels).
std::string formatShortest(double v, bool single) {
  char buf[64];
  const auto r = single ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(v))
                        : std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string_view cut(std::string_view s, std::size_t n) {
  return s.substr(0, std::min(s.size(), n));
}

void storeString(std::uint8_t* p, std::string_view s, std::size_t field) {
  const std::string_view c = cut(s, field - 1);
  std::memcpy(p, c.data(), c.size());
}

int resolvedPrecision(const Metadata& md, NativeType t) {
  const int fallback = (t == NativeType::Float || t == NativeType::Double) ? 6 : 0;
  return md.precision.value_or(static_cast<std::int16_t>(fallback));
}

// Text to number for a given base: enum states match by name first, then as an index.
std::optional<double> textToNumber(std::string_view text, DbrBase target,
                                   std::span<const std::string> states) {
  if (target == DbrBase::Enum) {
    for (std::size_t i = 0; i < states.size(); ++i)
      if (states[i] == text) return static_cast<double>(i);
  }
  return parseNumber(text);
}

// Read access to the elements of a native value, element-wise, in whichever form the requested
// base needs.
class Elements {
 public:
  // A long string is a char array cut to the channel's capacity so that a full read always ends
  // in its NUL; shorter reads get the leading bytes, as from any char array.
  Elements(const Value& v, const Metadata& md, std::uint32_t capacity) : v_(v), md_(md) {
    if (const auto* ls = std::get_if<LongString>(&v)) text_ = cut(ls->text, capacity == 0 ? 0 : capacity - 1);
  }

  // How many elements hold data when converting to `b`; the rest of the reply is zeros.
  [[nodiscard]] std::uint32_t available(DbrBase b) const {
    if (std::holds_alternative<LongString>(v_))
      return b == DbrBase::String ? 1 : static_cast<std::uint32_t>(text_.size());
    return currentCount(v_);
  }

  [[nodiscard]] std::optional<double> number(std::size_t i, DbrBase target) const {
    return std::visit(
        [&](const auto& x) -> std::optional<double> {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, LongString>) {
            return static_cast<double>(static_cast<std::uint8_t>(text_[i]));
          } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
            return textToNumber(x[i], target, md_.enumStrings);
          } else {
            return static_cast<double>(x[i]);
          }
        },
        v_);
  }

  [[nodiscard]] std::string text(std::size_t i, int precision) const {
    return std::visit(
        [&](const auto& x) -> std::string {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, LongString>) {
            return std::string(x.text);
          } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
            return x[i];
          } else if constexpr (std::is_same_v<T, std::vector<float>> ||
                               std::is_same_v<T, std::vector<double>>) {
            return formatNumber(static_cast<double>(x[i]), precision);
          } else if constexpr (std::is_same_v<T, std::vector<std::uint16_t>>) {
            if (x[i] < md_.enumStrings.size()) return md_.enumStrings[x[i]];
            return std::to_string(x[i]);
          } else {
            return std::to_string(x[i]);
          }
        },
        v_);
  }

 private:
  const Value& v_;
  const Metadata& md_;
  std::string_view text_;
};

void storeNumber(std::uint8_t* p, DbrBase b, double x) {
  switch (b) {
  case DbrBase::Short:
    storeU16(p, static_cast<std::uint16_t>(toInteger<std::int16_t>(x)));
    break;
  case DbrBase::Float:
    storeF32(p, toFloat(x));
    break;
  case DbrBase::Enum:
    storeU16(p, toInteger<std::uint16_t>(x));
    break;
  case DbrBase::Char:
    *p = toInteger<std::uint8_t>(x);
    break;
  case DbrBase::Long:
    storeU32(p, static_cast<std::uint32_t>(toInteger<std::int32_t>(x)));
    break;
  case DbrBase::Double:
    storeF64(p, x);
    break;
  case DbrBase::String:
    break;
  }
}

void storeLimits(std::uint8_t* p, DbrBase b, const Metadata& md, int n) {
  const double limits[8] = {md.upperDisplayLimit, md.lowerDisplayLimit, md.upperAlarmLimit,
                            md.upperWarningLimit, md.lowerWarningLimit, md.lowerAlarmLimit,
                            md.upperControlLimit, md.lowerControlLimit};
  const std::size_t step = layout(plainType(b)).elementSize;
  for (int i = 0; i < n; ++i)
    storeNumber(p + static_cast<std::size_t>(i) * step, b, limits[i]);
}

// Writes everything in front of the value. `bytes` is zeroed, so padding needs no writing.
void storeMetadata(std::uint8_t* p, DbrType t, const Metadata& md, int precision) {
  const DbrFamily f = family(t);
  if (f == DbrFamily::Plain || t == DbrType::ClassName) return;
  storeU16(p, static_cast<std::uint16_t>(md.status));
  storeU16(p + 2, static_cast<std::uint16_t>(md.severity));
  if (f == DbrFamily::Time) {
    storeU32(p + 4, md.timestamp.seconds);
    storeU32(p + 8, md.timestamp.nanoseconds);
    return;
  }
  if (f != DbrFamily::Gr && f != DbrFamily::Ctrl) return; // STS, and STSACK with acks left at 0
  const int limits = f == DbrFamily::Gr ? 6 : 8;
  const DbrBase b = base(t);
  switch (b) {
  case DbrBase::String:
    break;
  case DbrBase::Short:
  case DbrBase::Char:
  case DbrBase::Long:
    storeString(p + 4, md.units, maxUnitsSize);
    storeLimits(p + 12, b, md, limits);
    break;
  case DbrBase::Float:
  case DbrBase::Double:
    storeU16(p + 4, static_cast<std::uint16_t>(precision));
    storeString(p + 8, md.units, maxUnitsSize);
    storeLimits(p + 16, b, md, limits);
    break;
  case DbrBase::Enum: {
    const std::size_t n = std::min(md.enumStrings.size(), maxEnumStates);
    storeU16(p + 4, static_cast<std::uint16_t>(n));
    for (std::size_t i = 0; i < n; ++i)
      storeString(p + 6 + i * maxEnumStringSize, md.enumStrings[i], maxEnumStringSize);
    break;
  }
  }
}

DbrData zeros(EcaStatus status, DbrType t, std::uint32_t count) {
  return DbrData{status, count, Bytes(static_cast<std::size_t>(dataSize(t, count)), 0)};
}

} // namespace

std::uint32_t currentCount(const Value& v) {
  return std::visit(
      [](const auto& x) -> std::uint32_t {
        using T = std::decay_t<decltype(x)>;
        std::size_t n = 0;
        if constexpr (std::is_same_v<T, LongString>)
          n = x.text.size() + 1;
        else
          n = x.size();
        return static_cast<std::uint32_t>(std::min<std::size_t>(n, 0xFFFFFFFF));
      },
      v);
}

Value emptyValue(NativeType t) {
  switch (t) {
  case NativeType::String:
    return std::vector<std::string>{};
  case NativeType::Short:
    return std::vector<std::int16_t>{};
  case NativeType::Float:
    return std::vector<float>{};
  case NativeType::Enum:
    return std::vector<std::uint16_t>{};
  case NativeType::Char:
    return std::vector<std::uint8_t>{};
  case NativeType::Long:
    return std::vector<std::int32_t>{};
  case NativeType::Double:
    return std::vector<double>{};
  case NativeType::LongString:
    break;
  }
  return LongString{};
}

std::string formatNumber(double v, int precision) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  precision = std::clamp(precision, 0, 17);
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, precision);
  if (r.ec == std::errc{} && static_cast<std::size_t>(r.ptr - buf) <= maxStringChars)
    return std::string(buf, r.ptr);
  r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, precision);
  return std::string(buf, r.ptr);
}

std::optional<double> parseNumber(std::string_view s) {
  constexpr std::string_view blanks = " \t\r\n\v\f";
  const auto first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return std::nullopt;
  s = s.substr(first, s.find_last_not_of(blanks) - first + 1);

  bool negative = false;
  if (s.front() == '+' || s.front() == '-') {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || s.front() == '+' || s.front() == '-') return std::nullopt;

  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    std::uint64_t u = 0;
    const auto r = std::from_chars(s.data() + 2, s.data() + s.size(), u, 16);
    if (r.ec != std::errc{} || r.ptr != s.data() + s.size()) return std::nullopt;
    const auto d = static_cast<double>(u);
    return negative ? -d : d;
  }
  double d = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), d);
  if (r.ec != std::errc{} || r.ptr != s.data() + s.size()) return std::nullopt;
  return negative ? -d : d;
}

DbrData encodeDbr(const Value& value, const Metadata& md, std::uint16_t dataType,
                  std::uint32_t requestedCount, const ReadContext& context) {
  const auto type = toDbrType(dataType);
  if (!type || *type == DbrType::PutAckt || *type == DbrType::PutAcks)
    return DbrData{EcaStatus::BadType, 0, {}};
  const DbrType t = *type;
  const DbrBase b = base(t);

  std::uint32_t count = requestedCount;
  if (requestedCount == 0) {
    if (context.clientMinor < dynamicCountMinVersion) return zeros(EcaStatus::BadCount, t, 0);
    // A long string counts its NUL, except as DBR_STRING, where it is one string.
    const bool single =
        t == DbrType::ClassName || (b == DbrBase::String && std::holds_alternative<LongString>(value));
    count = std::min(single ? 1u : currentCount(value), context.maxCount);
  } else if (requestedCount > context.maxCount) {
    return zeros(EcaStatus::BadCount, t, 0);
  }

  DbrData out = zeros(EcaStatus::Normal, t, count);
  const NativeType native = nativeType(value);
  const int precision = resolvedPrecision(md, native);
  storeMetadata(out.bytes.data(), t, md, precision);

  const DbrLayout l = layout(t);
  std::uint8_t* values = out.bytes.data() + l.valueOffset;
  if (t == DbrType::ClassName) {
    if (count > 0) storeString(values, md.className, maxStringSize);
    return out;
  }
  const Elements elements(value, md, context.maxCount);
  const std::uint32_t n = std::min(count, elements.available(b));
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint8_t* p = values + std::size_t{i} * l.elementSize;
    if (b == DbrBase::String) {
      storeString(p, elements.text(i, precision), maxStringSize);
      continue;
    }
    const auto x = elements.number(i, b);
    if (!x) return zeros(EcaStatus::NoConvert, t, count);
    storeNumber(p, b, *x);
  }
  return out;
}

// ---- writes ---------------------------------------------------------------------------------

namespace {

// The written elements, before conversion to the channel's type.
struct Incoming {
  DbrBase base = DbrBase::Double;
  std::uint32_t count = 0;
  ByteView payload;
  std::vector<std::string_view> strings; // for DBR_STRING

  [[nodiscard]] double number(std::size_t i) const {
    const std::uint8_t* p = payload.data() + i * layout(plainType(base)).elementSize;
    switch (base) {
    case DbrBase::Short:
      return static_cast<std::int16_t>(loadU16(p));
    case DbrBase::Float:
      return loadF32(p);
    case DbrBase::Enum:
      return loadU16(p);
    case DbrBase::Char:
      return *p;
    case DbrBase::Long:
      return static_cast<std::int32_t>(loadU32(p));
    case DbrBase::Double:
      return loadF64(p);
    case DbrBase::String:
      break;
    }
    return 0;
  }

  // A char array written as text: the bytes up to the first NUL.
  [[nodiscard]] std::string_view charText() const {
    const auto* c = reinterpret_cast<const char*>(payload.data());
    const std::string_view all(c, count);
    return all.substr(0, all.find('\0'));
  }
};

std::string_view stringElement(const std::uint8_t* p, std::size_t room) {
  const auto* c = reinterpret_cast<const char*>(p);
  const std::string_view all(c, room);
  return cut(all.substr(0, all.find('\0')), maxStringChars);
}

struct Fail {
  EcaStatus status;
};

template <class T>
std::variant<std::vector<T>, Fail> toNumbers(const Incoming& in, DbrBase target,
                                             std::span<const std::string> states) {
  std::vector<T> out;
  out.reserve(in.count);
  for (std::uint32_t i = 0; i < in.count; ++i) {
    double x = 0;
    if (in.base == DbrBase::String) {
      const auto parsed = textToNumber(in.strings[i], target, states);
      if (!parsed) return Fail{EcaStatus::NoConvert};
      x = *parsed;
    } else {
      x = in.number(i);
    }
    if constexpr (std::is_same_v<T, double>) {
      out.push_back(x);
    } else if constexpr (std::is_same_v<T, float>) {
      out.push_back(toFloat(x));
    } else {
      // A state is written by its index exactly: rounding or clamping (-1 to 0) would pick a
      // state nobody asked for.
      if (target == DbrBase::Enum && !states.empty() &&
          !(x >= 0 && x < static_cast<double>(states.size()) && x == std::floor(x)))
        return Fail{EcaStatus::NoConvert};
      out.push_back(toInteger<T>(x));
    }
  }
  return out;
}

WriteResult finish(auto&& converted) {
  if (const auto* f = std::get_if<Fail>(&converted)) return WriteResult{f->status, {}};
  using V = std::variant_alternative_t<0, std::decay_t<decltype(converted)>>;
  return WriteResult{EcaStatus::Normal, Value{std::move(std::get<V>(converted))}};
}

} // namespace

WriteResult decodeWrite(std::uint16_t dataType, std::uint32_t count, ByteView payload,
                        const WriteTarget& target) {
  const auto type = toDbrType(dataType);
  if (!type) return WriteResult{EcaStatus::BadType, {}};
  if (*type == DbrType::PutAckt || *type == DbrType::PutAcks) return WriteResult{EcaStatus::NoConvert, {}};
  if (!isWritable(*type)) return WriteResult{EcaStatus::BadType, {}};
  if (count > target.maxCount) return WriteResult{EcaStatus::BadCount, {}};

  Incoming in{base(*type), count, payload, {}};
  if (in.base == DbrBase::String) {
    if (count == 1 && payload.size() < maxStringSize) {
      // libca sends a scalar string as its text and NUL only; the NUL has to be there.
      if (payload.empty() || std::memchr(payload.data(), 0, payload.size()) == nullptr)
        return WriteResult{EcaStatus::BadStr, {}};
      in.strings.push_back(stringElement(payload.data(), payload.size()));
    } else {
      if (payload.size() < std::uint64_t{count} * maxStringSize) return WriteResult{EcaStatus::BadCount, {}};
      in.strings.reserve(count);
      for (std::uint32_t i = 0; i < count; ++i)
        in.strings.push_back(stringElement(payload.data() + std::size_t{i} * maxStringSize, maxStringSize));
    }
  } else if (payload.size() < dataSize(*type, count)) {
    return WriteResult{EcaStatus::BadCount, {}};
  }

  switch (target.type) {
  case NativeType::String: {
    std::vector<std::string> out;
    if (in.base == DbrBase::String) {
      out.assign(in.strings.begin(), in.strings.end());
    } else if (in.base == DbrBase::Char) {
      // caput -S and friends send text as a char array; a string channel takes it as text.
      out.emplace_back(cut(in.charText(), maxStringChars));
    } else {
      for (std::uint32_t i = 0; i < count; ++i)
        out.push_back(formatShortest(in.number(i), in.base == DbrBase::Float));
    }
    return WriteResult{EcaStatus::Normal, Value{std::move(out)}};
  }
  case NativeType::LongString: {
    const std::size_t room = target.maxCount == 0 ? 0 : target.maxCount - 1;
    std::string text;
    if (in.base == DbrBase::String) {
      if (!in.strings.empty()) text = in.strings.front();
    } else if (in.base == DbrBase::Char) {
      text = in.charText();
    } else {
      // Any other numeric array is taken as character codes: to the client this channel is a char array.
      for (std::uint32_t i = 0; i < count; ++i) {
        const auto c = toInteger<std::uint8_t>(in.number(i));
        if (c == 0) break;
        text.push_back(static_cast<char>(c));
      }
    }
    if (text.size() > room) text.resize(room);
    return WriteResult{EcaStatus::Normal, Value{LongString{std::move(text)}}};
  }
  case NativeType::Short:
    return finish(toNumbers<std::int16_t>(in, DbrBase::Short, target.enumStrings));
  case NativeType::Float:
    return finish(toNumbers<float>(in, DbrBase::Float, target.enumStrings));
  case NativeType::Enum:
    return finish(toNumbers<std::uint16_t>(in, DbrBase::Enum, target.enumStrings));
  case NativeType::Char:
    return finish(toNumbers<std::uint8_t>(in, DbrBase::Char, target.enumStrings));
  case NativeType::Long:
    return finish(toNumbers<std::int32_t>(in, DbrBase::Long, target.enumStrings));
  case NativeType::Double:
    return finish(toNumbers<double>(in, DbrBase::Double, target.enumStrings));
  }
  return WriteResult{EcaStatus::BadType, {}};
}

} // namespace telvik::protocol
