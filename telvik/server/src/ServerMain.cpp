// Entry point of a control server: drives the framework's life cycle around the CA server.
#include "framework/Application.hpp"
#include "framework/Log.hpp"
#include "framework/device/DeviceMap.hpp"
#include "telvik/bridge/Metadata.hpp"
#include "telvik/bridge/Persistence.hpp"
#include "telvik/server/AccessRules.hpp"
#include "telvik/server/Health.hpp"
#include "telvik/server/Options.hpp"
#include "telvik/server/Server.hpp"
#include "telvik/server/ServiceManager.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

using telvik::server::ParseResult;

std::string programName(const char* argv0) {
  std::string s = argv0 != nullptr ? argv0 : "quellor_server";
  auto slash = s.rfind('/');
  return slash == std::string::npos ? s : s.substr(slash + 1);
}

// Where the application's devices are: every "/Devices/ALIAS/status" the registry publishes,
// looked up in the device map.
std::string devicesText(orvane::ProcessVariableRegistry& registry) {
  std::optional<orvane::device::DeviceMap> map;
  try {
    if (!orvane::getDMapFilePath().empty()) map = orvane::device::parseDeviceMap(orvane::getDMapFilePath());
  } catch (const std::exception&) {
    // The device module reports a faulty map on its own.
  }
  std::string out;
  const std::string head = "/Devices/", tail = "/status";
  for (auto& pv : registry.all()) {
    const auto& path = pv->info().path;
    if (path.size() <= head.size() + tail.size() || path.rfind(head, 0) != 0 ||
        path.compare(path.size() - tail.size(), tail.size(), tail) != 0)
      continue;
    const std::string alias = path.substr(head.size(), path.size() - head.size() - tail.size());
    out += "; device " + alias;
    if (const auto* d = map ? map->find(alias) : nullptr)
      out += ": " + d->uri + " (register map " + d->mapFile.string() + ")";
  }
  return out;
}

std::string startupSummary(const telvik::server::Options& options, const telvik::server::CaServer& server,
                           orvane::ProcessVariableRegistry& registry) {
  std::string where;
  for (auto& i : options.interfaces)
    where += (where.empty() ? "" : ", ") + i + ":" + std::to_string(server.searchPort());
  std::string text = "serving " + std::to_string(server.table().all().size()) + " channels with prefix " +
                     options.prefix + " on " + where + " (TCP port " + std::to_string(server.port()) + ")";
  text += devicesText(registry);
  text += "; settings file " + (options.persistFile.empty() ? std::string("none") : options.persistFile);
  if (!options.accessFile.empty()) text += "; access rules " + options.accessFile;
  return text;
}

ParseResult parseCommandLine(int argc, char** argv, const std::string& name) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i)
    args.emplace_back(argv[i]);
  return telvik::server::parseOptions(args, telvik::server::processEnv, name);
}

#if defined(__GLIBC__)
// glibc hands every ELF initialiser the command line, and priority 101 runs this one before the
// ordinary static initialisers. The global application object is among those, and building it
// reads the runtime directory's configuration: --help and --version must work in any directory,
// and a command line that cannot run says so before a configuration error could hide it.
[[gnu::constructor(101)]] void answerBeforeStart(int argc, char** argv, char** /*envp*/) {
  const std::string name = programName(argc > 0 ? argv[0] : nullptr);
  const auto parsed = parseCommandLine(argc, argv, name);
  switch (parsed.action) {
  case ParseResult::Action::help:
  case ParseResult::Action::version:
    orvane::exitBeforeStart(0, parsed.message, "");
  case ParseResult::Action::error:
    orvane::exitBeforeStart(2, "", parsed.message + "\n");
  case ParseResult::Action::run:
    break;
  }
}
#endif

} // namespace

int main(int argc, char** argv) {
  using namespace telvik::server;
  const std::string name = programName(argc > 0 ? argv[0] : nullptr);
  auto parsed = parseCommandLine(argc, argv, name);
  switch (parsed.action) {
  case ParseResult::Action::help:
  case ParseResult::Action::version:
    std::cout << parsed.message << std::flush;
    return 0;
  case ParseResult::Action::error:
    std::cerr << parsed.message << std::endl; // a usage error, for the person who typed it
    return 2;
  case ParseResult::Action::run:
    break;
  }
  const Options& options = parsed.options;

  raiseDescriptorLimit();
  try {
    ServiceNotifier notifier;
    if (!notifier.problem().empty()) orvane::log::warning("server", notifier.problem());
    auto& app = orvane::Application::getInstance();
    AccessRules rules =
        options.accessFile.empty() ? AccessRules() : AccessRules::fromFile(options.accessFile);
    HealthVariables health(app);
    app.initialise();

    using telvik::bridge::SettingsRequest;
    telvik::bridge::SettingsStore store(
        options.persistFile,
        options.persistFile.empty() ? SettingsRequest() : SettingsRequest::read(options.persistRequest));
    auto report = store.restore(app.processVariables());
    for (auto& note : report.notes)
      orvane::log::warning("settings", note);
    // Said once when it arises, not at every save that fails; the health variables publish it.
    if (!store.problem().empty()) orvane::log::error("settings", store.problem());
    store.onProblemChange([&store](const std::string& problem) {
      if (problem.empty())
        orvane::log::notice("settings", "operator settings are saved again to '" + store.file() + "'");
      else
        orvane::log::error("settings", problem);
    });

    const auto metadata = telvik::bridge::loadMetadata(options.metadataFile, app.getName() + ".meta");
    if (metadata.blockCount() == 0)
      orvane::log::notice("server", "no record conventions: states, limits and alarms are served plainly");
    else
      orvane::log::info("server", "record conventions from " + metadata.origin());
    for (auto& note : metadata.unmatched(app.processVariables()))
      orvane::log::warning("metadata", note);

    boost::asio::io_context io;
    CaServer server(io, app.processVariables(), options, std::move(rules), &store, metadata);
    server.start();
    // A module thread that dies ends the process at once; the operators' settings go first.
    app.addFatalHook([&server] { server.saveSettings(); });

    const std::string serving = "serving " + std::to_string(server.table().all().size()) + " variables on " +
                                options.interfaces.front() + ":" + std::to_string(server.port());
    ServiceSupervisor supervisor(io, app, notifier, serving,
                                 [](const std::string& line) { orvane::log::warning("server", line); });
    // A loop that holds its worker longer than this starves the service watchdog.
    if (const auto interval = notifier.watchdogInterval())
      app.setStallLimit(std::max(
          std::chrono::milliseconds(1),
          std::chrono::duration_cast<std::chrono::milliseconds>(ServiceSupervisor::busyLimit(*interval))));

    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int sig) {
      if (ec) return;
      supervisor.stop();
      orvane::log::notice("server", std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
      health.stop();
      server.stop();
      io.stop();
    });

    orvane::log::notice("server", startupSummary(options, server, app.processVariables()));
    app.run();
    supervisor.start();
    health.start(io, [&server, &app, &store] {
      auto s = server.stats();
      return HealthCounters{s.circuits, s.channels, app.lostValues(), store.problem()};
    });
    io.run();
    health.stop();

    // Module threads first, so that the last values they wrote are the ones saved.
    app.shutdown();
    server.saveSettings();
    return 0;
  } catch (const std::exception& e) {
    orvane::log::critical("server", e.what());
    return 1;
  }
}
