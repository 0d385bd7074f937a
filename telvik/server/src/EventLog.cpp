#include "EventLog.hpp"

#include "framework/Log.hpp"

#include <charconv>

namespace telvik::server::events {

namespace {

// Arrays up to this length are shown whole; text up to this many characters.
constexpr std::size_t shortArray = 8;
constexpr std::size_t longText = 120;

template <typename T> std::string element(const T& v) {
  if constexpr (std::is_same_v<T, std::string>) {
    if (v.size() <= longText) return "\"" + v + "\"";
    return "\"" + v.substr(0, longText) + "\"... (" + std::to_string(v.size()) + " characters)";
  } else if constexpr (std::is_same_v<T, orvane::Boolean>) {
    return v.value ? "true" : "false";
  } else if constexpr (std::is_same_v<T, orvane::Void>) {
    return "event";
  } else if constexpr (std::is_floating_point_v<T>) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v); // the shortest text that reads back exactly
    return std::string(buf, r.ptr);
  } else {
    return std::to_string(v);
  }
}

template <typename T> std::string whole(const std::vector<T>& v) {
  if (v.size() == 1) return element(v[0]);
  std::string out = "[";
  for (std::size_t i = 0; i < v.size(); ++i)
    out += (i == 0 ? "" : ", ") + element(v[i]);
  return out + "]";
}

} // namespace

std::string who(const std::string& user, const std::string& host, const std::string& peer) {
  std::string out = user.empty() ? "(unnamed)" : user;
  if (!host.empty()) out += "@" + host;
  if (host != peer && !peer.empty()) out += " (" + peer + ")";
  return out;
}

std::string describe(const orvane::AnyVector& v) {
  return std::visit(
      [](const auto& vec) {
        if (vec.size() <= shortArray) return whole(vec);
        return std::to_string(vec.size()) + " elements, first " + element(vec[0]);
      },
      v);
}

std::string change(const orvane::AnyVector& before, const orvane::AnyVector& after) {
  if (before.index() != after.index()) return describe(before) + " -> " + describe(after);
  return std::visit(
      [&before](const auto& a) -> std::string {
        using V = std::decay_t<decltype(a)>;
        const auto& b = std::get<V>(before);
        if (a.size() <= shortArray && b.size() <= shortArray) return whole(b) + " -> " + whole(a);
        std::size_t changed = 0, first = 0;
        const std::size_t n = std::min(a.size(), b.size());
        for (std::size_t i = 0; i < n; ++i)
          if (!(a[i] == b[i]) && changed++ == 0) first = i;
        std::string out = std::to_string(a.size()) + " elements, ";
        if (changed == 0) return out + "unchanged";
        return out + std::to_string(changed) + " changed, the first at [" + std::to_string(first) +
               "]: " + element(b[first]) + " -> " + element(a[first]);
      },
      after);
}

void circuitOpened(const std::string& peer) {
  orvane::log::info("ca", "circuit from " + peer + " opened");
}

void circuitClosed(const std::string& peer, const std::string& who, std::size_t channels, bool fault,
                   const std::string& reason) {
  std::string text = "circuit from " + peer;
  if (!who.empty()) text += " of " + who;
  text +=
      " with " + std::to_string(channels) + (channels == 1 ? " channel" : " channels") + " closed: " + reason;
  orvane::log::write(fault ? orvane::log::Severity::warning : orvane::log::Severity::info, "ca", text);
}

void written(const std::string& who, const std::string& pvName, const orvane::AnyVector& before,
             const orvane::AnyVector& after) {
  orvane::log::notice("ca", who + " wrote " + pvName + ": " + change(before, after));
}

void writeRefused(const std::string& who, const std::string& pvName, const std::string& reason) {
  orvane::log::warning("ca", "write to " + pvName + " by " + who + " refused: " + reason);
}

} // namespace telvik::server::events
