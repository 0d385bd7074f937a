#include "framework/device/DeviceMap.hpp"

#include "framework/device/TextFile.hpp"

#include "framework/device/DeviceError.hpp"
#include "framework/device/src/TextScan.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <unordered_map>

namespace orvane::device {

using detail::quote;

std::string_view toString(BackendKind kind) noexcept {
  switch (kind) {
  case BackendKind::dummy:
    return "dummy";
  case BackendKind::shm:
    return "shm";
  case BackendKind::mmap:
    return "mmap";
  }
  return "?";
}

DeviceMap::DeviceMap(std::string file, std::vector<DeviceEntry> devices)
    : file_(std::move(file)), devices_(std::move(devices)) {}

const DeviceEntry* DeviceMap::find(std::string_view alias) const noexcept {
  for (const auto& d : devices_)
    if (d.alias == alias) return &d;
  return nullptr;
}

const DeviceEntry& DeviceMap::get(std::string_view alias) const {
  if (const auto* d = find(alias)) return *d;
  std::string known;
  for (const auto& d : devices_)
    known += (known.empty() ? "" : ", ") + d.alias;
  throw MapError(file_, 0,
                 "no device " + quote(alias) + " (devices: " + (known.empty() ? "none" : known) + ")");
}

namespace {

struct UriParts {
  BackendKind kind;
  std::string target;
  std::string mapFile;
};

class DmapParser {
 public:
  DmapParser(std::string file, std::filesystem::path base) : file_(std::move(file)), base_(std::move(base)) {}

  DeviceMap parse(std::string_view text) {
    std::vector<DeviceEntry> devices;
    std::unordered_map<std::string, std::size_t> firstLine;
    detail::forEachLine(text, [&](std::size_t number, std::string_view lineText) {
      line_ = number;
      auto tokens = detail::tokenise(lineText);
      if (tokens.empty()) return;
      std::string_view alias = tokens[0];
      if (!detail::isName(alias))
        fail("bad device alias " + quote(alias) + " (letters, digits, '_' and '-' only)");
      if (tokens.size() < 2) fail("missing URI for device " + quote(alias));
      if (tokens.size() > 2) fail("unexpected " + quote(tokens[2]) + " after the URI");
      auto [it, inserted] = firstLine.emplace(std::string(alias), number);
      if (!inserted)
        fail("duplicate device " + quote(alias) + " (first at line " + std::to_string(it->second) + ")");
      UriParts uri = parseUri(tokens[1]);
      devices.push_back(DeviceEntry{std::string(alias), uri.kind, std::move(uri.target), resolve(uri.mapFile),
                                    std::string(tokens[1]), number});
    });
    return DeviceMap(file_, std::move(devices));
  }

 private:
  [[noreturn]] void fail(const std::string& message) const { throw MapError(file_, line_, message); }

  std::filesystem::path resolve(std::string_view relative) const {
    return (base_ / std::filesystem::path(relative)).lexically_normal();
  }

  UriParts parseUri(std::string_view uri) {
    auto colon = uri.find(':');
    if (colon == std::string_view::npos)
      fail("URI " + quote(uri) + " names no backend (expected dummy:, shm: or mmap:)");
    std::string_view scheme = uri.substr(0, colon);
    std::string_view rest = uri.substr(colon + 1);
    std::string_view target = rest.substr(0, rest.find('?'));
    std::string_view query =
        target.size() < rest.size() ? rest.substr(target.size() + 1) : std::string_view{};

    UriParts parts{BackendKind::dummy, {}, {}};
    if (scheme == "dummy") {
      if (!target.empty()) fail("dummy: takes no target, found " + quote(target) + " in URI " + quote(uri));
    } else if (scheme == "shm") {
      parts.kind = BackendKind::shm;
      if (target.empty()) fail("shm: needs an object name in URI " + quote(uri));
      // POSIX leaves names with a second '/' implementation-defined, and the leading one is ours.
      if (target.find('/') != std::string_view::npos)
        fail("shm object name " + quote(target) + " must not contain '/'");
      if (target.size() > 250) fail("shm object name " + quote(target) + " is too long");
      parts.target = std::string(target);
    } else if (scheme == "mmap") {
      parts.kind = BackendKind::mmap;
      if (target.empty()) fail("mmap: needs a file path in URI " + quote(uri));
      parts.target = resolve(target).string();
    } else {
      fail("unknown backend " + quote(scheme) + " in URI " + quote(uri) + " (expected dummy, shm or mmap)");
    }

    std::optional<std::string_view> map;
    while (!query.empty()) {
      std::string_view param = query.substr(0, query.find('&'));
      query.remove_prefix(std::min(query.size(), param.size() + 1));
      auto eq = param.find('=');
      std::string_view key = param.substr(0, eq);
      if (key != "map") fail("unknown parameter " + quote(key) + " in URI " + quote(uri));
      if (map) fail("duplicate parameter 'map' in URI " + quote(uri));
      map = eq == std::string_view::npos ? std::string_view{} : param.substr(eq + 1);
      if (map->empty()) fail("empty map file in URI " + quote(uri));
    }
    if (!map) fail("URI " + quote(uri) + " has no map=FILE parameter");
    parts.mapFile = std::string(*map);
    return parts;
  }

  std::string file_;
  std::filesystem::path base_;
  std::size_t line_{0};
};

} // namespace

DeviceMap parseDeviceMapText(std::string_view text, std::string fileName,
                             const std::filesystem::path& baseDirectory) {
  auto base =
      baseDirectory.empty() ? std::filesystem::current_path() : std::filesystem::absolute(baseDirectory);
  return DmapParser(std::move(fileName), std::move(base)).parse(text);
}

DeviceMap parseDeviceMap(const std::filesystem::path& dmapFile) {
  std::string reason;
  const auto text = readTextFile(dmapFile, reason);
  if (!text) throw MapError(dmapFile.string(), 0, "cannot read: " + reason);
  return parseDeviceMapText(*text, dmapFile.string(), std::filesystem::absolute(dmapFile).parent_path());
}

} // namespace orvane::device
