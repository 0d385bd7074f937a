// Entry point of a control server: drives the framework's life cycle around the CA server.
#include "framework/Application.hpp"
#include "telvik/bridge/Metadata.hpp"
#include "telvik/bridge/Persistence.hpp"
#include "telvik/server/AccessRules.hpp"
#include "telvik/server/Options.hpp"
#include "telvik/server/Server.hpp"
#include "telvik/server/ServiceManager.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::string programName(const char* argv0) {
  std::string s = argv0 != nullptr ? argv0 : "quellor_server";
  auto slash = s.rfind('/');
  return slash == std::string::npos ? s : s.substr(slash + 1);
}

} // namespace

int main(int argc, char** argv) {
  using namespace telvik::server;
  const std::string name = programName(argc > 0 ? argv[0] : nullptr);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i)
    args.emplace_back(argv[i]);
  auto parsed = parseOptions(args, processEnv, name);
  switch (parsed.action) {
  case ParseResult::Action::help:
    std::cout << parsed.message << std::flush;
    return 0;
  case ParseResult::Action::version:
    std::cout << parsed.message << std::flush;
    return 0;
  case ParseResult::Action::error:
    std::cerr << parsed.message << std::endl;
    return 2;
  case ParseResult::Action::run:
    break;
  }
  const Options& options = parsed.options;

  try {
    ServiceNotifier notifier;
    if (!notifier.problem().empty()) std::cerr << name << ": " << notifier.problem() << std::endl;
    if (auto warning = raiseDescriptorLimit(options.maxCircuits))
      std::cerr << name << ": " << *warning << std::endl;
    auto& app = orvane::Application::getInstance();
    AccessRules rules =
        options.accessFile.empty() ? AccessRules() : AccessRules::fromFile(options.accessFile);
    app.initialise();

    telvik::bridge::SettingsStore store(options.persistFile);
    auto report = store.restore(app.processVariables());
    for (auto& note : report.notes)
      std::cerr << name << ": " << note << std::endl;

    const auto metadata = telvik::bridge::loadMetadata(options.metadataFile, app.getName() + ".meta");
    if (metadata.blockCount() == 0)
      std::cerr << name << ": no record conventions: states, limits and alarms are served plainly"
                << std::endl;
    else
      std::cerr << name << ": record conventions from " << metadata.origin() << std::endl;
    for (auto& note : metadata.unmatched(app.processVariables()))
      std::cerr << name << ": " << note << std::endl;

    boost::asio::io_context io;
    CaServer server(io, app.processVariables(), options, std::move(rules), &store, metadata);
    server.start();
    // A module thread that dies ends the process at once; the operators' settings go first.
    app.addFatalHook([&server] { server.saveSettings(); });

    const std::string serving = "serving " + std::to_string(server.table().all().size()) + " variables on " +
                                options.interface + ":" + std::to_string(server.port());
    ServiceSupervisor supervisor(io, app, notifier, serving, [&name](const std::string& line) {
      std::cerr << name << ": " << line << std::endl;
    });

    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int) {
      if (ec) return;
      supervisor.stop();
      server.stop();
      io.stop();
    });

    std::cerr << name << ": " << serving << std::endl;
    app.run();
    supervisor.start();
    io.run();

    // Module threads first, so that the last values they wrote are the ones saved.
    app.shutdown();
    server.saveSettings();
    return 0;
  } catch (const std::exception& e) {
    std::cerr << name << ": " << e.what() << std::endl;
    return 1;
  }
}
