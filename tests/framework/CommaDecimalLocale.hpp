#pragma once

#include <clocale>
#include <string>

namespace orvane::testing {

/// The process in a locale whose decimal point is a comma for as long as this lives, when the
/// machine has one installed (name() is nullptr otherwise). The locale is the whole process's:
/// only for tests that run no threads of their own while it is switched.
class CommaDecimalLocale {
 public:
  // NOLINTBEGIN(concurrency-mt-unsafe): see the class's note
  CommaDecimalLocale() : previous_(std::setlocale(LC_ALL, nullptr)) {
    for (const char* name :
         {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8"})
      if (std::setlocale(LC_ALL, name) != nullptr && std::string(std::localeconv()->decimal_point) == ",") {
        name_ = name;
        return;
      }
    std::setlocale(LC_ALL, previous_.c_str());
  }
  ~CommaDecimalLocale() { restore(); }
  CommaDecimalLocale(const CommaDecimalLocale&) = delete;
  CommaDecimalLocale& operator=(const CommaDecimalLocale&) = delete;

  [[nodiscard]] const char* name() const { return name_; }

  /// Back to the locale from before, so that what follows (gtest's own output) reads as usual.
  void restore() {
    if (name_ != nullptr && !restored_) std::setlocale(LC_ALL, previous_.c_str());
    restored_ = true;
  }
  // NOLINTEND(concurrency-mt-unsafe)

 private:
  std::string previous_;
  const char* name_{nullptr};
  bool restored_{false};
};

} // namespace orvane::testing
