// Builds the whole module tree, writes the variable list and the PV list into the working
// directory and exits.
#include "ProductVersion.hpp"
#include "framework/Application.hpp"
#include "framework/Log.hpp"
#include "telvik/bridge/PvList.hpp"
#include "telvik/server/Health.hpp"
#include "telvik/server/Options.hpp"

#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>

namespace {

const char* const pvListFile = "quellorctrl.pvlist";

void writePvList(orvane::Application& app, const std::string& prefix) {
  app.initialise();
  telvik::bridge::PvTable table(app.processVariables(), prefix);
  std::ofstream out(pvListFile);
  if (!out) throw std::runtime_error(std::string("Cannot write the PV list '") + pvListFile + "'.");
  telvik::bridge::writePvList(table, out);
  out.close();
  if (!out) throw std::runtime_error(std::string("Writing the PV list '") + pvListFile + "' failed.");
}

struct CommandLine {
  std::string prefix = telvik::server::Options{}.prefix;
  int status{-1}; // -1: generate; otherwise exit with it after printing
  std::string toStdout;
  std::string toStderr;
};

CommandLine parseCommandLine(int argc, char** argv) {
  CommandLine line;
  auto finish = [&line](int status, std::string out, std::string err) {
    line.status = status;
    line.toStdout = std::move(out);
    line.toStderr = std::move(err);
    return line;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      return finish(
          0,
          "Usage: quellor_xmlgen [--prefix P]\n"
          "Builds the Quellor module tree from quellorctrl_base_config.xml and quellor.dmap in the\n"
          "working directory and writes there the list of all variables, quellorctrl.xml, and the\n"
          "PV list, quellorctrl.pvlist: one PV name per line with its CA type, element count,\n"
          "access (rw/ro) and description, tab-separated, for archivers and directory services.\n"
          "\n"
          "  --prefix P   prepended to every PV name, as quellor_server's --prefix (default " +
              line.prefix + ")\n",
          "");
    }
    if (a == "--version") return finish(0, std::string("quellor_xmlgen ") + product::versionText + "\n", "");
    if (a == "--prefix" || a.rfind("--prefix=", 0) == 0) {
      if (a == "--prefix" && i + 1 >= argc)
        return finish(2, "", "quellor_xmlgen: option --prefix needs a value\n");
      line.prefix = a == "--prefix" ? argv[++i] : a.substr(std::strlen("--prefix="));
      continue;
    }
    return finish(2, "", "quellor_xmlgen: unknown option '" + a + "' (see --help)\n");
  }
  return line;
}

#if defined(__GLIBC__)
// glibc hands every ELF initialiser the command line, and priority 101 runs this one before the
// global application object is built from the runtime directory: --help and --version work in
// any directory, and a bad option is not hidden behind a configuration error.
[[gnu::constructor(101)]] void answerBeforeStart(int argc, char** argv, char** /*envp*/) {
  const auto line = parseCommandLine(argc, argv);
  if (line.status >= 0) orvane::exitBeforeStart(line.status, line.toStdout, line.toStderr);
}
#endif

} // namespace

int main(int argc, char** argv) {
  const auto line = parseCommandLine(argc, argv);
  if (line.status >= 0) {
    std::cout << line.toStdout << std::flush;
    std::cerr << line.toStderr << std::flush;
    return line.status;
  }
  try {
    auto& app = orvane::Application::getInstance();
    // The server publishes these beside the application's own; the lists show what it serves.
    telvik::server::HealthVariables health(app);
    app.generateXML();
    writePvList(app, line.prefix);
  } catch (const std::exception& e) {
    orvane::log::critical("quellor_xmlgen", e.what());
    return 1;
  }
  return 0;
}
