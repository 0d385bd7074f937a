#include "framework/devicemodule/ScriptedInitHandler.hpp"

#include "framework/devicemodule/src/Subprocess.hpp"

#include "framework/Log.hpp"

namespace orvane {

namespace {
// Far more than an initialisation report needs; a runaway command must not eat the server's memory.
constexpr size_t maxOutput = size_t{64} * 1024;
} // namespace

ScriptedInitHandler::ScriptedInitHandler(EntityOwner* owner, const std::string& name,
                                         const std::string& description, const std::string& command,
                                         DeviceModule& deviceModule, const std::string& outputName,
                                         unsigned errorGracePeriod, std::chrono::milliseconds timeLimit)
    : ApplicationModule(owner, name, description),
      output(this, outputName, "", "Output of the last run of the device initialisation command"),
      device_(deviceModule), command_(command), argv_(device::detail::splitCommand(command)),
      errorGracePeriod_(errorGracePeriod), timeLimit_(timeLimit) {
  if (argv_.empty()) throw std::logic_error("ScriptedInitHandler '" + name + "': the command is empty.");
  handlerKey_ = device_.addInitialisationHandler([this](DeviceModule&) { runInitialisation(); });
}

ScriptedInitHandler::~ScriptedInitHandler() {
  device_.removeInitialisationHandler(handlerKey_);
}

void ScriptedInitHandler::runInitialisation() {
  ++runs_;
  auto result = device::detail::runCommand(argv_, timeLimit_, maxOutput);
  std::string text = std::move(result.output);
  if (result.truncated) text += "\n[output cut at " + std::to_string(maxOutput) + " bytes]\n";
  std::string reason;
  if (!result.succeeded()) {
    reason = command_ + " " + result.describe(timeLimit_);
    // Operators see why in the same place as the report itself.
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += reason + "\n";
  }
  if (output.network() != nullptr) {
    output = text;
    output.write(VersionNumber());
  }
  if (result.succeeded()) {
    if (const unsigned failed = failures_.exchange(0); failed > 0)
      log::notice(getName(), command_ + " succeeded after " + std::to_string(failed) + " failed runs.");
    return;
  }
  const unsigned n = ++failures_;
  if (n <= errorGracePeriod_) {
    // One event with the output in it (the log shows its line breaks as "\n"); the last line
    // break only ended the output.
    if (!text.empty() && text.back() == '\n') text.pop_back();
    log::warning(getName(), reason + " (failure " + std::to_string(n) + "). Its output:\n" + text);
  } else if (n % 10 == 0) {
    log::warning(getName(), reason + " (failure " + std::to_string(n) + "; only every tenth is shown).");
  }
  throw std::runtime_error(getName() + ": " + reason);
}

} // namespace orvane
