#include "modules/InputRejectedCollector.hpp"

#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>

namespace quellor {

InputRejectedCollector::InputRejectedCollector(orvane::EntityOwner* owner, const std::string& name,
                                               const std::string& description,
                                               orvane::HierarchyModifier modifier, const orvane::TagSet& tags)
    : orvane::ApplicationModule(owner, name, description, modifier, tags) {
  hidden.clearInputRejectedMessage.markAsCommand();
}

InputRejectedCollector::~InputRejectedCollector() = default;

std::string InputRejectedCollector::timestamp(std::chrono::system_clock::time_point t) {
  const std::time_t seconds =
      std::chrono::system_clock::to_time_t(std::chrono::time_point_cast<std::chrono::seconds>(t));
  std::tm local{};
  localtime_r(&seconds, &local); // thread-safe, unlike std::localtime
  std::ostringstream os;
  os.imbue(std::locale::classic());
  os << std::put_time(&local, "%Y-%m-%d %X");
  return os.str();
}

void InputRejectedCollector::mainLoop() {
  hidden.inputRejectedMessage = std::string();
  hidden.inputRejectedFlag = orvane::Boolean(false);
  writeAll();
  auto group = readAnyGroup();
  for (;;) {
    const auto id = group.readAny();
    if (id == hidden.clearInputRejectedMessage.getId()) {
      hidden.inputRejectedFlag = orvane::Boolean(false);
      hidden.inputRejectedMessage = std::string();
      writeAll();
      continue;
    }
    for (auto* source : {&stateMachine, &voltageSumLimiter, &feedforwardCompensation}) {
      if (id != source->inputRejectedMessage.getId()) continue;
      const std::string& text = source->inputRejectedMessage;
      if (text.empty()) break;
      hidden.inputRejectedFlag = orvane::Boolean(true);
      hidden.inputRejectedMessage = timestamp(clock_()) + ": " + text;
      writeAll();
      break;
    }
  }
}

} // namespace quellor
