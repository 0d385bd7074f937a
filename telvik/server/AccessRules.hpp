// Who may write. Without a rules file every client may write every writable variable; with one,
// only clients matching a line do. The file holds one rule per line, "user@host", where either
// side may be "*"; "#" starts a comment. A host matches the name the client announced or its
// peer address, so a rule can pin writes to an address that a client cannot fake.
#pragma once

#include <string>
#include <vector>

namespace telvik::server {

class AccessRules {
 public:
  /// Everyone may write.
  AccessRules() = default;
  /// Reads the file; std::runtime_error naming the file and line on any fault.
  static AccessRules fromFile(const std::string& path);
  /// Same, from text (the file name is only for messages).
  static AccessRules fromText(const std::string& text, const std::string& fileName);

  [[nodiscard]] bool mayWrite(const std::string& user, const std::string& hostName,
                              const std::string& peerAddress) const;
  [[nodiscard]] bool restricted() const { return restricted_; }

 private:
  struct Rule {
    std::string user;
    std::string host;
  };
  bool restricted_ = false;
  std::vector<Rule> rules_;
};

} // namespace telvik::server
