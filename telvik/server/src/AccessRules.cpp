#include "telvik/server/AccessRules.hpp"

#include "framework/device/TextFile.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace telvik::server {

AccessRules AccessRules::fromFile(const std::string& path) {
  std::string reason;
  const auto text = orvane::device::readTextFile(path, reason);
  if (!text) throw std::runtime_error("access rules file '" + path + "' cannot be read: " + reason);
  return fromText(*text, path);
}

AccessRules AccessRules::fromText(const std::string& text, const std::string& fileName) {
  AccessRules r;
  r.restricted_ = true;
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    auto hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string rule, extra;
    if (!(words >> rule)) continue;
    auto fail = [&](const std::string& why) {
      throw std::runtime_error(fileName + ":" + std::to_string(lineNo) + ": " + why);
    };
    if (words >> extra) fail("one rule per line expected, found '" + extra + "' after '" + rule + "'");
    auto at = rule.find('@');
    if (at == std::string::npos || rule.find('@', at + 1) != std::string::npos)
      fail("'" + rule + "' is not user@host");
    Rule ru{rule.substr(0, at), rule.substr(at + 1)};
    if (ru.user.empty() || ru.host.empty()) fail("'" + rule + "' has an empty user or host (use *)");
    r.rules_.push_back(std::move(ru));
  }
  return r;
}

bool AccessRules::mayWrite(const std::string& user, const std::string& hostName,
                           const std::string& peerAddress) const {
  if (!restricted_) return true;
  for (auto& r : rules_) {
    bool userOk = r.user == "*" || r.user == user;
    bool hostOk = r.host == "*" || r.host == peerAddress || (!hostName.empty() && r.host == hostName);
    if (userOk && hostOk) return true;
  }
  return false;
}

} // namespace telvik::server
