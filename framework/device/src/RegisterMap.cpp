#include "framework/device/RegisterMap.hpp"

#include "framework/device/TextFile.hpp"

#include "framework/device/DeviceError.hpp"
#include "framework/device/src/TextScan.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <numeric>
#include <optional>

namespace orvane::device {

using detail::quote;

namespace {

std::string hex(std::uint64_t v) {
  constexpr std::string_view digits = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), digits[v & 0xf]);
    v >>= 4;
  } while (v != 0);
  return "0x" + out;
}

std::string byteRange(const RegisterInfo& r) {
  return "bytes " + hex(r.offset) + ".." + hex(r.end() - 1);
}

/// Path components as in TextScan's isName, separated by single '/'; one leading '/' allowed.
bool isPath(std::string_view p) {
  if (!p.empty() && p.front() == '/') p.remove_prefix(1);
  if (p.empty()) return false;
  while (true) {
    auto slash = p.find('/');
    if (!detail::isName(p.substr(0, slash))) return false;
    if (slash == std::string_view::npos) return true;
    p.remove_prefix(slash + 1);
  }
}

constexpr std::array<std::string_view, 9> columnNames{"path",  "elements", "offset", "bytes", "type",
                                                      "width", "frac",     "signed", "access"};

class MapParser {
 public:
  explicit MapParser(std::string file) : file_(std::move(file)) {}

  RegisterMap parse(std::string_view text) {
    detail::forEachLine(text, [&](std::size_t number, std::string_view lineText) {
      line_ = number;
      auto tokens = detail::tokenise(lineText);
      if (tokens.empty()) return;
      if (tokens[0] == "alias")
        parseAlias(tokens);
      else if (tokens[0] == "operator" || tokens[0] == "heartbeat")
        parseMark(tokens);
      else
        parseRegister(tokens);
    });
    if (registers_.empty()) throw MapError(file_, 0, "no registers");
    resolveAliases();
    resolveMarks();
    checkOverlaps();
    return RegisterMap(file_, std::move(registers_));
  }

 private:
  struct Name {
    std::size_t line;
    bool isAlias;
  };
  struct PendingAlias {
    std::string alias;
    std::string target;
    std::size_t line;
  };
  struct PendingMark {
    std::string keyword;
    std::string path;
    std::size_t line;
  };

  [[noreturn]] void fail(const std::string& message) const { throw MapError(file_, line_, message); }

  void claimName(const std::string& path, bool isAlias) {
    auto [it, inserted] = names_.emplace(path, Name{line_, isAlias});
    if (inserted) return;
    std::string first = " (" + std::string(it->second.isAlias ? "alias" : "register") + " at line " +
                        std::to_string(it->second.line) + ")";
    if (isAlias) fail("alias " + quote(path) + " collides with an existing path" + first);
    if (it->second.isAlias) fail("register " + quote(path) + " collides with an alias" + first);
    fail("duplicate register " + quote(path) + first);
  }

  std::string checkedPath(std::string_view p, std::string_view what) const {
    if (!isPath(p))
      fail("bad " + std::string(what) + " " + quote(p) +
           " (components of letters, digits, '_' and '-', separated by '/')");
    return normalisePath(p);
  }

  void parseAlias(const std::vector<std::string_view>& tokens) {
    if (tokens.size() != 3) fail("an alias line reads 'alias ALIASPATH TARGETPATH'");
    auto alias = checkedPath(tokens[1], "alias path");
    auto target = checkedPath(tokens[2], "target path");
    claimName(alias, true);
    aliases_.push_back({alias, target, line_});
  }

  void parseMark(const std::vector<std::string_view>& tokens) {
    const std::string keyword(tokens[0]);
    if (tokens.size() != 2)
      fail(std::string(keyword == "operator" ? "an " : "a ") + keyword + " line reads '" + keyword +
           " PATH'");
    marks_.push_back({keyword, checkedPath(tokens[1], "register path"), line_});
  }

  std::uint64_t number(std::string_view token, std::size_t column, std::uint64_t max) const {
    auto v = parseInteger<std::uint64_t>(token, detail::mapNumber);
    if (!v || *v > max)
      fail("bad number " + quote(token) + " in column '" + std::string(columnNames[column]) + "'");
    return *v;
  }

  void parseRegister(const std::vector<std::string_view>& tokens) {
    if (tokens.size() < columnNames.size())
      fail("missing column '" + std::string(columnNames[tokens.size()]) + "'");
    if (tokens.size() > columnNames.size())
      fail("unexpected column " + quote(tokens[columnNames.size()]) + " after 'access'");

    RegisterInfo r;
    r.line = line_;
    r.path = checkedPath(tokens[0], "register path");
    r.elements = static_cast<std::uint32_t>(number(tokens[1], 1, std::numeric_limits<std::uint32_t>::max()));
    r.offset = number(tokens[2], 2, std::numeric_limits<std::uint64_t>::max());
    auto bytes = number(tokens[3], 3, std::numeric_limits<std::uint32_t>::max());
    r.width = static_cast<std::uint32_t>(number(tokens[5], 5, 1024));
    auto frac = parseInteger<std::int64_t>(tokens[6], detail::mapNumber);
    if (!frac || *frac < -1024 || *frac > 1024) fail("bad number " + quote(tokens[6]) + " in column 'frac'");
    r.frac = static_cast<std::int32_t>(*frac);
    auto isSigned = number(tokens[7], 7, std::numeric_limits<std::uint64_t>::max());

    if (r.elements == 0) fail("register " + quote(r.path) + " has 0 elements");
    if (bytes != 4 && bytes != 8) fail("bytes " + quote(tokens[3]) + " must be 4 or 8");
    r.bytesPerElement = static_cast<std::uint32_t>(bytes);
    // Backends move whole aligned 32-bit words; a misaligned word would split across two.
    if (r.offset % 4 != 0) fail("offset " + quote(tokens[2]) + " is not a multiple of 4");
    if (r.offset > std::numeric_limits<std::uint64_t>::max() - r.byteSize())
      fail("register " + quote(r.path) + " runs past the end of the address space");
    if (isSigned > 1) fail("signed " + quote(tokens[7]) + " must be 0 or 1");
    r.isSigned = isSigned == 1;

    if (tokens[8] == "ro")
      r.access = Access::readOnly;
    else if (tokens[8] == "wo")
      r.access = Access::writeOnly;
    else if (tokens[8] == "rw")
      r.access = Access::readWrite;
    else
      fail("unknown access " + quote(tokens[8]) + " (expected ro, wo or rw)");

    const std::string widthText = quote(tokens[5]);
    if (tokens[4] == "fixed") {
      r.type = RegisterType::fixedPoint;
      if (r.width < 1 || r.width > 64) fail("fixed width " + widthText + " must be 1..64");
      if (r.width > 8 * bytes)
        fail("width " + widthText + " does not fit in " + std::to_string(bytes) + " bytes");
      if (r.frac < -64 || r.frac > 64) fail("frac " + quote(tokens[6]) + " must be -64..64");
    } else if (tokens[4] == "ieee754") {
      r.type = RegisterType::ieee754;
      if (r.width != 32 && r.width != 64) fail("ieee754 width " + widthText + " must be 32 or 64");
      if (r.width != 8 * bytes)
        fail("ieee754 width " + widthText + " needs " + std::to_string(r.width / 8) + " bytes");
      if (r.frac != 0) fail("ieee754 frac " + quote(tokens[6]) + " must be 0");
    } else if (tokens[4] == "void") {
      r.type = RegisterType::nothing;
      if (r.width != 0) fail("void width " + widthText + " must be 0");
      if (r.frac != 0) fail("void frac " + quote(tokens[6]) + " must be 0");
      if (r.isReadable()) fail("void register " + quote(r.path) + " cannot be read; its access must be wo");
    } else {
      fail("unknown type " + quote(tokens[4]) + " (expected fixed, ieee754 or void)");
    }

    claimName(r.path, false);
    registers_.push_back(std::move(r));
  }

  void resolveAliases() {
    std::unordered_map<std::string_view, std::size_t> index;
    for (std::size_t i = 0; i < registers_.size(); ++i)
      index.emplace(registers_[i].path, i);
    for (auto& a : aliases_) {
      auto it = index.find(a.target);
      if (it == index.end()) {
        line_ = a.line;
        auto name = names_.find(a.target);
        if (name != names_.end())
          fail("alias " + quote(a.alias) + " names another alias " + quote(a.target) + "; name the register");
        fail("alias " + quote(a.alias) + " names unknown register " + quote(a.target));
      }
      registers_[it->second].aliases.push_back(a.alias);
    }
  }

  // After resolveAliases(), so that a mark may name a register by any of its paths.
  void resolveMarks() {
    std::unordered_map<std::string_view, std::size_t> index;
    for (std::size_t i = 0; i < registers_.size(); ++i) {
      index.emplace(registers_[i].path, i);
      for (const auto& a : registers_[i].aliases)
        index.emplace(a, i);
    }
    const RegisterInfo* heartbeat = nullptr;
    std::size_t heartbeatLine = 0;
    for (auto& m : marks_) {
      line_ = m.line;
      auto it = index.find(m.path);
      if (it == index.end()) fail(m.keyword + " line names unknown register " + quote(m.path));
      auto& r = registers_[it->second];
      if (m.keyword == "operator") {
        if (!r.isWritable()) fail("operator line names read-only register " + quote(r.path));
        if (r.operatorWritable) fail("register " + quote(r.path) + " is named by two operator lines");
        r.operatorWritable = true;
        continue;
      }
      if (heartbeat != nullptr)
        fail("a second heartbeat line (the first is at line " + std::to_string(heartbeatLine) + ")");
      // Only a register the server never writes can show that the firmware is alive.
      if (r.access != Access::readOnly || r.type == RegisterType::nothing)
        fail("heartbeat register " + quote(r.path) + " must be a read-only fixed or ieee754 register");
      r.heartbeat = true;
      heartbeat = &r;
      heartbeatLine = m.line;
    }
  }

  void checkOverlaps() {
    std::vector<std::size_t> order(registers_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return registers_[a].offset < registers_[b].offset ||
             (registers_[a].offset == registers_[b].offset && registers_[a].line < registers_[b].line);
    });
    // Once sorted by offset, a register overlaps an earlier one exactly when it starts before the
    // furthest end seen so far.
    std::size_t reach = order.front();
    for (std::size_t k = 1; k < order.size(); ++k) {
      const auto& current = registers_[order[k]];
      const auto& previous = registers_[reach];
      if (current.offset < previous.end()) {
        const auto& later = current.line > previous.line ? current : previous;
        const auto& earlier = current.line > previous.line ? previous : current;
        line_ = later.line;
        fail("register " + quote(later.path) + " (" + byteRange(later) + ") overlaps " + quote(earlier.path) +
             " (" + byteRange(earlier) + ", line " + std::to_string(earlier.line) + ")");
      }
      if (current.end() > previous.end()) reach = order[k];
    }
  }

  std::string file_;
  std::size_t line_{0};
  std::vector<RegisterInfo> registers_;
  std::vector<PendingAlias> aliases_;
  std::vector<PendingMark> marks_;
  std::unordered_map<std::string, Name> names_;
};

} // namespace

std::string normalisePath(std::string_view path) {
  if (!path.empty() && path.front() == '/') return std::string(path);
  return "/" + std::string(path);
}

RegisterMap::RegisterMap(std::string file, std::vector<RegisterInfo> registers)
    : file_(std::move(file)), registers_(std::move(registers)) {
  for (std::size_t i = 0; i < registers_.size(); ++i) {
    byPath_.emplace(registers_[i].path, i);
    for (const auto& a : registers_[i].aliases)
      byPath_.emplace(a, i);
    requiredSize_ = std::max(requiredSize_, registers_[i].end());
  }
}

const RegisterInfo* RegisterMap::find(std::string_view path) const {
  auto it = byPath_.find(normalisePath(path));
  return it == byPath_.end() ? nullptr : &registers_[it->second];
}

const RegisterInfo& RegisterMap::get(std::string_view path) const {
  if (const auto* r = find(path)) return *r;
  throw MapError(file_, 0, "no register " + quote(normalisePath(path)));
}

const RegisterInfo* RegisterMap::heartbeat() const noexcept {
  for (const auto& r : registers_)
    if (r.heartbeat) return &r;
  return nullptr;
}

RegisterMap parseRegisterMapText(std::string_view text, std::string fileName) {
  return MapParser(std::move(fileName)).parse(text);
}

RegisterMap parseRegisterMap(const std::filesystem::path& mapFile) {
  std::string reason;
  const auto text = readTextFile(mapFile, reason);
  if (!text) throw MapError(mapFile.string(), 0, "cannot read: " + reason);
  return parseRegisterMapText(*text, mapFile.string());
}

const RegisterInfo* firstRegisterBeyond(const RegisterMap& map, std::uint64_t size) noexcept {
  for (const auto& r : map.registers())
    if (r.end() > size) return &r;
  return nullptr;
}

void checkRegistersFit(const RegisterMap& map, std::uint64_t size, std::string_view device) {
  if (const auto* r = firstRegisterBeyond(map, size))
    throw MapError(map.file(), r->line,
                   "register " + quote(r->path) + " (" + byteRange(*r) + ") lies beyond the " +
                       std::to_string(size) + " bytes of device " + std::string(device));
}

} // namespace orvane::device
